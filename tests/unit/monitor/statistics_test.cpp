// The statistics report and its size format, driven through the real core:
// the report reaches the event queue as a core log record.
#include <atomic>
#include <chrono>
#include <climits>
#include <thread>

#include "unit/monitor/monitor_fixture.h"
#include "monitor/statistics.h"
#include "plugins/plugin.h"

namespace ko::core::test {
namespace {

TEST(FormatSize, SwitchesToBinaryUnitsAbove102399) {
  EXPECT_EQ(formatSize(0), "0");
  EXPECT_EQ(formatSize(102399), "102,399");
  EXPECT_EQ(formatSize(-102399), "-102,399");
  EXPECT_EQ(formatSize(102400), "100KiB");
  EXPECT_EQ(formatSize(-204800), "-200KiB");
}

TEST(FormatSize, RoundsUpAtTwoDecimalsInShortestForm) {
  EXPECT_EQ(formatSize(1536000), "1.47MiB");
  EXPECT_EQ(formatSize(1048576), "1MiB");
  EXPECT_EQ(formatSize(2621440), "2.5MiB");
  EXPECT_EQ(formatSize(1048577), "1.01MiB");
}

TEST(FormatSize, ExtremesDoNotOverflow) {
  EXPECT_EQ(formatSize(INT64_MAX), "8EiB");
  EXPECT_EQ(formatSize(INT64_MIN), "-8EiB");
}

TEST(HeapAlloc, ReadsResidentMemoryOfThisProcess) {
  // A running test process has at least a page resident.
  EXPECT_GT(getHeapAlloc(), 4096u);
}

class StatisticsReport : public MonitorTest {
 protected:
  void makeDue() { core.lastReport = std::chrono::steady_clock::now() - std::chrono::hours(1); }

  // One due report; empty when none reached the queue.
  std::string report() {
    makeDue();
    core.reportStatistics();
    const auto lines = logLines();
    EXPECT_LE(lines.size(), 1u);
    return lines.empty() ? std::string() : lines.front();
  }

