// The callback record: a context pointer handed back as the first argument of a function pointer.
#pragma once

#include <type_traits>

// A plain value type, copied by value. A null function means there is no callback; callers test
// valid() before calling.
template <class F>
struct CCB {
  static_assert(std::is_pointer_v<F> && std::is_function_v<std::remove_pointer_t<F>>,
                "CCB holds a plain function pointer");

  void* context = nullptr;
  F function = nullptr;

  bool valid() const { return function != nullptr; }
};
