// The fixture of the tests that run the programs: it owns the children, each of which
// must end cleanly when asked at the end of the test, and a fresh folder for the test's
// files, removed after it; and the helpers these tests share to read the programs' JSON
// lines and standard error.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "CChildProcess.h"
#include "CUdpSocket.h"

class CProgramTest : public ::testing::Test {
 protected:
  using json = nlohmann::json;
  using Stream = CChildProcess::Stream;
  using Match = std::function<bool(json const&)>;
  static constexpr std::chrono::seconds kStep{10};  // the deadline for one expected reaction

  void TearDown() override {
    for (auto const& child : mChildren)
      EXPECT_TRUE(!child->running() || child->Terminate(kStep) == 0) << child->Transcript();
    std::error_code ec;
    if (!mDir.empty()) std::filesystem::remove_all(mDir, ec);
  }

  // Starts `bin` with `args`; the fixture owns it.
  CChildProcess* Run(std::string const& bin, std::vector<std::string> args) {
    args.insert(args.begin(), bin);
    std::string error;
    mChildren.push_back(std::make_unique<CChildProcess>());
    if (!mChildren.back()->Start(args, &error)) ADD_FAILURE() << error;
    return mChildren.back().get();
  }

  // Ends `child` at once, without a chance to tidy up (its destructor kills it), and
  // forgets it.
  void Kill(CChildProcess* child) {
    std::erase_if(mChildren, [child](auto const& owned) { return owned.get() == child; });
  }

  // A fresh folder for this test's files.
  std::filesystem::path Dir() {
    std::string pattern = ::testing::TempDir() + "kn-programs-XXXXXX";
    if (mDir.empty() && mkdtemp(pattern.data())) mDir = pattern;
    EXPECT_FALSE(mDir.empty()) << "cannot make a folder from " << pattern;
    return mDir;
  }
  // Writes `text` to the file `name` of the folder; its path.
  std::string Write(std::string const& name, std::string const& text) {
    std::string const path = (Dir() / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  static std::string ReadFile(std::filesystem::path const& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  // A UDP port on all addresses that was free a moment ago.
  static int FreePort() { return CUdpSocket(INADDR_ANY).port; }
  static std::string Loopback(int port) { return "127.0.0.1:" + std::to_string(port); }

  // A JSON line of `event` whose fields include `fields`.
  static Match Event(std::string const& event, json fields = json::object()) {
    fields["event"] = event;
    return [fields](json const& j) {
      for (auto const& [key, value] : fields.items())
        if (!j.contains(key) || j[key] != value) return false;
      return true;
    };
  }
  // The 512 slots a peer received: `levels`, then zeros.
  static Match PeerLevels(std::vector<int> levels) {
    levels.resize(512);
    return Event("levels", {{"start", 0}, {"levels", levels}});
  }

  // The next JSON line of `child` that `match` accepts, or a failure with what it said.
  static std::optional<json> Wait(CChildProcess* child, Match const& match,
                                  CChildProcess::Duration timeout = kStep) {
    json found;
    auto const take = [&](std::string const& line) {
      found = json::parse(line, nullptr, false);
      return found.is_object() && match(found);
    };
    if (child->WaitLine(Stream::kOut, take, timeout)) return found;
    ADD_FAILURE() << "not seen in time" << child->Transcript();
    return std::nullopt;
  }
  // The next line on standard error of `child` that holds `part`, or a failure.
  static std::optional<std::string> WaitErr(CChildProcess* child, std::string const& part) {
    auto found = child->WaitLine(
        Stream::kErr, [&](std::string const& l) { return l.find(part) != l.npos; }, kStep);
    if (!found) ADD_FAILURE() << "no '" << part << "' on standard error" << child->Transcript();
    return found;
  }
  // How many of the JSON lines of `child` so far `match` accepts.
  static int Count(CChildProcess* child, Match const& match) {
    int n = 0;
    for (auto const& line : child->lines(Stream::kOut))
      n += match(json::parse(line, nullptr, false));
    return n;
  }

  // `child` ends with `status` and one line on standard error, from `program` and holding
  // `says`, and nothing on standard output.
  static void ExpectRefused(CChildProcess* child, int status, std::string const& program,
                            std::string const& says = "") {
    EXPECT_EQ(child->WaitExit(kStep), status) << child->Transcript();
    auto const& err = child->lines(Stream::kErr);
    EXPECT_TRUE(err.size() == 1 && err[0].starts_with(program + ": ") &&
                err[0].find(says) != std::string::npos && child->lines(Stream::kOut).empty())
        << child->Transcript();
  }

 private:
  std::vector<std::unique_ptr<CChildProcess>> mChildren;
  std::filesystem::path mDir;
};