  void addPlugin(const char* fileName, uint32_t sourceId) {
    // A plugin whose library could not be loaded still carries the name and
    // identity the report looks up.
    auto plugin = LoadPlugin(std::string("/nonexistent/") + fileName, nullptr, nullptr, 0);
    plugin->info.sourceId = sourceId;
    core.plugins.push_back(std::move(plugin));
  }
};

TEST_F(StatisticsReport, WritesEveryFigureInItsPlace) {
  counters.queueLength = 3;
  counters.eventsDispatched = 1523;
  counters.idleSeconds = 42;
  counters.throttledVideo = 2;
  counters.throttledAudio = 1;
  counters.liveLogMicros = 1874;
  counters.ipcRequests = 12;
  counters.ipcPackets = 9;
  counters.ipcBytes = 1180;
  counters.searchRequests = 4;
  counters.searchCancels = 6;
  counters.searchResults = 240;
  counters.searchResultBytes = 2621440;
  counters.memoryInUse = 43200000;
  EXPECT_EQ(report(),
            "InQ:3 events:1,523 idle:42s throttled[v:2 a:1]\n"
            "ltm:1,874us ipc[r:12 p:9 d:1,180] srch[r:4 c:6 p:240 d:2.5MiB] cDev:0\n"
            "memory[inuse:41.2MiB +41.2MiB] refblks:0(0) top: ");
}

TEST_F(StatisticsReport, ResetsFiguresButKeepsQueueLengthAndHolders) {
  counters.queueLength = 3;
  counters.eventsDispatched = 10;
  counters.ipcBytes = 500;
  counters.searchResultBytes = 500;
  counters.throttledVideo = 7;
  counters.memoryInUse = 200000;
  refsHeld[3] = 4;
  ASSERT_FALSE(report().empty());
  EXPECT_EQ(counters.queueLength.load(), 3);
  EXPECT_EQ(counters.eventsDispatched.load(), 0);
  EXPECT_EQ(counters.ipcBytes.load(), 0);
  EXPECT_EQ(counters.searchResultBytes.load(), 0);
  EXPECT_EQ(counters.throttledVideo.load(), 0);
  EXPECT_EQ(counters.memoryBaseline.load(), 200000);
  EXPECT_EQ(refsHeld[3].load(), 4);
}

TEST_F(StatisticsReport, ShowsMemoryChangeOnlyAgainstThePreviousReport) {
  counters.memoryInUse = 43200000;
  (void)report();
  EXPECT_NE(report().find("memory[inuse:41.2MiB] "), std::string::npos);
  counters.memoryInUse = 43200000 + 122880;
  EXPECT_NE(report().find("memory[inuse:41.32MiB +120KiB] "), std::string::npos);
  counters.memoryInUse = 43200000 + 122880 - 204800;
  EXPECT_NE(report().find("memory[inuse:41.13MiB -200KiB] "), std::string::npos);
}

TEST_F(StatisticsReport, ListsFiveTopHoldersWithLowerIndexWinningTies) {
  addPlugin("Recorder.so", 0x00010000);
  addPlugin("LogPI.so", 0x00020000);
  addPlugin("Motion.so.2", 0x00040000);
  addPlugin("Shadow.so", 0x00040000);  // the first plugin with an index names it
  const int64_t held[] = {5, 9, 9, 1, 7, 3, 8};
  for (size_t i = 0; i < std::size(held); ++i) refsHeld[i] = held[i];
  const std::string line = report();
  EXPECT_TRUE(line.ends_with(" top: Recorder 9, LogPI 9, unknown 8, Motion 7, Core 5")) << line;
}

TEST_F(StatisticsReport, NotDueWithinAMinuteOfTheLastReport) {
  core.lastReport = std::chrono::steady_clock::now() - std::chrono::seconds(59);
  counters.eventsDispatched = 5;
  core.reportStatistics();
  EXPECT_TRUE(logLines().empty());
  EXPECT_EQ(counters.eventsDispatched.load(), 5);

  makeDue();
  core.reportStatistics();
  core.reportStatistics();  // the report just written restarts the minute
  EXPECT_EQ(logLines().size(), 1u);
}

TEST_F(StatisticsReport, QuietCoreStillResetsFigures) {
  core.logLevels[0] = 26;
  counters.eventsDispatched = 5;
  counters.searchRequests = 2;
  counters.memoryInUse = 300000;
  EXPECT_EQ(report(), "");
  EXPECT_EQ(counters.eventsDispatched.load(), 0);
  EXPECT_EQ(counters.searchRequests.load(), 0);
  EXPECT_EQ(counters.memoryBaseline.load(), 300000);
}

// Refusals counted while a report reads and resets the figure must show up in
// that report or the next one, never vanish between the read and the reset.
TEST_F(StatisticsReport, ConcurrencyLosesNoThrottledCountAcrossResets) {
  constexpr int Submissions = 200000;
  core.throttled = true;
  std::atomic<bool> done{false};
  std::atomic<bool> reporting{false};
  std::thread submitter([&] {
    while (!reporting) std::this_thread::yield();
    auto video = makeEvent(EventTypeVideo, EventClassLive, CoreSourceId);
    for (int i = 0; i < Submissions; ++i) EXPECT_EQ(core.submitEvent(video), 5);
    done = true;
  });
  int64_t reported = 0;
  const auto addReported = [&] {
    for (const auto& line : logLines()) {
      const auto at = line.find("throttled[v:") + 12;
      std::string digits;
      for (size_t i = at; i < line.size() && line[i] != ' '; ++i) {
        if (line[i] != ',') digits += line[i];
      }
      reported += std::stoll(digits);
    }
  };
  while (!done) {
    reporting = true;
    makeDue();
    core.reportStatistics();
    addReported();
  }
  submitter.join();
  addReported();
  EXPECT_EQ(reported + counters.throttledVideo.load(), Submissions);
}

}  // namespace
}  // namespace ko::core::test
