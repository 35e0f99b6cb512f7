// What the real core leaves behind when a plugin crashes or hangs it: the
// fatal-signal line on the console and in syslog with the process ended by
// the signal, and the stuck/returned lines of a call that does not return.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "support/dev_log.h"
#include "integration/harness/core_process.h"
#include "ipc/ipc_packet.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KO_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KO_SANITIZED 1
#endif
#endif

namespace ko::test {
namespace {

constexpr int CannotIsolate = 77;

struct CrashCase {
  const char* plugin;
  const char* line;
  int signo;
  // Packet command to send the plugin once it is open; 0 for none.
  uint8_t ipcTarget;
};


// Runs the core with the one plugin in a child of its own and writes what it
// saw into `results`: "status", "stdout", "syslog".
int crashInChild(const CrashCase& c, const std::filesystem::path& results) {
  const int fd = listenOnDevLog();
  if (fd < 0) return CannotIsolate;
  // No core file for the expected crash.
  rlimit noCore{0, 0};
  setrlimit(RLIMIT_CORE, &noCore);
  CoreProcess core;
  core.installPlugin(c.plugin);
  if (!core.start()) return 1;
  if (c.ipcTarget != 0) {
    // Packets reach a plugin only once it is in the plugin list.
    if (!core.waitForOutput("Opening ", 10s, Stream::Stdout)) return 2;
    core.sendPacket(core::buildIpcPacket(core::ipcTargetFor(c.ipcTarget), 100, 0));
  }
  const auto status = core.waitForExit(20s);
  if (!status) return 3;
  std::ofstream(results / "status") << *status;
  std::ofstream(results / "stdout") << core.stdoutText();
  // Only level-100 lines go to syslog; the fatal one is the last.
  std::string all;
  char datagram[1024];
  for (ssize_t n; (n = recv(fd, datagram, sizeof datagram, 0)) > 0;) {
    all.append(datagram, static_cast<size_t>(n)).append("\n");
    if (all.find("fatal signal") != std::string::npos) break;
  }
  std::ofstream(results / "syslog") << all;
  return 0;
}

class FatalSignal : public ::testing::TestWithParam<CrashCase> {};

TEST_P(FatalSignal, NamesThreadPluginAndEntryOnConsoleAndSyslogThenEndsBySignal) {
#ifdef KO_SANITIZED
  GTEST_SKIP() << "the sanitizers handle these signals themselves";
#endif
  const CrashCase& c = GetParam();
  CoreProcess scratch;  // only for its temporary directory
  const auto results = scratch.root();
  ::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(crashInChild(c, results));
  int status = 0;
  ASSERT_TRUE(eventually([&] { return waitpid(child, &status, WNOHANG) == child; }, 60s));
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == CannotIsolate) GTEST_SKIP() << "cannot make a private /dev/log";
  ASSERT_EQ(WEXITSTATUS(status), 0);

  const int coreStatus = std::stoi(readFile(results / "status"));
  const std::string out = readFile(results / "stdout");
  EXPECT_TRUE(WIFSIGNALED(coreStatus) && WTERMSIG(coreStatus) == c.signo) << coreStatus << "\n" << out;
  // The console line: colours, time, tag, then the text.
  EXPECT_NE(out.find(std::string(" core\x1b[0m ") + c.line + "\n"), std::string::npos) << out;
  // A backtrace follows it, walked through the signal frame into the
  // plugin's function that faulted.
  const std::string library = std::filesystem::path(c.plugin).filename().string() + "(";
  EXPECT_NE(out.find(library, out.find(c.line)), std::string::npos) << out;
  const std::string logged = readFile(results / "syslog");
  EXPECT_EQ(logged.rfind("<10>", 0), 0u) << logged;
  EXPECT_NE(logged.find(std::string("dvrcore: ") + c.line + "\n"), std::string::npos) << logged;
}

INSTANTIATE_TEST_SUITE_P(
    EachWay, FatalSignal,
    ::testing::Values(
        CrashCase{DIAG_NULL_WRITE_PATH, "fatal signal SIGSEGV in dispatch: 51:NullWriter OnEvent", SIGSEGV, 0},
        CrashCase{DIAG_ABORT_WORKER_PATH, "fatal signal SIGABRT in worker 52: 52:Aborter IOCTL", SIGABRT, 0},
        CrashCase{DIAG_OVERFLOW_IPC_PATH, "fatal signal SIGSEGV in io: 53:DeepRecursion OnIpcResult", SIGSEGV,
                  0x53}),
    [](const ::testing::TestParamInfo<CrashCase>& param) {
      const std::string path = param.param.plugin;
      const auto slash = path.rfind('/');
      return path.substr(slash + 1, path.rfind('.') - slash - 1);
    });

// A call that sleeps 12 s: the stuck line comes while it still runs (its
// marker file is not there yet), the returned line after it, and the core
// then stops as usual. The watch looks once a second or more often, so the
// first report says 10 s, or 11 s on a loaded machine.
void expectStuckThenReturned(CoreProcess& core, const std::string& stuck, const std::string& thread,
                             const std::string& returned, const char* marker) {
  ASSERT_TRUE(core.waitForOutput(stuck, 30s, Stream::Stdout)) << core.stdoutText();
  EXPECT_FALSE(std::filesystem::exists(core.workDir() / marker)) << "the line came after the call ended";
  ASSERT_TRUE(core.waitForOutput(returned, 30s, Stream::Stdout)) << core.stdoutText();
  const std::string out = core.stdoutText();
  const auto at = out.find(stuck);
  const std::string line = out.substr(at, out.find('\n', at) - at);
  EXPECT_TRUE(line == stuck + "10s on " + thread || line == stuck + "11s on " + thread) << line;
  EXPECT_LT(at, out.find(returned));
  EXPECT_EQ(out.find(stuck, at + 1), std::string::npos) << "reported once within the first minute";
  ASSERT_TRUE(core.signal(SIGTERM));
  EXPECT_TRUE(core.exitsWith(0, 10s));
}

TEST(StuckCall, EventHandlerOnDispatchThreadIsReportedWhileItLasts) {
  CoreProcess core;
  core.installPlugin(DIAG_SLEEP_EVENT_PATH);
  ASSERT_TRUE(core.start());
  expectStuckThenReturned(core, "SlowEvent stuck in OnEvent for ", "dispatch",
                          "SlowEvent returned from OnEvent after 12s\n", "54.returned");
}

TEST(StuckCall, IpcHandlerOnIoThreadIsReportedWhileItLasts) {
  CoreProcess core;
  core.installPlugin(DIAG_SLEEP_IPC_PATH);
  ASSERT_TRUE(core.start());
  // Only the dispatch loop watches the io thread, and opening the plugin
  // would wait for the call to end: the first statistics report says the
  // loop runs.
  ASSERT_TRUE(core.waitForOutput(" top: ", 10s, Stream::Stdout));
  ASSERT_TRUE(core.sendPacket(core::buildIpcPacket(core::ipcTargetFor(0x55), 100, 0)));
  expectStuckThenReturned(core, "SlowIpc stuck in OnIpcResult for ", "io",
                          "SlowIpc returned from OnIpcResult after 12s\n", "55.returned");
}

}  // namespace
}  // namespace ko::test
