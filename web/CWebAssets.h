// The page's files, built into the program from web/assets.
#pragma once

#include <cstddef>
#include <string_view>

struct SWebAsset {
  char const* path;  // "/index.html"
  char const* type;  // its media type
  unsigned char const* data;
  std::size_t size;
};

// The file served at `path`, or null when there is none.
SWebAsset const* FindWebAsset(std::string_view path);
