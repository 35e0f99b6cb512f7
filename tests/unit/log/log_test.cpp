// Log records: thresholds, the console line byte for byte, the core's own
// log functions, and what a failing console costs.
#include "log/core_log.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <locale>
#include <thread>

#include "events/ref_block.h"
#include "log/log_budget.h"
#include "support/core_test_support.h"

namespace ko::test {
namespace {

using core::CoreSourceId;
using core::DvrCore;
using core::EventClassLive;
using core::EventFlagQuery;
using core::EventFlagText;
using core::EventParms;
using core::EventTypeLog;

constexpr const char* Grey = "\x1b[38;5;248m";
constexpr const char* Green = "\x1b[32m";
constexpr const char* Yellow = "\x1b[38;5;227m";
constexpr const char* Red = "\x1b[38;5;196m";
constexpr const char* Fatal = "\x1b[38;5;37m\x1b[38;5;1m";

EventParms logRecord(uint32_t source, int level, const char* text, size_t length) {
  auto record = core::makeEvent(EventTypeLog, EventClassLive | EventFlagText, source, text,
                                static_cast<uint32_t>(length));
  record.body.bodyParam = static_cast<uint32_t>(level);
  return record;
}

EventParms logRecord(uint32_t source, int level, const char* text) {
  return logRecord(source, level, text, std::strlen(text));
}

// A core reachable through coreInstance for the length of a test.
class CoreFixture : public ::testing::Test {
 protected:
  void SetUp() override { core::coreInstance = &core_; }
  void TearDown() override {
    discardQueue(core_);
    core::coreInstance = nullptr;
  }

  // Texts of the queued records, in order.
  std::vector<std::string> queuedTexts() {
    std::vector<std::string> texts;
    std::lock_guard lock(core_.queueLock);
    for (auto& record : core_.eventQueue) {
      texts.emplace_back(static_cast<const char*>(record.data), record.length);
    }
    return texts;
  }

