// Memory throttling, the memory limits and the clock watch, driven tick by
// tick with simulated clocks and memory readings.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string_view>
#include <thread>

#include "core/fatal_signal.h"
#include "monitor/stuck_calls.h"
#include "plugins/plugin.h"
#include "unit/monitor/monitor_fixture.h"

namespace ko::core::test {
namespace {

constexpr uint64_t GiB = uint64_t{1} << 30;
constexpr uint64_t MiB = uint64_t{1} << 20;
constexpr uint64_t OneGiBLimit = 858'993'440;
constexpr std::string_view LowText = "available system memory is low, throttling audio/video";
constexpr std::string_view OkText = "available system memory ok, not throttling audio/video";

class Housekeeping : public MonitorTest {
 protected:
  struct Seen {
    std::vector<std::string> lines;
    std::vector<char> states;  // Throttling of each published memory state
  };

  void start() { core.housekeepingTick(); }
  void tick(int64_t steadyStep = Tick, int64_t wallStep = Tick) {
    system.steady += steadyStep;
    system.wall += wallStep;
    core.housekeepingTick();
  }
  // Ticks through whole seconds, so each ends with a memory check.
  void runFor(int seconds) {
    for (int i = 0; i < seconds * 4; ++i) tick();
  }

  Seen seen() {
    Seen out;
    for (auto& record : drain()) {
      if (record.source != CoreSourceId) continue;
      if (record.type == EventTypeLog) out.lines.push_back(record.text);
      const auto at = record.text.find("Throttling=\"");
      if (record.type == EventTypeAlarm && at != std::string::npos) out.states.push_back(record.text[at + 12]);
    }
    return out;
  }
  std::vector<std::string> lines() { return seen().lines; }

