// Level parsing and formatting.
#include "CLevels.h"

#include <charconv>
#include <cstdio>

std::optional<std::vector<std::uint8_t>> ParseLevels(std::string const& text, std::string* error) {
  std::vector<std::uint8_t> levels;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    const std::size_t comma = std::min(text.find(',', pos), text.size());
    std::string item = text.substr(pos, comma - pos);
    while (!item.empty() && item.front() == ' ') item.erase(0, 1);
    while (!item.empty() && item.back() == ' ') item.pop_back();
    unsigned value = 0;
    auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), value);
    if (item.empty() || ec != std::errc() || end != item.data() + item.size()) {
      if (error) *error = "not a level: '" + item + "' (levels are whole numbers 0..255)";
      return std::nullopt;
    }
    if (value > 255) {
      if (error) *error = "level out of range: " + item + " (0..255)";
      return std::nullopt;
    }
    if (levels.size() == 512) {
      if (error) *error = "more than 512 levels";
      return std::nullopt;
    }
    levels.push_back(static_cast<std::uint8_t>(value));
    pos = comma + 1;
  }
  return levels;
}

std::string FormatLevel(std::uint8_t level, LevelFormat format) {
  char buf[8];
  switch (format) {
    case LevelFormat::kDecimal:
      std::snprintf(buf, sizeof buf, "%u", level);
      break;
    case LevelFormat::kHex:
      std::snprintf(buf, sizeof buf, "%02X", level);
      break;
    case LevelFormat::kPercent:
      if (level == 255) return "FL";
      std::snprintf(buf, sizeof buf, "%u", (level * 100u + 127u) / 255u);
      break;
  }
  return buf;
}

std::string FormatSlots(std::uint8_t const* levels, unsigned count, unsigned first,
                        LevelFormat format) {
  std::string out;
  for (unsigned i = 0; i < count; ++i) {
    if (i) out += ' ';
    out += std::to_string(first + i) + '=' + FormatLevel(levels[i], format);
  }
  return out;
}
