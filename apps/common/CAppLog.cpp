// Standard-error messages of the programs.
#include "CAppLog.h"

#include <cstdlib>
#include <iostream>

#include "CPeerText.h"

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

long IntOption(char const* name, std::string const& arg, long lo, long hi) {
  auto v = ParseInt(arg, lo, hi);
  if (!v)
    UsageError(std::string(name) + ": a whole number " + std::to_string(lo) + ".." +
               std::to_string(hi) + ", not '" + arg + "'");
  return *v;
}

void SetLogLevel(int level) {
  gLogLevel = level;
}

void Log(int level, std::string const& text) {
  if (level <= gLogLevel) std::cerr << gProgram << ": " << text << '\n';
}