  void startAboveLimit() {
    start();
    (void)seen();
    system.resident = OneGiBLimit + 1;
    runFor(1);
  }
};

TEST_F(Housekeeping, LogsLimitsOnlyAtTheFirstTick) {
  start();
  EXPECT_EQ(lines(), std::vector<std::string>{"memory limits, throttling:819.2MiB stack:8MiB"});
  runFor(3);
  EXPECT_TRUE(lines().empty());
}

TEST_F(Housekeeping, UnknownRamAndUnlimitedStack) {
  system.ram.reset();
  system.stack = -1;
  start();
  EXPECT_EQ(lines(), std::vector<std::string>{"memory limits, throttling:190MiB stack:-1"});
}

struct LimitCase {
  uint64_t ram;
  uint64_t limit;
  const char* shown;
};

class MemoryLimit : public Housekeeping, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(MemoryLimit, ThrottlesOnlyAboveTheLimitDerivedFromRam) {
  system.ram = GetParam().ram;
  start();
  EXPECT_EQ(lines().at(0), std::string("memory limits, throttling:") + GetParam().shown + " stack:8MiB");
  system.resident = GetParam().limit;
  runFor(1);
  EXPECT_FALSE(core.throttled.load());
  system.resident = GetParam().limit + 1;
  runFor(1);
  EXPECT_TRUE(core.throttled.load());
}

INSTANTIATE_TEST_SUITE_P(Machines, MemoryLimit,
                         ::testing::Values(LimitCase{GiB, OneGiBLimit, "819.2MiB"},
                                           LimitCase{256 * MiB, 199'229'440, "190MiB"},
                                           LimitCase{512 * MiB - 1, 199'229'440, "190MiB"},
                                           LimitCase{512 * MiB, 429'496'720, "409.6MiB"}));

TEST_F(Housekeeping, ReadsMemoryAboutOnceASecond) {
  system.resident = 1234567;
  start();
  for (int i = 0; i < 3; ++i) tick();
  EXPECT_EQ(system.readings, 0);
  EXPECT_EQ(counters.memoryInUse.load(), 0);
  tick();
  EXPECT_EQ(system.readings, 1);
  EXPECT_EQ(counters.memoryInUse.load(), 1234567);
  runFor(10);
  EXPECT_EQ(system.readings, 11);
}

TEST_F(Housekeeping, SingleCrossingThrottlesAtOnceAndRecoversAMinuteAfterTheLastLowReading) {
  startAboveLimit();
  EXPECT_TRUE(core.throttled.load());
  EXPECT_EQ(lines(), std::vector<std::string>{std::string(LowText)});
  const int64_t lastLow = system.steady;

  system.resident = 1;
  runFor(1);
  EXPECT_FALSE(core.throttled.load()) << "refusing must follow the first good reading";
  std::vector<std::string> logged;
  while (logged.empty() && system.steady < lastLow + 120 * Second) {
    runFor(1);
    logged = lines();
  }
  EXPECT_EQ(logged, std::vector<std::string>{std::string(OkText)});
  EXPECT_EQ(system.steady - lastLow, 60 * Second);
  runFor(70);
  EXPECT_TRUE(lines().empty());
}

TEST_F(Housekeeping, OscillationLogsOneLowAndOneOk) {
  start();
  (void)seen();
  int64_t lastLow = 0;
  for (int second = 0; second < 90; ++second) {
    const bool low = second % 5 < 2;
    system.resident = low ? OneGiBLimit * 2 : OneGiBLimit / 2;
    runFor(1);
    EXPECT_EQ(core.throttled.load(), low);
    if (low) lastLow = system.steady;
  }
  EXPECT_EQ(lines(), std::vector<std::string>{std::string(LowText)});
  system.resident = 0;
  while (system.steady < lastLow + 60 * Second) runFor(1);
  EXPECT_EQ(lines(), std::vector<std::string>{std::string(OkText)});
}

TEST_F(Housekeeping, DisabledThrottlingStillMeasuresButNeverMoves) {
  core.throttlingEnabled = false;
  startAboveLimit();
  runFor(70);
  EXPECT_EQ(counters.memoryInUse.load(), static_cast<int64_t>(OneGiBLimit + 1));
  system.resident = 0;
  runFor(70);
  EXPECT_FALSE(core.throttled.load());
  const Seen after = seen();
  EXPECT_TRUE(after.lines.empty());
  EXPECT_TRUE(after.states.empty());
  EXPECT_EQ(counters.memoryInUse.load(), 0);
  EXPECT_EQ(system.readings, 141);
}

TEST_F(Housekeeping, PublishesStateOnceOnEachThrottleChange) {
  core.publishMemoryState();
  if (seen().states.empty()) GTEST_SKIP() << "the memory-state document is not published by this build";
  startAboveLimit();
  runFor(5);
  EXPECT_EQ(seen().states, std::vector<char>{'1'});
  system.resident = 0;
  runFor(59);
  EXPECT_TRUE(seen().states.empty());
  runFor(1);
  EXPECT_EQ(seen().states, std::vector<char>{'0'});
}

TEST_F(Housekeeping, ThrottledSubmissionRefusesOnlyLiveVideoAndAudio) {
  startAboveLimit();
  ASSERT_TRUE(core.throttled.load());
  (void)seen();
  auto liveVideo = makeEvent(EventTypeVideo, EventClassLive, CoreSourceId);
  auto liveAudio = makeEvent(EventTypeAudio, EventClassLive, CoreSourceId);
  auto modifiedVideo = makeEvent(EventTypeVideo | EventTypeModifier, EventClassLive, CoreSourceId);
  auto storedVideo = makeEvent(EventTypeVideo, EventClassStored, CoreSourceId);
  EXPECT_EQ(core.submitEvent(liveVideo), 5);
  EXPECT_EQ(core.submitEvent(liveAudio), 5);
  EXPECT_EQ(core.submitEvent(modifiedVideo), 0);
  EXPECT_EQ(core.submitEvent(storedVideo), 0);
  EXPECT_EQ(counters.throttledVideo.load(), 1);
  EXPECT_EQ(counters.throttledAudio.load(), 1);
  EXPECT_EQ(drain().size(), 2u);

  system.resident = 0;
  runFor(1);
  EXPECT_EQ(core.submitEvent(liveVideo), 0);
}

class ClockWatch : public Housekeeping {
 protected:
  // One check interval: four ticks over `steady` with the wall clock moving
  // by `wall` in total.
  std::vector<std::string> interval(int64_t steady, int64_t wall) {
    start();
    (void)seen();
    for (int i = 0; i < 4; ++i) tick(steady / 4, wall / 4);
    return lines();
  }
};

TEST_F(ClockWatch, ReportsWallClockSetForwardOneHour) {
  EXPECT_EQ(interval(Second, 3601 * Second),
            std::vector<std::string>{"system time changed by 3601.00seconds"});
  runFor(3);
  EXPECT_TRUE(lines().empty()) << "a jump is reported once";
}

TEST_F(ClockWatch, ReportsWallClockSetBack) {
  EXPECT_EQ(interval(Second, Second - 3600 * Second),
            std::vector<std::string>{"system time changed by -3599.00seconds"});
}

TEST_F(ClockWatch, ToleratesUpToASecondOfDrift) {
  EXPECT_TRUE(interval(Second, 1'800'000'000).empty());
}

TEST_F(ClockWatch, ReportsMoreThanASecondOfDrift) {
  EXPECT_EQ(interval(Second, 2'100'000'000), std::vector<std::string>{"system time changed by 2.10seconds"});
}

// The stuck-call watch, driven with simulated "now" against a call in
// progress on this thread.
class StuckCalls : public MonitorTest {
 protected:
  void SetUp() override {
    MonitorTest::SetUp();
    setThreadRole(ThreadRole::Dispatch);
  }
  void TearDown() override {
    setThreadRole(ThreadRole::Foreign);
    MonitorTest::TearDown();
  }
  CallSlot& slot = threadCallSlot();
  StuckCallWatch watch;
};

TEST_F(StuckCalls, ReportsAtTenSecondsThenEveryMinuteAndTheReturnOnce) {
  {
    PluginCallScope call(nullptr, "Slow", PluginEntry::OnEvent);
    const int64_t start = slot.start.load();
    watch.check(slot, start + 10 * Second - 1);
    EXPECT_TRUE(logLines().empty());
    watch.check(slot, start + 10 * Second);
    watch.check(slot, start + 11 * Second);
    EXPECT_EQ(logLines(), std::vector<std::string>{"Slow stuck in OnEvent for 10s on dispatch"});
    watch.check(slot, start + 70 * Second - 1);
    EXPECT_TRUE(logLines().empty());
    watch.check(slot, start + 70 * Second);
    watch.check(slot, start + 130 * Second);
    EXPECT_EQ(logLines(), (std::vector<std::string>{"Slow stuck in OnEvent for 70s on dispatch",
                                                    "Slow stuck in OnEvent for 130s on dispatch"}));
  }
  // The call's own end writes the line (its real length here is about 0 s);
  // the watch then finds nothing left to report.
  watch.check(slot, callClockNanos() + 200 * Second);
  EXPECT_EQ(logLines(), std::vector<std::string>{"Slow returned from OnEvent after 0s"});
}

// The watch thread needs nobody's help: a call stuck on a watched thread is
// reported from it alone, whatever the watched thread or the tick are doing,
// and the tick runs on it too.
TEST_F(StuckCalls, WatchThreadReportsAStuckCallAndTicksOnItsOwn) {
  CallWatch calls;
  calls.watch(slot);
  std::atomic<int> ticks{0};
  {
    PluginCallScope call(nullptr, "Sloth", PluginEntry::Close);
    slot.start.store(callClockNanos() - 20 * Second);
    calls.start([&] { ticks.fetch_add(1); });
    std::vector<std::string> seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (seen.empty() && std::chrono::steady_clock::now() < deadline) {
      seen = logLines();
      if (seen.empty()) std::this_thread::yield();
    }
    EXPECT_EQ(seen, std::vector<std::string>{"Sloth stuck in Close for 20s on dispatch"});
    EXPECT_GE(ticks.load(), 1);
    calls.stop();
  }
  calls.unwatch(slot);
  EXPECT_EQ(calls.watchedThreads(), 0u);
}

// Threads come and go while the watch looks: each takes its slot out before
// it ends, so the watch never reads a slot of a thread already gone (the
// sanitizer builds see such a read).
TEST_F(StuckCalls, ConcurrencyThreadsLeavingWhileTheWatchLooksAreNeverReadAfterwards) {
  CallWatch calls;
  std::atomic<bool> done{false};
  std::thread looker([&] {
    while (!done.load()) calls.check(callClockNanos());
  });
  for (int round = 0; round < 200; ++round) {
    std::thread([&] {
      WatchedThread watched(calls);
      PluginCallScope call(nullptr, "Brief", PluginEntry::OnSearch);
    }).join();
  }
  done.store(true);
  looker.join();
  EXPECT_EQ(calls.watchedThreads(), 0u);
  EXPECT_TRUE(logLines().empty());
}

// A watch idle between looks ends as soon as it is told, and nothing counts
// as stuck.
TEST_F(StuckCalls, IdleWatchIsJoinedNotLeftAsStuck) {
  CallWatch calls;
  calls.watch(slot);
  const int before = stuckPlugins.load();
  calls.start({});
  calls.stop();
  EXPECT_EQ(stuckPlugins.load(), before);
  calls.unwatch(slot);
}

TEST_F(StuckCalls, NestedCallRestoresTheOuterOneForTheFatalLine) {
  char line[256];
  PluginCallScope outer(nullptr, "Outer", PluginEntry::OnIpcResult);
  {
    PluginCallScope inner(nullptr, "LogPI", PluginEntry::OnEvent);
    EXPECT_EQ(std::string(line, formatFatalSignalLine(SIGSEGV, line, sizeof line)),
              "fatal signal SIGSEGV in dispatch: 00:LogPI OnEvent");
  }
  EXPECT_EQ(std::string(line, formatFatalSignalLine(SIGSEGV, line, sizeof line)),
            "fatal signal SIGSEGV in dispatch: 00:Outer OnIpcResult");
  watch.check(slot, slot.start.load() + 10 * Second);
  EXPECT_EQ(logLines(), std::vector<std::string>{"Outer stuck in OnIpcResult for 10s on dispatch"});
}

}  // namespace
}  // namespace ko::core::test