  DvrCore core_{"/nonexistent/bin/dvrcore"};
};

// --- Thresholds ------------------------------------------------------------

using LogThreshold = CoreFixture;

TEST_F(LogThreshold, QueryAnswersTheDefaultUntilAThresholdIsSet) {
  auto query = core::makeEvent(EventTypeLog, EventFlagQuery, 0x220000);
  EXPECT_EQ(core_.submitEvent(query), 25);
  core_.logLevels[0x22] = 60;
  EXPECT_EQ(core_.submitEvent(query), 60);
  core_.logLevels[0x22] = -1;
  EXPECT_EQ(core_.submitEvent(query), 25);
  EXPECT_EQ(core_.queuedEvents(), 0u);
}

TEST_F(LogThreshold, RecordsBelowTheSourcesThresholdAreDropped) {
  core_.consoleQuiet = true;
  auto below = logRecord(0x0a0000, 24, "too chatty");
  auto at = logRecord(0x0a0000, 25, "worth keeping");
  auto negative = logRecord(0x0a0000, -1, "never");
  EXPECT_EQ(core_.submitEvent(below), 0);
  EXPECT_EQ(core_.submitEvent(negative), 0);
  EXPECT_EQ(core_.submitEvent(at), 0);
  core_.logLevels[0x0a] = 100;
  auto warning = logRecord(0x0a0000, 99, "not fatal enough");
  EXPECT_EQ(core_.submitEvent(warning), 0);
  EXPECT_EQ(queuedTexts(), (std::vector<std::string>{"worth keeping"}));
}

TEST_F(LogThreshold, ModifiedTypeCountsAsLevelZero) {
  core_.consoleQuiet = true;
  auto record = logRecord(0x0a0000, 99, "modified");
  record.type = EventTypeLog | core::EventTypeModifier;
  EXPECT_EQ(core_.submitEvent(record), 0);
  EXPECT_TRUE(queuedTexts().empty());
  core_.logLevels[0x0a] = 0;
  EXPECT_EQ(core_.submitEvent(record), 0);
  EXPECT_EQ(queuedTexts(), (std::vector<std::string>{"modified"}));
}

TEST_F(LogThreshold, RecordOutsideTheLiveClassIsQueuedUnfiltered) {
  auto record = logRecord(0x0a0000, 0, "stored note");
  record.flags = EventFlagText;
  EXPECT_EQ(core_.submitEvent(record), 0);
  EXPECT_EQ(queuedTexts(), (std::vector<std::string>{"stored note"}));
}

TEST_F(LogThreshold, EmptyTextIsNeitherPrintedNorQueued) {
  EXPECT_EQ(core::submitLog(75, 0, "ignored"), 0);
  auto empty = logRecord(0x0a0000, 75, "", 0);
  EXPECT_EQ(core_.submitEvent(empty), 0);
  EXPECT_EQ(core_.queuedEvents(), 0u);
}

// --- Each source's budget ----------------------------------------------------

constexpr int64_t Second = 1'000'000'000;

TEST(LogBudget, BurstThenRateAndReportsAtOnceThenOnceAMinute) {
  core::LogBudget budget;
  int64_t now = 5 * Second;
  for (int64_t i = 0; i < core::LogRecordBurst; ++i) ASSERT_TRUE(budget.take(7, now)) << i;
  EXPECT_FALSE(budget.take(7, now));
  EXPECT_TRUE(budget.take(8, now)) << "each source has a budget of its own";
  // A tenth of a second refills a tenth of the rate.
  now += Second / 10;
  for (int64_t i = 0; i < core::LogRecordsPerSecond / 10; ++i) ASSERT_TRUE(budget.take(7, now)) << i;
  EXPECT_FALSE(budget.take(7, now));
  // The first refusals are told at once, later ones once a minute.
  EXPECT_EQ(budget.dueReports(now), (std::vector<std::pair<uint8_t, int64_t>>{{7, 2}}));
  EXPECT_FALSE(budget.take(7, now));
  EXPECT_TRUE(budget.dueReports(now + core::LogRefusalReportNanos - 1).empty());
  EXPECT_EQ(budget.dueReports(now + core::LogRefusalReportNanos),
            (std::vector<std::pair<uint8_t, int64_t>>{{7, 1}}));
  // An idle source gets its whole burst back, no more.
  now += 3600 * Second;
  for (int64_t i = 0; i < core::LogRecordBurst; ++i) ASSERT_TRUE(budget.take(7, now)) << i;
  EXPECT_FALSE(budget.take(7, now));
}

TEST_F(LogThreshold, FloodingPluginIsRefusedAndNamedButTheCoreAndOthersAreNot) {
  core_.consoleQuiet = true;
  core_.logTags[0x0a] = "chatty";
  core_.logNames[0x0a] = "Chatty";
  int refused = 0;
  for (int64_t i = 0; i < core::LogRecordBurst * 2; ++i) {
    auto record = logRecord(0x0a0000, 25, "flood");
    const int32_t result = core_.submitEvent(record);
    ASSERT_TRUE(result == 0 || result == 1) << result;
    refused += result;
  }
  EXPECT_GT(refused, 0);
  for (int i = 0; i < 100; ++i) {
    auto other = logRecord(0x0b0000, 25, "calm");
    EXPECT_EQ(core_.submitEvent(other), 0);
  }
  for (int64_t i = 0; i < core::LogRecordBurst * 2; ++i) {
    ASSERT_EQ(core::submitLog(50, 4, "core"), 0) << i;
  }
  const auto texts = queuedTexts();
  const auto named = std::count_if(texts.begin(), texts.end(), [](const std::string& text) {
    return text.find("log records from Chatty refused") != std::string::npos;
  });
  EXPECT_EQ(named, 1);
}

// --- The core's own log functions ------------------------------------------

struct CountsFormatting {
  static inline std::atomic<int> count{0};
};

}  // namespace
}  // namespace ko::test

