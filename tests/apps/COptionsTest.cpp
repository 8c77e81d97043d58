// The option table: values into typed targets, the usage errors, the help layout and exits.
#include "COptions.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "CAppLog.h"

namespace {

using Kind = COptions::SResult::Kind;
using Levels = std::vector<std::uint8_t>;

// A program with one option of each kind; every parse starts from the defaults.
class OptionTable : public ::testing::Test {
 protected:
  struct STargets {
    long number = -1;
    std::optional<long> setting;
    double rate = 44;
    std::string text;
    std::string choice;
    std::optional<Levels> levels;
    bool flag = false;
    LevelFormat format = LevelFormat::kDecimal;
    int logLevel = 2;
  };

  COptions Table(STargets& t) {
    std::vector<SOption> rows = {
        {'n', "number", "N", "a number\n(1..512)", IntOption(t.number, 1, 512)},
        {0, "setting", "N", "any whole number", IntOption(t.setting, -100, 100)},
        {'r', "rate", "N", "frames per second", IntOption(t.rate, 1, 1000)},
        {'t', "text", "TEXT", "some text", TextOption(t.text)},
        {0, "choice", "NAME", "one, two or three", ChoiceOption(t.choice, {"one", "two", "three"})},
        {'d', "dmx", "LEVELS", "levels", LevelsOption(t.levels)},
        {'f', "flag", nullptr, "a flag", Assign(t.flag, true)},
    };
    for (SOption& row : FormatRows(t.format)) rows.push_back(std::move(row));
    rows.push_back(LogLevelRow(t.logLevel));
    return COptions({"prog 1.2.3", "Usage: prog [OPTION]...\n\n", "\nThe end.\n", 20},
                    std::move(rows));
  }

  // Parses `words` (after the program name) into fresh targets.
  COptions::SResult Parse(std::vector<std::string> words, int first = 1) {
    words.insert(words.begin(), "prog");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    t = STargets();
    return Table(t).Parse(int(words.size()), argv.data(), first);
  }

