// The host's commands on standard input, parsed from a line into what they ask.
#pragma once

#include <optional>
#include <string>

// One command line, parsed. Patch numbers are as typed (whole numbers from 1); whether
// such a patch exists is the host's to say.
struct SHostCommand {
  enum class Verb {
    kNone,     // an empty line
    kInvalid,  // `error` says what to tell the user
    kQuit,
    kHelp,
    kView,    // [patch]
    kSave,    // [text: FILE]
    kSet,     // [patch] text: KEY, value
    kIn,      // [patch] channel, level
    kAdd,     // [port]
    kRemove,  // patch
  };

  Verb verb = Verb::kNone;
  std::optional<long> patch;  // none: the first patch
  std::string text;
  double value = 0;
  long channel = 0;
  long level = 0;
  std::optional<long> port;  // add: as typed, bounded later like any udpPort
  std::string error;
};

// Parses one line. Never fails: a line that is not a command is kInvalid with a message.
SHostCommand ParseHostCommand(std::string const& line);
