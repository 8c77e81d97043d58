// Standard-error messages of the programs.
#include "CAppLog.h"

#include <cstdlib>
#include <iostream>

namespace {
char const* gProgram = "kelmar";
int gLogLevel = 2;
}  // namespace

void SetProgramName(char const* name) {
  gProgram = name;
}

void UsageError(std::string const& what) {
  std::cerr << gProgram << ": " << what << " (try --help)\n";
  std::exit(kExitUsage);
}

void SetLogLevel(int level) {
  gLogLevel = level;
}

void Log(int level, std::string const& text) {
  if (level <= gLogLevel) std::cerr << gProgram << ": " << text << '\n';
}
