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

}  // namespace
