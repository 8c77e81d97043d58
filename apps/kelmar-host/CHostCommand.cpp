// Parsing the host's command lines.
#include "CHostCommand.h"

#include <climits>
#include <iterator>
#include <sstream>
#include <vector>

#include "COptions.h"

namespace {

using Verb = SHostCommand::Verb;

SHostCommand Invalid(std::string text) {
  SHostCommand c;
  c.verb = Verb::kInvalid;
  c.error = std::move(text);
  return c;
}

// The patch number in front of a command's own words, if it has one: a command with
// one word more than it takes on its own.
bool TakePatch(std::vector<std::string>& args, std::size_t own, SHostCommand* c) {
  if (args.size() != own + 1) return true;
  c->patch = ParseInt(args.front(), 1, LONG_MAX);
  if (!c->patch) {
    *c = Invalid("not a patch number: " + args.front() + " (patches are numbered from 1)");
    return false;
  }
  args.erase(args.begin());
  return true;
}

}  // namespace

SHostCommand ParseHostCommand(std::string const& line) {
  std::istringstream in(line);
  std::vector<std::string> args{std::istream_iterator<std::string>(in), {}};
  SHostCommand c;
  if (args.empty()) return c;
  std::string const verb = args.front();
  args.erase(args.begin());
  // The most words after the verb, and the usage line shown when they do not fit.
  struct SForm {
    char const* verb;
    Verb kind;
    std::size_t least, most;
    char const* usage;
  };
  static SForm const kForms[] = {
      {"quit", Verb::kQuit, 0, 2, "quit"},
      {"exit", Verb::kQuit, 0, 2, "quit"},
      {"help", Verb::kHelp, 0, 2, "help"},
      {"view", Verb::kView, 0, 1, "view [N]"},
      {"settings", Verb::kView, 0, 1, "view [N]"},
      {"save", Verb::kSave, 0, 1, "save [FILE]"},
      {"set", Verb::kSet, 2, 3, "set [N] KEY VALUE"},
      {"in", Verb::kIn, 2, 3, "in [N] K LEVEL"},
      {"add", Verb::kAdd, 0, 1, "add [PORT]"},
      {"remove", Verb::kRemove, 1, 1, "remove N"},
  };
  SForm const* form = nullptr;
  for (SForm const& f : kForms)
    if (verb == f.verb) form = &f;
  if (!form) {
    if (args.size() > 2) return Invalid("too many words: " + line);
    return Invalid("unknown command: " + line + " (try help)");
  }
  if (args.size() > form->most && args.size() > 2) return Invalid("too many words: " + line);
  if (args.size() < form->least || args.size() > form->most)
    return Invalid(std::string("usage: ") + form->usage);
  c.verb = form->kind;
  switch (c.verb) {
    case Verb::kNone:
    case Verb::kInvalid:
    case Verb::kQuit:
    case Verb::kHelp:
      break;
    case Verb::kView:
      if (!TakePatch(args, 0, &c)) return c;
      break;
    case Verb::kSave:
      if (!args.empty()) c.text = args[0];
      break;
    case Verb::kSet: {
      if (!TakePatch(args, 2, &c)) return c;
      c.text = args[0];
      std::istringstream vs(args[1]);
      if (!(vs >> c.value) || !vs.eof()) return Invalid("set: not a number: " + args[1]);
      break;
    }
    case Verb::kIn: {
      if (!TakePatch(args, 2, &c)) return c;
      auto const k = ParseInt(args[0], 1, 512);
      auto const level = ParseInt(args[1], 0, 255);
      if (!k || !level) return Invalid("in: channel 1..512 and level 0..255");
      c.channel = *k;
      c.level = *level;
      break;
    }
    case Verb::kAdd:
      if (!args.empty()) {
        c.port = ParseInt(args[0], LONG_MIN, LONG_MAX);
        if (!c.port) return Invalid("add: not a port number: " + args[0]);
      }
      break;
    case Verb::kRemove:
      if (!TakePatch(args, 0, &c)) return c;
      break;
  }
  return c;
}