template <>
struct fmt::formatter<ko::test::CountsFormatting> : fmt::formatter<std::string_view> {
  template <typename Context>
  auto format(const ko::test::CountsFormatting&, Context& context) const {
    ko::test::CountsFormatting::count.fetch_add(1);
    return fmt::formatter<std::string_view>::format("counted", context);
  }
};

namespace ko::test {
namespace {

using CoreLog = CoreFixture;

TEST_F(CoreLog, FormatsNothingWhenTheCoresThresholdDropsTheLevel) {
  core_.consoleQuiet = true;
  CountsFormatting::count = 0;
  core::coreLog(0, "diagnostic {}", CountsFormatting{});
  EXPECT_EQ(CountsFormatting::count.load(), 0);
  EXPECT_EQ(core_.queuedEvents(), 0u);
  core_.logLevels[0] = 0;
  core::coreLog(0, "diagnostic {}", CountsFormatting{});
  EXPECT_EQ(CountsFormatting::count.load(), 1);
  EXPECT_EQ(queuedTexts(), (std::vector<std::string>{"diagnostic counted"}));
}

TEST_F(CoreLog, GroupsDigitsWithTheProcessLocale) {
  if (std::use_facet<std::numpunct<char>>(core::groupingLocale()).grouping().empty()) {
    GTEST_SKIP() << "en_US.UTF-8 is not installed";
  }
  core_.consoleQuiet = true;
  core::coreLog(25, "refblks: {:L}({:L})", 1234567, int64_t{89});
  EXPECT_EQ(queuedTexts(), (std::vector<std::string>{"refblks: 1,234,567(89)"}));
}

TEST_F(CoreLog, LongMessageIsNotCutAndTheBufferIsReused) {
  core_.consoleQuiet = true;
  const std::string longText(5000, 'x');
  core::coreLog(25, "{}", longText);
  core::coreLog(25, "{}", std::string("short"));
  EXPECT_EQ(queuedTexts(), (std::vector<std::string>{longText, "short"}));
}

TEST_F(CoreLog, RecordCarriesTheCoresIdentityAndLevel) {
  core_.consoleQuiet = true;
  core::coreLog(75, "disk {} failed", 2);
  std::lock_guard lock(core_.queueLock);
  ASSERT_EQ(core_.eventQueue.size(), 1u);
  const auto& record = core_.eventQueue.front();
  EXPECT_EQ(record.source, CoreSourceId);
  EXPECT_EQ(record.type, EventTypeLog);
  EXPECT_EQ(record.flags, 0x1000002u);
  EXPECT_EQ(record.body.bodyParam, 75u);
  EXPECT_EQ(record.size, 224u);
  EXPECT_EQ(record.body.size, 168u);
}

// --- The console line ------------------------------------------------------

// Runs `body` on a fresh core in a child whose standard output is a file;
// returns the child's status and what it printed.
std::pair<int, std::string> printInChild(const std::function<int(DvrCore&)>& body) {
  TempDir tmp;
  const auto console = tmp.path() / "console.txt";
  const int status = runInChild([&] {
    const int fd = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || dup2(fd, 1) < 0) return 90;
    DvrCore core("/nonexistent/bin/dvrcore");
    core::coreInstance = &core;
    const int result = body(core);
    std::fflush(stdout);
    return result;
  });
  return {status, readFile(console)};
}

// Replaces the "HH:MM:SS.mmm" that follows `colour` by "T", after checking
// that it is a time stamp of now.
std::string maskTime(const std::string& line, const std::string& colour) {
  if (line.compare(0, colour.size(), colour) != 0 || line.size() < colour.size() + 12) return line;
  const std::string stamp = line.substr(colour.size(), 12);
  for (size_t i = 0; i < stamp.size(); ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(stamp[i])) != 0;
    const char separator = i == 2 || i == 5 ? ':' : i == 8 ? '.' : 0;
    if (separator != 0 ? stamp[i] != separator : !digit) return line;
  }
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const int stampSeconds = std::stoi(stamp.substr(0, 2)) * 3600 + std::stoi(stamp.substr(3, 2)) * 60 +
                           std::stoi(stamp.substr(6, 2));
  const int nowSeconds = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
  const int age = (nowSeconds - stampSeconds + 86400) % 86400;
  if (age > 60) return line;  // not a time stamp of this test
  return colour + "T" + line.substr(colour.size() + 12);
}

