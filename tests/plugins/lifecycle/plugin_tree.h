// A program directory in a temporary tree, filled with copies of the built
// test plugins, and a core whose program path points into it. Each plugin
// records its calls in one file that the fixture reads back.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/dvr_core.h"
#include "plugins/plugin.h"
#include "support/core_test_support.h"

namespace ko::test {

namespace fs = std::filesystem;

class PluginTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = tmp_.path() / "bin";
    fs::create_directories(bin_ / "plugins");
    fs::create_directories(bin_ / "protected-plugins");
    setenv("KO_PLUGIN_RECORD", recordFile().c_str(), 1);
  }

  void TearDown() override {
    if (core) {
      // A test that stopped half-way still leaves nothing running.
      if (!core->stopping()) core->requestStop();
      discardQueue(*core);
      core.reset();
    }
    core::coreInstance = nullptr;
    unsetenv("KO_PLUGIN_RECORD");
  }

  // Installs a copy (its own inode, so its own dlopen handle) under `name`.
  void install(const char* built, const std::string& name, const std::string& directory = "plugins") {
    fs::copy_file(built, bin_ / directory / name);
  }

  core::DvrCore& makeCore() {
    core = std::make_unique<core::DvrCore>((bin_ / "dvrcore").string());
    core::coreInstance = core.get();
    return *core;
  }

  void start() {
    core->bindLogPlugin();
    core->loadPlugins();
    core->openPlugins();
  }

  // Stop request, the dispatch loop draining the queue, close and unload: the
  // tail of the run sequence.
  void finish() {
    core->requestStop();
    core->dispatchLoop();
    core->closePlugins();
    core->unloadPlugins();
  }

  fs::path recordFile() const { return tmp_.path() / "record.txt"; }
  const fs::path& root() const { return tmp_.path(); }
  fs::path scratch(const std::string& name) const { return tmp_.path() / name; }

  // The recorded calls without their thread ids, in the order they happened.
  std::vector<std::string> calls() const {
    std::vector<std::string> result;
    for (auto& line : splitLines(readFile(recordFile()))) result.push_back(line.substr(0, line.rfind(" tid=")));
    return result;
  }

  // The thread that made the first recorded call `what`, or 0.
  long threadOf(const std::string& what) const {
    for (auto& line : splitLines(readFile(recordFile()))) {
      const auto at = line.rfind(" tid=");
      if (line.substr(0, at) == what) return std::stol(line.substr(at + 5));
    }
    return 0;
  }

  // The name of thread `tid` of this process, as top -H shows it.
  static std::string threadName(long tid) {
    std::string name = readFile(fs::path("/proc/self/task") / std::to_string(tid) / "comm");
    if (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
  }

  bool recorded(const std::string& what) const {
    const auto all = calls();
    return std::find(all.begin(), all.end(), what) != all.end();
  }

  // Position of `what` among the recorded calls; -1 when absent.
  long positionOf(const std::string& what) const {
    const auto all = calls();
    const auto it = std::find(all.begin(), all.end(), what);
    return it == all.end() ? -1 : static_cast<long>(it - all.begin());
  }

  std::vector<std::string> calledMatching(const std::string& suffix) const {
    std::vector<std::string> result;
    for (auto& call : calls()) {
      if (call.size() >= suffix.size() && call.compare(call.size() - suffix.size(), suffix.size(), suffix) == 0) {
        result.push_back(call.substr(0, call.size() - suffix.size()));
      }
    }
    return result;
  }

  std::vector<std::string> listedFiles() const {
    std::vector<std::string> names;
    for (auto& plugin : core->plugins) names.push_back(plugin->fileName);
    return names;
  }

  std::unique_ptr<core::DvrCore> core;

 private:
  TempDir tmp_;
  fs::path bin_;
};

}  // namespace ko::test
