// A core under test for the monitor: it is coreInstance for the duration of a
// test, keeps its console quiet, and lets a test read back what reached the
// event queue (log lines, published memory states). The process-wide figures
// and reference tallies are restored after each test.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/dvr_core.h"
#include "events/ref_block.h"
#include "monitor/counters.h"
#include "monitor/system_probe.h"
#include "support/core_test_support.h"

namespace ko::core::test {

// Simulated time and memory; tests move the clocks and set the readings.
class SimulatedSystem final : public SystemProbe {
 public:
  int64_t steady = 5'000'000'000'000;
  int64_t wall = 1'790'000'000'000'000'000;
  std::optional<uint64_t> ram = uint64_t{1} << 30;
  int64_t stack = 8 << 20;
  uint64_t resident = 0;
  mutable int readings = 0;

  int64_t steadyNanos() const override { return steady; }
  int64_t wallNanos() const override { return wall; }
  std::optional<uint64_t> totalRam() const override { return ram; }
  int64_t stackLimit() const override { return stack; }
  uint64_t residentBytes() const override {
    ++readings;
    return resident;
  }
};

struct QueuedRecord {
  uint64_t type = 0;
  uint32_t source = 0;
  int level = 0;
  std::string text;
};

class MonitorTest : public ::testing::Test {
 protected:
  static constexpr int64_t Tick = 250'000'000;
  static constexpr int64_t Second = 1'000'000'000;

  void SetUp() override {
    coreInstance = &core;
    core.consoleQuiet = true;
    core.systemProbe = &system;
    for (size_t i = 0; i < refsHeld.size(); ++i) savedRefs[i] = refsHeld[i].load();
    resetCounters();
  }

  void TearDown() override {
    drain();
    for (size_t i = 0; i < refsHeld.size(); ++i) refsHeld[i].store(savedRefs[i]);
    resetCounters();
    coreInstance = nullptr;
  }

  static void resetCounters() {
    for (auto* figure : {&counters.throttledVideo, &counters.throttledAudio, &counters.ipcRequests,
                         &counters.ipcPackets, &counters.ipcBytes, &counters.searchRequests,
                         &counters.searchCancels, &counters.searchResults, &counters.searchResultBytes,
                         &counters.memoryInUse, &counters.memoryBaseline, &counters.eventsDispatched,
                         &counters.idleSeconds, &counters.queueLength, &counters.liveLogMicros}) {
      figure->store(0);
    }
  }

  // Takes everything out of the queue, releasing the queue's references.
  std::vector<QueuedRecord> drain() {
    std::vector<QueuedRecord> out;
    for (auto& [record, text] : ::ko::test::takeQueue(core)) {
      out.push_back({record.type, static_cast<uint32_t>(record.source),
                     static_cast<int32_t>(static_cast<uint32_t>(record.body.bodyParam)), std::move(text)});
    }
    return out;
  }

  // The core's own log lines that reached the queue since the last drain.
  std::vector<std::string> logLines() {
    std::vector<std::string> lines;
    for (auto& record : drain()) {
      if (record.type == EventTypeLog && record.source == CoreSourceId) lines.push_back(record.text);
    }
    return lines;
  }

  DvrCore core{"/nonexistent/dvrcore"};
  SimulatedSystem system;
  std::array<int64_t, 256> savedRefs{};
};

}  // namespace ko::core::test
