// What a program says on standard error: usage errors and messages by level.
#pragma once

#include <functional>
#include <string>

inline constexpr int kExitUsage = 64;        // the command line is wrong
inline constexpr int kExitUnavailable = 69;  // a needed resource (a UDP port) cannot be had
inline constexpr int kExitFailure = 1;       // anything else

// Names the program in every line ("kelmar-host: ...").
void SetProgramName(char const* name);
// One line, "(try --help)", and exit status 64.
[[noreturn]] void UsageError(std::string const& what);
// Runs the program's body: its return value is the exit status, and an exception that
// escapes it is reported in one line and ends the program with status 1.
int RunProgram(std::function<int()> const& body);

// Levels: 0 none, 1 fatal, 2 warn (the default), 3 info, 4 debug.
void SetLogLevel(int level);
void Log(int level, std::string const& text);
