// The fixture of the tests that run the programs: it owns the children, each of which
// must end cleanly when asked at the end of the test, and a fresh folder for the test's
// files, removed after it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "CChildProcess.h"

class CProgramTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (auto const& child : mChildren)
      EXPECT_TRUE(!child->running() || child->Terminate(std::chrono::seconds(10)) == 0)
          << child->Transcript();
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

 private:
  std::vector<std::unique_ptr<CChildProcess>> mChildren;
  std::filesystem::path mDir;
};
