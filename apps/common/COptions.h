// Command-line options from a table: GNU short and long forms, help, version and usage errors.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CLevels.h"

// What an option does with its value: stores it and returns "", or returns why the value
// is wrong ("a whole number 1..512, not 'x'"). A flag's is called with "".
using LOptionTarget = std::function<std::string(std::string const& value)>;

// One row of an option table.
struct SOption {
  char shortName;  // 0: long form only
  char const* longName;
  char const* valueName;  // null for a flag
  // The help text; lines after the first go in the help column. Null: listed on the line
  // of the option before it ("--hex, --percent"), sharing its text.
  char const* help;
  LOptionTarget target;
};

// Typed targets. Each keeps a reference to its variable, which must outlive the parse.
// A whole number in [lo, hi]; T is any type a long converts to (int, double, optional<long>).
template <class T>
LOptionTarget IntOption(T& target, long lo, long hi);
LOptionTarget TextOption(std::string& target);
// A flag that sets `target` to `value`.
template <class T>
LOptionTarget Assign(T& target, T value) {
  return [&target, value](std::string const&) {
    target = value;
    return std::string();
  };
}
// One of `choices`, as given.
LOptionTarget ChoiceOption(std::string& target, std::vector<std::string> choices);
// Comma-separated levels 0..255 ("0,255,128").
LOptionTarget LevelsOption(std::optional<std::vector<std::uint8_t>>& target);
// 0 none, 1 fatal, 2 warn, 3 info, 4 debug.
LOptionTarget LogLevelOption(int& target);

// Rows both programs have, with the same words.
SOption LogLevelRow(int& level);
std::vector<SOption> FormatRows(LevelFormat& format);  // --hex, --percent

// A program's options: its table, with -h/--help and -v/--version added at the end.
class COptions {
 public:
  struct SText {
    char const* version;   // "kelmar-host 0.1.0"
    char const* synopsis;  // the help before the options, ending in a blank line
    char const* epilogue;  // the help after them ("" for none)
    int column;            // where the help texts of the options start
  };
  // What the command line asks for. Nothing is printed and nobody exits.
  struct SResult {
    enum class Kind { kRun, kHelp, kVersion, kUsageError };
    Kind kind = Kind::kRun;
    std::string error;  // for a usage error: one line, without the program's name
    static SResult Misuse(std::string why) { return {Kind::kUsageError, std::move(why)}; }
  };

  COptions(SText text, std::vector<SOption> rows);

  // Reads argv[first..argc) in order, calling each option's target, and stops at help,
  // version or the first error. Arguments that are not options are usage errors. Like
  // GNU getopt, whose globals it uses (one parse at a time), it may reorder argv.
  SResult Parse(int argc, char** argv, int first = 1) const;
  std::string Help() const;

  // Makes a result not to run happen: help or version on standard output and exit 0,
  // or a usage error on standard error and exit 64. Returns when the program is to run.
  void Take(SResult const& result) const;

 private:
  std::string mVersion;
  std::string mSynopsis;
  std::string mEpilogue;
  int mColumn;
  std::vector<SOption> mRows;
};

// A whole number in [lo, hi], or nothing; and the words for a value that is not one.
std::optional<long> ParseInt(std::string const& text, long lo, long hi);
std::string WholeNumberError(std::string const& text, long lo, long hi);

template <class T>
LOptionTarget IntOption(T& target, long lo, long hi) {
  return [&target, lo, hi](std::string const& value) {
    auto const v = ParseInt(value, lo, hi);
    if (!v) return WholeNumberError(value, lo, hi);
    target = *v;
    return std::string();
  };
}

// An OLA universe: OLA numbers them 0..4294967295 (its MAX_UNIVERSE).
template <class T>
LOptionTarget UniverseOption(T& target) {
  return [&target](std::string const& value) {
    auto const u = ParseInt(value, 0, 0xFFFFFFFFL);
    if (!u) return "an OLA universe, a whole number 0..4294967295, not '" + value + "'";
    target = std::uint32_t(*u);
    return std::string();
  };
}
