// DMX levels on the command line: parsing "0,255,128" and showing slots.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class LevelFormat { kDecimal, kHex, kPercent };

// Parses comma-separated levels 0..255, the first being slot 1; at most 512.
// On error returns nothing and says why in `error`.
std::optional<std::vector<std::uint8_t>> ParseLevels(std::string const& text, std::string* error);

// One level as shown to people: "255", "FF", or a percentage with "FL" for full.
std::string FormatLevel(std::uint8_t level, LevelFormat format);

// "1=255 2=0 ...": slots 1-indexed, `levels[0]` being slot `first`.
std::string FormatSlots(std::uint8_t const* levels, unsigned count, unsigned first,
                        LevelFormat format);
