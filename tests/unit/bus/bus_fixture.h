// An in-process core with real test plugins: each test gets a fresh DvrCore
// (coreInstance points at it), loads plugins from tests/plugins/bus through
// the real LoadPlugin, and runs the real dispatch loop on the test thread or
// on a helper thread. The process-wide block and reference tallies are
// compared with their values at the start of the test.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/dvr_core.h"
#include "events/ref_block.h"
#include "monitor/counters.h"
#include "plugins/bus/bus_probe.h"
#include "plugins/plugin.h"

extern "C" int32_t submitEventCallback(ko::core::EventParms* record) noexcept;

namespace ko::core::bustest {

using busprobe::Probe;

inline std::string pluginPath(const std::string& name) { return std::string(BUS_PLUGIN_DIR) + "/" + name + ".so"; }

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/bus-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    core = std::make_unique<DvrCore>(dir + "/dvrcore");
    coreInstance = core.get();
    // The core's own progress lines (the statistics report among them) would
    // reach the test plugins as log records; tests that want them lower this.
    core->logLevels[0] = 50;
    core->consoleQuiet = true;
    baseBlocks = refBlockCount.load();
    baseBytes = refBlockBytes.load();
    for (size_t i = 0; i < refsHeld.size(); ++i) baseHeld[i] = refsHeld[i].load();
  }

  void TearDown() override {
    stopLoopThread();
    core.reset();
    coreInstance = nullptr;
    for (void* handle : handles) dlclose(handle);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  // The probe of a test plugin, reached through the test's own handle on
  // the library (the same mapping the core gets), reset to its defaults.
  Probe* probe(const std::string& name) {
    void* handle = dlopen(pluginPath(name).c_str(), RTLD_NOW);
    EXPECT_NE(handle, nullptr) << dlerror();
    if (handle == nullptr) return nullptr;
    handles.push_back(handle);
    auto fn = reinterpret_cast<busprobe::Probe* (*)()>(dlsym(handle, "busProbe"));
    Probe* p = fn();
    p->reset();
    return p;
  }

  static std::shared_ptr<Plugin> load(const std::string& name) {
    return LoadPlugin(pluginPath(name), submitEventCallback, nullptr, 0);
  }

  // Loads, opens and appends a plugin to the core's dispatch list.
  std::shared_ptr<Plugin> attach(const std::string& name) {
    auto plugin = load(name);
    EXPECT_TRUE(plugin->loaded()) << plugin->errorText;
    plugin->Open();
    std::unique_lock lock(core->pluginsLock);
    core->plugins.push_back(plugin);
    return plugin;
  }

  // Drains what is queued and returns, on the test thread.
  void drain() {
    core->requestStop();
    core->dispatchLoop();
  }

  void startLoopThread() {
    loopThread = std::thread([this] { core->dispatchLoop(); });
  }
  void stopLoopThread() {
    if (!loopThread.joinable()) return;
    core->requestStop();
    loopThread.join();
  }

  // The loop's first pass writes the statistics report, which resets the
  // counters. A record nobody wants, queued first, takes that pass so that
  // the records a test counts come after it.
  void queueWarmUp() {
    auto record = makeEvent(EventTypeUnspecified, 0, CoreSourceId);
    ASSERT_EQ(core->submitEvent(record), 0);
  }
  // Starts the loop and returns once its first pass is over: `witness` has
  // then received the configuration record that pass carried.
  void startPrimedLoop(Probe* witness) {
    startLoopThread();
    ASSERT_EQ(submit(makeEvent(EventTypeConfig, EventClassLive, 0x00400000u)), 0);
    ASSERT_TRUE(witness->waitFor([&] {
      for (const auto& d : witness->deliveries) {
        if (d.record.type == EventTypeConfig) return true;
      }
      return false;
    }));
  }

  int32_t submit(EventParms record) { return submitEventCallback(&record); }

  int64_t blocksDelta() const { return refBlockCount.load() - baseBlocks; }
  int64_t bytesDelta() const { return refBlockBytes.load() - baseBytes; }
  int64_t heldDelta(uint8_t index) const { return refsHeld[index].load() - baseHeld[index]; }

  std::string dir;
  std::unique_ptr<DvrCore> core;
  std::vector<void*> handles;
  std::thread loopThread;
  int64_t baseBlocks = 0;
  int64_t baseBytes = 0;
  std::array<int64_t, 256> baseHeld{};
};

}  // namespace ko::core::bustest
