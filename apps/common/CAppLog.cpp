// Standard-error messages of the programs.
#include "CAppLog.h"

#include <cstdlib>
#include <exception>
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

int RunProgram(std::function<int()> const& body) {
  try {
    return body();
  } catch (std::exception const& e) {
    std::cerr << gProgram << ": " << e.what() << '\n';
  } catch (...) {
    std::cerr << gProgram << ": an unexpected failure\n";
  }
  return kExitFailure;
}

void SetLogLevel(int level) {
  gLogLevel = level;
}

void Log(int level, std::string const& text) {
  if (level <= gLogLevel) std::cerr << gProgram << ": " << text << '\n';
}
