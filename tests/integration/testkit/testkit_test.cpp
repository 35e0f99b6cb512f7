// The kit's own promises: a leaked reference is named with its plugin and
// count whatever threshold the author's core.xml gives the core, the core's
// diagnostics the kit turns on stay out of what a test sees, and a missing
// core is reported as such.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ko/testkit/core.hpp"

namespace {

using namespace ko::testkit;
using ko::core::CoreSourceId;
using ko::core::EventTypeLog;

bool contains(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

TEST(Testkit, LeakedReferenceIsNamedWithItsCountWhateverTheAuthorsThreshold) {
  const std::string authorsOwn[] = {
      "",  // no core.xml of the author's: the default threshold
      "<?xml?><Kora><Memory Throttling=\"1\"/><Modules><Module>"
      "<Plugin ID=\"-2147483648\" LogLevel=\"75\"/><Plugin ID=\"2883584\" LogLevel=\"50\"/></Module></Modules></Kora>",
  };
  for (const auto& coreXml : authorsOwn) {
    SCOPED_TRACE(coreXml);
    Core core({.plugins = {KO_LEAKER_PLUGIN}, .coreXml = coreXml});
    EXPECT_EQ(core.identifier(), 0x2c);
    EXPECT_EQ(core.inject(alarm("<Alarm/>")), 0);
    EXPECT_EQ(core.inject(alarm("slow")), 0);
    // What the test injected is not reported back; the plugin's own copy of
    // it is.
    EXPECT_EQ(core.inject(alarm("echo")), 0);
    core.settle();
    const auto alarms = core.received(
        [](const Record& r) { return r.baseType() == ko::core::EventTypeAlarm && r.source() != CoreSourceId; });
    ASSERT_EQ(alarms.size(), 1u);
    EXPECT_EQ(alarms[0].identifier(), 0x2c);
    EXPECT_EQ(alarms[0].payload, "echo");
    const ExitReport& report = core.stop();
    EXPECT_EQ(report.exitCode, 0) << report;
    ASSERT_EQ(report.held.size(), 1u) << report;
    EXPECT_EQ(report.held[0].identifier, 0x2c);
    EXPECT_EQ(report.held[0].fileName, "Leaker.so");
    EXPECT_EQ(report.held[0].references, 1);
    EXPECT_TRUE(contains(report.problems(), "Leaker.so (plugin 2c) still held 1 event reference(s) at exit"))
        << report.problems();
    EXPECT_FALSE(report.clean());

    // The core's records as the author's threshold lets them through: the
    // slow-handler line (level 0) never, progress lines (25) only by default.
    const auto coreLogs = core.received([](const Record& r) {
      return r.baseType() == EventTypeLog && r.source() == CoreSourceId;
    });
    bool progress = false;
    for (const auto& line : coreLogs) {
      EXPECT_FALSE(contains(line.text(), "took")) << line.text();
      EXPECT_GE(line.level(), coreXml.empty() ? 25 : 75) << line.text();
      progress = progress || contains(line.text(), "Loaded plugin 2c:Leaker");
    }
    EXPECT_EQ(progress, coreXml.empty());
    // The console shows it: the kit did turn the diagnostics on.
    EXPECT_TRUE(contains(report.output, "Leaker took ")) << report.output;
  }
}

TEST(Testkit, MissingCoreOrPluginIsReportedClearly) {
  try {
    Core core({.plugins = {KO_LEAKER_PLUGIN}, .core = "/nonexistent/libexec/dvrcore/dvrcore"});
    FAIL() << "started without a core";
  } catch (const Error& error) {
    EXPECT_TRUE(contains(error.what(), "no dvrcore to run (looked for /nonexistent/libexec/dvrcore/dvrcore)"))
        << error.what();
    EXPECT_TRUE(contains(error.what(), "an SDK-only install has no core")) << error.what();
  }
  EXPECT_THROW(Core({.plugins = {"/nonexistent/Mine.so"}}), Error);

  // A file the core cannot load: the core ran, and the kit says what it said.
  const auto scratch = std::filesystem::temp_directory_path() / ("ko-testkit-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(scratch);
  const auto notAPlugin = scratch / "NotAPlugin.so";
  std::ofstream(notAPlugin) << "not an ELF object";
  try {
    Core core(notAPlugin);
    FAIL() << "started without the plugin";
  } catch (const Error& error) {
    EXPECT_TRUE(contains(error.what(), "the core did not load NotAPlugin.so")) << error.what();
    EXPECT_TRUE(contains(error.what(), "Failed to load plugin NotAPlugin.so")) << error.what();
  }
  std::filesystem::remove_all(scratch);
}

// What an author would call a failure fails: a plugin the core did not
// open fails the start with the reason, and a plugin left loaded, a crash, a
// refused release or (when the test says so) a slow call each make the
// report unclean with a line that names it.
TEST(Testkit, PluginTheCoreDidNotOpenFailsTheStartWithTheReason) {
  try {
    Core core(KO_FAULTY_NO_CLOSE_PLUGIN);
    FAIL() << "started a plugin that was never opened";
  } catch (const Error& error) {
    EXPECT_TRUE(contains(error.what(), "the core loaded NoClose.so but did not open it (OpenCode -102: Plugin "
                                       "50:NoClose is not opened: it does not export \"Close\""))
        << error.what();
  }
}

TEST(Testkit, FaultsTheCoreSurvivesOrDiesOfMakeTheReportUnclean) {
  struct Case {
    const char* plugin;
    const char* alarm;  // what makes it fail; null: nothing
    const char* problem;
  };
  const Case cases[] = {
      {KO_FAULTY_STUCK_WORKER_PLUGIN, nullptr,
       "left loaded: Plugin StuckWorker still running 3s after Close; left loaded"},
      {KO_FAULTY_CRASH_PLUGIN, "crash", "fatal signal: fatal signal SIGSEGV in dispatch: 52:Crash OnEvent"},
      {KO_FAULTY_BAD_RELEASE_PLUGIN, "release", "refused release: decref from 53 for a block it does not hold"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.plugin);
    Core core(c.plugin);
    if (c.alarm != nullptr) {
      try {
        (void)core.inject(alarm(c.alarm));
      } catch (const Error&) {
        // A core that crashes answers nothing more.
      }
    }
    const ExitReport& report = core.stop();
    EXPECT_FALSE(report.clean()) << report;
    EXPECT_TRUE(contains(report.problems(), c.problem)) << report.problems();
  }
}

TEST(Testkit, SlowCallsAreDataOverTheTestsThresholdAndProblemsWhenAsked) {
  {
    Core core(KO_LEAKER_PLUGIN);
    EXPECT_EQ(core.inject(alarm("slow")), 0);
    const auto calls = core.slowCalls();
    ASSERT_EQ(calls.size(), 1u) << core.output();
    EXPECT_EQ(calls[0].fileName, "Leaker.so");
    EXPECT_EQ(calls[0].identifier, 0x2c);
    EXPECT_EQ(calls[0].entryPoint, "OnEvent");
    EXPECT_EQ(calls[0].eventType, "alarm");
    EXPECT_GE(calls[0].duration, 20ms);
    const ExitReport& report = core.stop();
    EXPECT_EQ(report.slowCalls.size(), 1u);
    EXPECT_TRUE(report.clean()) << report;
  }
  {
    Options options;
    options.plugins = {KO_LEAKER_PLUGIN};
    options.slowCallsAreProblems = true;
    Core core(options);
    EXPECT_EQ(core.inject(alarm("slow")), 0);
    const ExitReport& report = core.stop();
    EXPECT_FALSE(report.clean());
    EXPECT_TRUE(contains(report.problems(), "Leaker.so (plugin 2c) took ")) << report.problems();
    EXPECT_TRUE(contains(report.problems(), " ms in OnEvent for an alarm event")) << report.problems();
  }
  {
    // 20 ms is not over a threshold of 1 s.
    Options options;
    options.plugins = {KO_LEAKER_PLUGIN};
    options.slowCall = 1s;
    options.slowCallsAreProblems = true;
    Core core(options);
    EXPECT_EQ(core.inject(alarm("slow")), 0);
    EXPECT_TRUE(core.slowCalls().empty());
    EXPECT_TRUE(core.stop().clean()) << core.stop();
  }
  Options tooFine;
  tooFine.plugins = {KO_LEAKER_PLUGIN};
  tooFine.slowCall = 1ms;
  EXPECT_THROW(Core core(tooFine), Error);
}

TEST(Testkit, WaitPredicatesMayAskTheKitAndRecordsCarryTheirArrival) {
  Core core(KO_LEAKER_PLUGIN);
  const auto before = Clock::now();
  EXPECT_EQ(core.inject(alarm("echo")), 0);
  // The predicate asks the kit itself, as a test counting records does.
  const auto waited = core.waitUntil(
      [&](const Record& r) {
        return r.payload == "echo" && core.received([](const Record& x) { return x.payload == "echo"; }).size() == 1;
      },
      Clock::now() + 10s);
  ASSERT_TRUE(waited);
  EXPECT_LE(waited.waited, 10s);
  EXPECT_GE(waited.record->arrived, before);
  EXPECT_LE(waited.record->arrived, Clock::now());
  // Nothing more comes: the deadline is kept, and said.
  const auto none = core.waitUntil([](const Record& r) { return r.payload == "never"; }, Clock::now() + 50ms);
  EXPECT_FALSE(none);
  EXPECT_GE(none.waited, 50ms);
  EXPECT_TRUE(core.stop().clean()) << core.stop();
}

}  // namespace