  STargets t;
};

TEST_F(OptionTable, ValuesReachTheirTargetsInEveryFormAndTheLastOneWins) {
  auto r = Parse({"-n", "5", "--setting=-100", "-r1000", "--text", "", "--choice", "three", "-d",
                  "0, 255,128", "-fl4", "--hex", "--percent", "-n", "512"});
  ASSERT_EQ(r.kind, Kind::kRun) << r.error;
  EXPECT_EQ(t.number, 512);
  EXPECT_EQ(t.setting, -100);
  EXPECT_EQ(t.rate, 1000.0);
  EXPECT_EQ(t.text, "");
  EXPECT_EQ(t.choice, "three");
  EXPECT_EQ(t.levels, (Levels{0, 255, 128}));
  EXPECT_TRUE(t.flag);
  EXPECT_EQ(t.logLevel, 4);
  EXPECT_EQ(t.format, LevelFormat::kPercent);

  // Unique abbreviations of long names; options before a role word are not ours.
  ASSERT_EQ(Parse({"--num", "7", "--tex=a b"}).kind, Kind::kRun);
  EXPECT_EQ(t.number, 7);
  EXPECT_EQ(t.text, "a b");
  ASSERT_EQ(Parse({"--bogus", "listen", "-f"}, 3).kind, Kind::kRun);
  EXPECT_TRUE(t.flag);
  EXPECT_FALSE(t.setting) << "an option not given leaves its target alone";
}

TEST_F(OptionTable, WrongCommandLinesAreOneLineUsageErrorsNamingTheLongOption) {
  const std::pair<std::vector<std::string>, char const*> cases[] = {
      {{"-n", "0"}, "--number: a whole number 1..512, not '0'"},
      {{"--number", "513"}, "--number: a whole number 1..512, not '513'"},
      {{"-n", "5x"}, "--number: a whole number 1..512, not '5x'"},
      {{"-n", " 5"}, "--number: a whole number 1..512, not ' 5'"},
      {{"-n", "+5"}, "--number: a whole number 1..512, not '+5'"},
      {{"-n", ""}, "--number: a whole number 1..512, not ''"},
      {{"-n", "99999999999999999999"},
       "--number: a whole number 1..512, not '99999999999999999999'"},
      {{"--setting", "101"}, "--setting: a whole number -100..100, not '101'"},
      {{"-l", "5"}, "--log-level: a whole number 0..4, not '5'"},
      {{"--choice", "four"}, "--choice: one, two or three, not 'four'"},
      {{"-d", "1,,2"}, "--dmx: not a level: '' (levels are whole numbers 0..255)"},
      {{"-d", "256"}, "--dmx: level out of range: 256 (0..255)"},
      {{"-n"}, "option needs a value: -n"},
      {{"--text"}, "option needs a value: --text"},
      {{"-z"}, "unknown option: -z"},
      {{"-zf"}, "unknown option: -z"},
      {{"-fz"}, "unknown option: -z"},
      {{"-ft"}, "option needs a value: -t"},
      {{"--flag", "-zf"}, "unknown option: -z"},
      {{"-f"}, nullptr},  // nothing is left over from the cluster above
      {{"--nope=1"}, "unknown option: --nope=1"},
      {{"--flag=1"}, "unknown option: --flag=1"},
      {{"extra", "-f"}, "unexpected argument: extra"},
      {{"-f", "--", "-n"}, "unexpected argument: -n"},
      {{"-n", "5", "--bogus", "--help"}, "unknown option: --bogus"},
  };
  for (auto const& [words, error] : cases) {
    auto const r = Parse(words);
    std::string const line = ::testing::PrintToString(words);
    if (!error) {
      EXPECT_EQ(r.kind, Kind::kRun) << line << ": " << r.error;
      continue;
    }
    EXPECT_EQ(r.kind, Kind::kUsageError) << line;
    EXPECT_EQ(r.error, error) << line;
  }
  // The parse stops at the first problem: a later value is not taken.
  Parse({"-n", "9", "--bogus", "-n", "10"});
  EXPECT_EQ(t.number, 9);
}

TEST_F(OptionTable, HelpAndVersionEndTheParseWhereTheyStand) {
  EXPECT_EQ(Parse({"-n", "3", "-h", "--bogus"}).kind, Kind::kHelp);
  EXPECT_EQ(t.number, 3);
  EXPECT_EQ(Parse({"--vers"}).kind, Kind::kVersion);
  EXPECT_EQ(Parse({"-fv", "-n", "0"}).kind, Kind::kVersion);
  EXPECT_EQ(Parse({"-n", "0", "-h"}).kind, Kind::kUsageError);
  EXPECT_EQ(Parse({"-t", "-h"}).kind, Kind::kRun) << "-h is the value of -t";
  EXPECT_EQ(t.text, "-h");
}

// Names in a column of their own, help texts from the given column with continuation
// lines under them, rows without a text on the line before, help and version last.
TEST_F(OptionTable, HelpLaysTheTableOutBetweenSynopsisAndEpilogue) {
  EXPECT_EQ(Table(t).Help(),
            "Usage: prog [OPTION]...\n"
            "\n"
            "  -n, --number N    a number\n"
            "                    (1..512)\n"
            "      --setting N   any whole number\n"
            "  -r, --rate N      frames per second\n"
            "  -t, --text TEXT   some text\n"
            "      --choice NAME one, two or three\n"
            "  -d, --dmx LEVELS  levels\n"
            "  -f, --flag        a flag\n"
            "      --hex, --percent show levels in hex, or in percent (FL for full)\n"
            "  -l, --log-level N messages on standard error: 0 none, 1 fatal, 2 warn\n"
            "                    (default), 3 info, 4 debug\n"
            "  -h, --help        show this help\n"
            "  -v, --version     show the version\n"
            "\n"
            "The end.\n");
}

using OptionTableExit = OptionTable;

TEST_F(OptionTableExit, TakeEndsWith64AndOneLineOr0ForHelpAndVersionAndReturnsToRun) {
  SetProgramName("prog");
  COptions const options = Table(t);
  EXPECT_EXIT(options.Take(COptions::SResult::Misuse("unknown option: -z")),
              ::testing::ExitedWithCode(kExitUsage),
              "^prog: unknown option: -z \\(try --help\\)\n$");
  EXPECT_EXIT(options.Take({Kind::kHelp, {}}), ::testing::ExitedWithCode(0), "^$");
  EXPECT_EXIT(options.Take({Kind::kVersion, {}}), ::testing::ExitedWithCode(0), "^$");
  options.Take({});  // returns: the program runs
}

TEST(RunProgram, AnEscapingExceptionIsOneLineAndStatus1) {
  SetProgramName("prog");
  EXPECT_EQ(RunProgram([] { return 69; }), 69);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RunProgram([]() -> int { throw std::runtime_error("disk on fire"); }), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "prog: disk on fire\n");
}

}  // namespace
