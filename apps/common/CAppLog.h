// What a program says on standard error: usage errors and messages by level.
#pragma once

#include <string>

inline constexpr int kExitUsage = 64;        // the command line is wrong
inline constexpr int kExitUnavailable = 69;  // a needed resource (a UDP port) cannot be had

// Names the program in every line ("kelmar-host: ...").
void SetProgramName(char const* name);
// One line, "(try --help)", and exit status 64.
[[noreturn]] void UsageError(std::string const& what);
// The whole number `arg` given to option `name`, or a usage error naming the range.
long IntOption(char const* name, std::string const& arg, long lo, long hi);

// Levels: 0 none, 1 fatal, 2 warn (the default), 3 info, 4 debug.
void SetLogLevel(int level);
void Log(int level, std::string const& text);
