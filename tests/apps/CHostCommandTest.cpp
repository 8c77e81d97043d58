// The host's command lines: patch numbers in front of each command's own words, the new
// add and remove, and today's commands unchanged.
#include "CHostCommand.h"

#include <gtest/gtest.h>

#include "CHost.h"

namespace {

using Verb = SHostCommand::Verb;

TEST(HostCommand, APatchNumberIsTheWordInFrontOfACommandsOwnWords) {
  struct SCase {
    char const* line;
    Verb verb;
    std::optional<long> patch;
    std::string text;
    double value;
    long channel, level;
  };
  const SCase cases[] = {
      {"set udpPort 51210", Verb::kSet, {}, "udpPort", 51210, 0, 0},
      {"set 2 udpPort 51210", Verb::kSet, 2, "udpPort", 51210, 0, 0},
      {"  set   12 In7 0.5 ", Verb::kSet, 12, "In7", 0.5, 0, 0},
      {"set In7 -1e3", Verb::kSet, {}, "In7", -1000, 0, 0},
      {"in 7 255", Verb::kIn, {}, "", 0, 7, 255},
      {"in 2 7 255", Verb::kIn, 2, "", 0, 7, 255},
      {"in 1 512 0", Verb::kIn, 1, "", 0, 512, 0},
      {"view", Verb::kView, {}, "", 0, 0, 0},
      {"view 2", Verb::kView, 2, "", 0, 0, 0},
      {"settings 3", Verb::kView, 3, "", 0, 0, 0},
      {"save", Verb::kSave, {}, "", 0, 0, 0},
      {"save 2", Verb::kSave, {}, "2", 0, 0, 0},  // a file named 2: the composition is saved whole
      {"remove 2", Verb::kRemove, 2, "", 0, 0, 0},
      {"quit", Verb::kQuit, {}, "", 0, 0, 0},
      {"exit", Verb::kQuit, {}, "", 0, 0, 0},
      {"help", Verb::kHelp, {}, "", 0, 0, 0},
      {"", Verb::kNone, {}, "", 0, 0, 0},
      {"   ", Verb::kNone, {}, "", 0, 0, 0},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.line);
    SHostCommand const got = ParseHostCommand(c.line);
    EXPECT_EQ(got.verb, c.verb) << got.error;
    EXPECT_EQ(got.patch, c.patch);
    EXPECT_EQ(got.text, c.text);
    EXPECT_EQ(got.value, c.value);
    EXPECT_EQ(got.channel, c.channel);
    EXPECT_EQ(got.level, c.level);
  }
  EXPECT_EQ(ParseHostCommand("add").port, std::nullopt);
  EXPECT_EQ(ParseHostCommand("add 40000").port, 40000);
  EXPECT_EQ(ParseHostCommand("add 70000").port, 70000) << "bounded later, like any udpPort";
  EXPECT_EQ(ParseHostCommand("add 40000").verb, Verb::kAdd);
}

TEST(HostCommand, WrongLinesSayWhatIsWrong) {
  const std::pair<char const*, char const*> cases[] = {
      {"set 0 udpPort 5", "not a patch number: 0 (patches are numbered from 1)"},
      {"set x udpPort 5", "not a patch number: x (patches are numbered from 1)"},
      {"in -1 7 255", "not a patch number: -1 (patches are numbered from 1)"},
      {"view two", "not a patch number: two (patches are numbered from 1)"},
      {"remove 1.5", "not a patch number: 1.5 (patches are numbered from 1)"},
      {"remove", "usage: remove N"},
      {"remove 1 2", "usage: remove N"},
      {"set udpPort", "usage: set [N] KEY VALUE"},
      {"in 7", "usage: in [N] K LEVEL"},
      {"view 1 2", "usage: view [N]"},
      {"add 1 2", "usage: add [PORT]"},
      {"add port", "add: not a port number: port"},
      {"set 2 udpPort x", "set: not a number: x"},
      {"set udpPort 5x", "set: not a number: 5x"},
      {"in 2 513 1", "in: channel 1..512 and level 0..255"},
      {"in 7 256", "in: channel 1..512 and level 0..255"},
      {"set 2 udpPort 5 6", "too many words: set 2 udpPort 5 6"},
      {"view 1 2 3", "too many words: view 1 2 3"},
      {"bogus", "unknown command: bogus (try help)"},
      {"bogus a b c", "too many words: bogus a b c"},
  };
  for (auto const& [line, error] : cases) {
    SHostCommand const got = ParseHostCommand(line);
    EXPECT_EQ(got.verb, Verb::kInvalid) << line;
    EXPECT_EQ(got.error, error) << line;
  }
}

TEST(HostCommand, AddTakesTheLowestDefaultPortNoPatchUses) {
  EXPECT_EQ(NextFreePort({}), 51209);
  EXPECT_EQ(NextFreePort({51209}), 51209 + 1);
  EXPECT_EQ(NextFreePort({51211, 51209, 51210}), 51212);
  EXPECT_EQ(NextFreePort({51210, 40000}), 51209) << "a gap is filled first";
}

}  // namespace