std::string expected(const char* colour, const std::string& tag, const std::string& text) {
  return std::string(colour) + "T\x1b[36m " + tag + "\x1b[0m " + text;
}

TEST(ConsoleLine, ColourFollowsTheLevelBandAndLevelsAbove100PrintAsFatal) {
  const std::vector<std::pair<int, const char*>> levels = {{0, Grey},  {24, Grey},  {25, Green},   {49, Green},
                                                           {50, Yellow}, {74, Yellow}, {75, Red},   {99, Red},
                                                           {100, Fatal}, {150, Fatal}};
  const auto [status, console] = printInChild([&](DvrCore& core) {
    core.logLevels[0] = 0;
    for (const auto& [level, colour] : levels) {
      const std::string text = "level " + std::to_string(level);
      core::submitLog(level, text.size(), text.data());
    }
    discardQueue(core);
    return 0;
  });
  ASSERT_EQ(status, 0);
  const auto lines = splitLines(console);
  ASSERT_EQ(lines.size(), levels.size());
  for (size_t i = 0; i < levels.size(); ++i) {
    const auto& [level, colour] = levels[i];
    EXPECT_EQ(maskTime(lines[i], colour), expected(colour, "core", "level " + std::to_string(level)));
  }
}

TEST(ConsoleLine, TagIsTheRegisteredStemOrTheIdentifierInHex) {
  const auto [status, console] = printInChild([](DvrCore& core) {
    core.logTags[0x11] = "camera";
    for (uint32_t source : {0x110000u, 0x0a0000u, CoreSourceId}) {
      auto record = logRecord(source, 25, "hello");
      core.submitEvent(record);
    }
    discardQueue(core);
    return 0;
  });
  ASSERT_EQ(status, 0);
  const auto lines = splitLines(console);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(maskTime(lines[0], Green), expected(Green, "camera", "hello"));
  EXPECT_EQ(maskTime(lines[1], Green), expected(Green, "PI0a", "hello"));
  EXPECT_EQ(maskTime(lines[2], Green), expected(Green, "core", "hello"));
}

TEST(ConsoleLine, TrailingLineEndsAndNulsAreStrippedButOtherSpaceKept) {
  const auto [status, console] = printInChild([](DvrCore& core) {
    const char endings[] = "done\r\n\0";
    const char spaces[] = "kept\t \n";
    const char nothing[] = "\r\n\0\n\r";
    for (auto [text, length] : {std::pair{endings, sizeof endings}, std::pair{spaces, sizeof spaces - 1},
                                std::pair{nothing, sizeof nothing - 1}}) {
      auto record = logRecord(CoreSourceId, 50, text, length);
      if (core.submitEvent(record) != 0) return 1;
    }
    // A record with nothing to print still passed the filter and is queued.
    const bool allQueued = core.queuedEvents() == 3;
    discardQueue(core);
    return allQueued ? 0 : 2;
  });
  ASSERT_EQ(status, 0);
  const auto lines = splitLines(console);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(maskTime(lines[0], Yellow), expected(Yellow, "core", "done"));
  EXPECT_EQ(maskTime(lines[1], Yellow), expected(Yellow, "core", "kept\t "));
}

