// Named events and the handlers that pass them up a chain of owners.
#pragma once

// An event name: a pointer to constant text that lives as long as the program.
// Events are told apart by the text, never by the pointer.
struct LCStr {
  char const* mText;
  constexpr explicit LCStr(char const* text) : mText(text) {}
  constexpr operator char const*() const { return mText; }
};

class LHandler;

// What happened (name), who raised it (source) and who handles it next (target).
// A plain value: built on the stack, passed by reference, returned by value.
struct LEvent {
  char const* mName = nullptr;
  LHandler* mSource = nullptr;
  LHandler* mTarget = nullptr;

  LEvent() = default;  // the empty event: ends the travel
  LEvent(LCStr const& name, LHandler* source, LHandler* target)
      : mName(name.mText), mSource(source), mTarget(target) {}
  // The same event (name and source) sent on to `target`.
  LEvent(LEvent const& e, LHandler* target) : mName(e.mName), mSource(e.mSource), mTarget(target) {}

  // Whether this is `name` raised by `source` (a null source matches any source).
  bool is(LCStr const& name, LHandler const* source = nullptr) const;
};

// The base of every object that is told about things. Each handler knows one next
// handler, its owner as a rule, fixed at construction; events it does not consume
// go on to it.
class LHandler {
 public:
  static constexpr LCStr rMode{"LHandler_Mode"};
  static constexpr LCStr rDestructing{"LHandler_Destructing"};

  explicit LHandler(LHandler* next) : mNext(next) {}
  // Raises "LHandler_Destructing" to the next handler; by then only the LHandler
  // part of the object is alive.
  virtual ~LHandler();
  LHandler(LHandler const&) = delete;
  LHandler& operator=(LHandler const&) = delete;

  // Returns the event that travels on: the empty event to consume, a new event in
  // this handler's name to translate, or this base's result to forward.
  virtual LEvent HandleEvent(LEvent const& e);

  // Carries `e` from handler to handler until the travel ends. An event that nobody
  // consumes climbs the chain, returns once to its source, and stops. Re-entrant.
  static void Dispatch(LEvent const& e);

  LHandler* next() const { return mNext; }

 protected:
  // Raises `name` in this handler's name to its next handler.
  void Raise(LCStr const& name) { Dispatch(LEvent(name, this, mNext)); }

 private:
  LHandler* const mNext;
};
