// The table-driven option parser and the help it prints.
#include "COptions.h"

#include <getopt.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "CAppLog.h"

namespace {

constexpr int kLongOnly = 256;  // getopt codes of rows without a short name start here

}  // namespace

std::optional<long> ParseInt(std::string const& text, long lo, long hi) {
  long v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v < lo || v > hi)
    return std::nullopt;
  return v;
}

std::string WholeNumberError(std::string const& text, long lo, long hi) {
  return "a whole number " + std::to_string(lo) + ".." + std::to_string(hi) + ", not '" + text +
         "'";
}

LOptionTarget TextOption(std::string& target) {
  return [&target](std::string const& value) {
    target = value;
    return std::string();
  };
}

LOptionTarget ChoiceOption(std::string& target, std::vector<std::string> choices) {
  return [&target, choices = std::move(choices)](std::string const& value) {
    std::string names;
    for (std::size_t i = 0; i < choices.size(); ++i) {
      if (choices[i] == value) {
        target = value;
        return std::string();
      }
      names += (i == 0 ? "" : i + 1 == choices.size() ? " or " : ", ") + choices[i];
    }
    return names + ", not '" + value + "'";
  };
}

LOptionTarget LevelsOption(std::optional<std::vector<std::uint8_t>>& target) {
  return [&target](std::string const& value) {
    std::string error;
    auto levels = ParseLevels(value, &error);
    if (!levels) return error;
    target = std::move(levels);
    return std::string();
  };
}

LOptionTarget LogLevelOption(int& target) {
  return IntOption(target, 0, 4);
}

SOption LogLevelRow(int& level) {
  return {'l', "log-level", "N",
          "messages on standard error: 0 none, 1 fatal, 2 warn\n(default), 3 info, 4 debug",
          LogLevelOption(level)};
}

std::vector<SOption> FormatRows(LevelFormat& format) {
  return {{0, "hex", nullptr, "show levels in hex, or in percent (FL for full)",
           Assign(format, LevelFormat::kHex)},
          {0, "percent", nullptr, nullptr, Assign(format, LevelFormat::kPercent)}};
}

COptions::COptions(SText text, std::vector<SOption> rows)
    : mVersion(text.version),
      mSynopsis(text.synopsis),
      mEpilogue(text.epilogue),
      mColumn(text.column),
      mRows(std::move(rows)) {
  // Help and version are the parser's own: they end the parse rather than set a value.
  mRows.push_back({'h', "help", nullptr, "show this help", nullptr});
  mRows.push_back({'v', "version", nullptr, "show the version", nullptr});
}

COptions::SResult COptions::Parse(int argc, char** argv, int first) const {
  using Kind = SResult::Kind;
  std::string shorts = ":";  // a leading ':' tells a missing value from an unknown option
  std::vector<option> longs;
  for (std::size_t i = 0; i < mRows.size(); ++i) {
    SOption const& row = mRows[i];
    const int code = row.shortName ? row.shortName : kLongOnly + int(i);
    if (row.shortName) shorts += std::string(1, row.shortName) + (row.valueName ? ":" : "");
    longs.push_back({row.longName, row.valueName ? required_argument : no_argument, nullptr, code});
  }
  longs.push_back({nullptr, 0, nullptr, 0});

  // getopt sees argv[first - 1] as the program name, and optind 0 makes it start afresh,
  // so that a parse never continues from the state an earlier one left.
  char** const args = argv + first - 1;
  const int count = argc - first + 1;
  optind = 0;
  opterr = 0;
  auto const find = [this](int code) -> SOption const* {
    for (std::size_t i = 0; i < mRows.size(); ++i)
      if (code == (mRows[i].shortName ? mRows[i].shortName : kLongOnly + int(i))) return &mRows[i];
    return nullptr;
  };
  // The option getopt stopped at. A long form has been stepped over, so it is the last
  // word read; a short one may sit inside a cluster ("-qz"), so it is named by itself.
  auto const offender = [&]() -> std::string {
    std::string const word = args[optind - 1];
    const bool longForm =
        optopt == 0 || optopt >= kLongOnly || (find(optopt) && word.starts_with("--"));
    return longForm ? word : std::string{'-', char(optopt)};
  };
  for (int c; (c = getopt_long(count, args, shorts.c_str(), longs.data(), nullptr)) != -1;) {
    if (c == ':') return SResult::Misuse("option needs a value: " + offender());
    SOption const* row = find(c);
    if (!row) return SResult::Misuse("unknown option: " + offender());
    if (!row->target) return {row->shortName == 'h' ? Kind::kHelp : Kind::kVersion, {}};
    const std::string why = row->target(optarg ? optarg : "");
    if (!why.empty()) return SResult::Misuse("--" + std::string(row->longName) + ": " + why);
  }
  if (optind < count) return SResult::Misuse(std::string("unexpected argument: ") + args[optind]);
  return {};
}

std::string COptions::Help() const {
  std::ostringstream out;
  out << mSynopsis;
  for (std::size_t i = 0; i < mRows.size(); ++i) {
    SOption const& row = mRows[i];
    std::string names = row.shortName ? std::string{' ', ' ', '-', row.shortName, ','} : "     ";
    names += " --" + std::string(row.longName);
    if (row.valueName) names += " " + std::string(row.valueName);
    // Rows without a text of their own share this one's line.
    for (; i + 1 < mRows.size() && !mRows[i + 1].help; ++i)
      names += ", --" + std::string(mRows[i + 1].longName);
    // A text that starts on a line of its own leaves no padding after the names.
    if (row.help[0] != '\n')
      names.resize(std::max<std::size_t>(names.size() + 1, std::size_t(mColumn)), ' ');
    out << names;
    std::istringstream lines(row.help);
    bool firstLine = true;
    for (std::string line; std::getline(lines, line); firstLine = false)
      out << (firstLine ? "" : std::string(std::size_t(mColumn), ' ')) << line << '\n';
  }
  out << mEpilogue;
  return out.str();
}

void COptions::Take(SResult const& result) const {
  switch (result.kind) {
    case SResult::Kind::kRun:
      return;
    case SResult::Kind::kHelp:
      std::cout << Help() << std::flush;
      std::exit(0);
    case SResult::Kind::kVersion:
      std::cout << mVersion << '\n' << std::flush;
      std::exit(0);
    case SResult::Kind::kUsageError:
      UsageError(result.error);
  }
}
