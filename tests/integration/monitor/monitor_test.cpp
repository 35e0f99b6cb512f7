// The monitor in the real process: the memory limits at start and the first
// statistics report, read from the core's console.
#include <signal.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>

#include <regex>

#include "integration/harness/core_process.h"
#include "monitor/statistics.h"

namespace ko::test {
namespace {

// The limits as the machine gives them, formatted as the core shows them.
std::string expectedLimitsLine() {
  struct sysinfo info {};
  uint64_t limit = 199'229'440;
  if (sysinfo(&info) == 0) {
    const uint64_t ram = static_cast<uint64_t>(info.totalram) * info.mem_unit;
    if (ram >= 536'870'912) limit = ram / 100 * 80;
  }
  rlimit stack{};
  EXPECT_EQ(getrlimit(RLIMIT_STACK, &stack), 0);
  const int64_t stackLimit = stack.rlim_cur == RLIM_INFINITY ? -1 : static_cast<int64_t>(stack.rlim_cur);
  return "memory limits, throttling:" + core::formatSize(static_cast<int64_t>(limit)) +
         " stack:" + core::formatSize(stackLimit) + "\n";
}

TEST(MonitorRun, LogsLimitsAndFirstReportAtStart) {
  CoreProcess core;
  ASSERT_TRUE(core.start());
  EXPECT_TRUE(core.waitForOutput(" top: ", 10s, Stream::Stdout));
  // The report is written by the dispatch loop, so the stop signals are
  // caught by now.
  EXPECT_TRUE(core.signal(SIGINT));
  EXPECT_TRUE(core.exitsWith(0, 10s));
  const std::string out = core.stdoutText();

  const std::string limits = expectedLimitsLine();
  const auto at = out.find(limits);
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_EQ(out.find("memory limits", at + limits.size()), std::string::npos);

  // Nothing was sent over IPC and no search ran; the blocks still held are
  // the queue's own, so refblks and the core's holding agree, but for a log
  // record the io thread may be queueing meanwhile: its block is counted
  // before the queue's reference is, and the report reads the holdings first.
  static const std::regex report(
      "InQ:(\\d+) events:([01]) idle:([01])s throttled\\[v:0 a:0\\]\n"
      "ltm:[0-9,]+us ipc\\[r:0 p:0 d:0\\] srch\\[r:0 c:0 p:0 d:0\\] cDev:0\n"
      "memory\\[inuse:[^\\]]+\\] refblks:([0-9,]+)\\([^)]+\\) top: ?(.*)\n");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(out, match, report)) << out;
  EXPECT_EQ(std::stoi(match[2]) + std::stoi(match[3]), 1) << "one take or one idle second before the report";
  const int blocks = std::stoi(match[4]);
  const std::string top = match[5];
  if (top.empty()) {
    EXPECT_LE(blocks, 1) << match[0];
  } else {
    ASSERT_EQ(top.rfind("Core ", 0), 0u) << match[0];
    const int held = std::stoi(top.substr(5));
    EXPECT_TRUE(held == blocks || held + 1 == blocks) << match[0];
  }
  EXPECT_EQ(out.find("InQ:", static_cast<size_t>(match.position(0)) + 1), std::string::npos)
      << "only one report within the first minute";
}

}  // namespace
}  // namespace ko::test