TEST(ConsoleLine, QuietConsolePrintsNothingButRecordsStillQueue) {
  const auto [status, console] = printInChild([](DvrCore& core) {
    core.consoleQuiet = true;
    auto record = logRecord(0x0a0000, 75, "unseen");
    core.submitEvent(record);
    const bool queued = core.queuedEvents() == 1;
    discardQueue(core);
    return queued ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(console, "");
}

// Standard output that fails (a full device, or closed) loses console lines
// and nothing else: no exception, no lost record, the thread goes on.
TEST(ConsoleWriteFailure, LosesTheLineButKeepsTheRecord) {
  for (const bool closed : {false, true}) {
    const auto [status, console] = printInChild([closed](DvrCore& core) {
      if (closed) {
        close(1);
      } else {
        const int full = open("/dev/full", O_WRONLY);
        if (full < 0 || dup2(full, 1) < 0) return 91;
      }
      for (int i = 0; i < 200; ++i) {
        auto record = logRecord(0x0a0000, 50, "a line the console cannot take");
        if (core.submitEvent(record) != 0) return 1;
        core::coreLog(50, "core line {}", i);
      }
      const bool allQueued = core.queuedEvents() == 400;
      discardQueue(core);
      return allQueued ? 0 : 2;
    });
    EXPECT_EQ(status, 0) << (closed ? "closed" : "full");
  }
}

// A parent that never reads our stdout: logging never waits for it, lines
// beyond the console's buffer are dropped and counted, and once the console
// drains the count is told.
TEST(ConsoleWriteFailure, UnreadConsoleNeverBlocksAndTellsWhatItDropped) {
  const int status = runInChild(
      [] {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0 || dup2(ends[1], 1) < 0) return 90;
        DvrCore core("/nonexistent/bin/dvrcore");
        core::coreInstance = &core;
        const std::string text(100, 'l');
        constexpr int Lines = 10000;  // about 1.2 MiB of console text
        for (int i = 0; i < Lines; ++i) {
          auto record = logRecord(0x0a0000, 50, text.c_str());
          if (core.submitEvent(record) != 0) return 1;
        }
        if (core.queuedEvents() != Lines) return 2;
        if (core.console.droppedLines() == 0) return 3;
        // The parent starts reading.
        std::thread([fd = ends[0]] {
          char chunk[4096];
          while (read(fd, chunk, sizeof chunk) > 0) {
          }
        }).detach();
        const bool told = waitUntil([&] {
          std::lock_guard lock(core.queueLock);
          for (const auto& record : core.eventQueue) {
            const std::string line(static_cast<const char*>(record.data), record.length);
            if (line.find(" console lines dropped") != std::string::npos) return true;
          }
          return false;
        });
        discardQueue(core);
        return told ? 0 : 4;
      },
      std::chrono::seconds(60));
  EXPECT_EQ(status, 0);
}

// --- Several threads -------------------------------------------------------

TEST(LogConcurrency, LinesFromManyThreadsStayWholeWhileTagsAreAdded) {
  TempDir tmp;
  DvrCore core("/nonexistent/bin/dvrcore");
  core::coreInstance = &core;
  constexpr int Threads = 4;
  constexpr int Lines = 100;
  StdoutCapture console(tmp.path() / "console.txt");
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; ++t) {
    threads.emplace_back([&core, t] {
      const uint32_t source = static_cast<uint32_t>(0x40 + t) << 16;
      for (int i = 0; i < Lines; ++i) {
        auto record = logRecord(source, 25, "from a plugin thread");
        core.submitEvent(record);
      }
    });
  }
  // Tags appear while lines are printed, as plugins load.
  threads.emplace_back([&core] {
    for (int t = 0; t < Threads; ++t) {
      std::lock_guard lock(core.logLock);
      core.logTags[static_cast<uint32_t>(0x40 + t)] = "plugin" + std::to_string(t);
    }
  });
  for (auto& thread : threads) thread.join();
  const auto lines = splitLines(console.stop());
  discardQueue(core);
  core::coreInstance = nullptr;

  ASSERT_EQ(lines.size(), static_cast<size_t>(Threads * Lines));
  for (const auto& line : lines) {
    ASSERT_EQ(line.rfind(Green, 0), 0u) << line;
    ASSERT_NE(line.find("\x1b[0m from a plugin thread"), std::string::npos) << line;
    ASSERT_EQ(line.find("from a plugin thread"), line.rfind("from a plugin thread")) << line;
  }
}

}  // namespace
}  // namespace ko::test
