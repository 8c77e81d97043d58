// Command-line options of the benchmark programs, and the role a re-executed copy plays.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench {

// Reads "--name=value" or "--name value"; flags are "--name" alone.
class CBenchArgs {
 public:
  CBenchArgs(int argc, char** argv) : mArgs(argv, argv + argc) {}

  // The value of an option; empty when absent.
  std::string Value(std::string const& name) const {
    for (std::size_t i = 1; i < mArgs.size(); ++i) {
      std::string const& a = mArgs[i];
      if (a.rfind(name + "=", 0) == 0) return a.substr(name.size() + 1);
      if (a == name && i + 1 < mArgs.size()) return mArgs[i + 1];
    }
    return {};
  }
  bool Has(std::string const& name) const {
    for (std::size_t i = 1; i < mArgs.size(); ++i)
      if (mArgs[i] == name) return true;
    return false;
  }
  int Int(std::string const& name, int absent) const {
    const std::string v = Value(name);
    return v.empty() ? absent : std::atoi(v.c_str());
  }
  double Real(std::string const& name, double absent) const {
    const std::string v = Value(name);
    return v.empty() ? absent : std::atof(v.c_str());
  }
  // A comma-separated list of integers.
  std::vector<int> Ints(std::string const& name, std::vector<int> absent) const {
    const std::string v = Value(name);
    if (v.empty()) return absent;
    std::vector<int> out;
    for (std::size_t at = 0; at < v.size();) {
      std::size_t comma = v.find(',', at);
      if (comma == std::string::npos) comma = v.size();
      out.push_back(std::atoi(v.substr(at, comma - at).c_str()));
      at = comma + 1;
    }
    return out;
  }

  // What a copy started by CChild plays ("--role"), and its end of the line channel
  // ("--ctl"); an empty role for the program the user started.
  std::string role() const { return Value("--role"); }
  int ctl() const { return Int("--ctl", -1); }

  // Prints the usage line on standard error; returns the exit status for it.
  int Usage(char const* options) const {
    std::fprintf(stderr, "usage: %s %s\n", mArgs[0].c_str(), options);
    return 2;
  }

 private:
  std::vector<std::string> mArgs;
};

}  // namespace bench
