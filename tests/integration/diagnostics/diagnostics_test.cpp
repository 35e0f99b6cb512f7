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

#include <atomic>
#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

#include "support/dev_log.h"
#include "integration/harness/core_process.h"
#include "core/fatal_signal.h"
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
  // "{tid}" stands for the number of a thread the plugin started itself.
  const char* line;
  int signo;
  // Packet command to send the plugin once it is open; 0 for none.
  uint8_t ipcTarget;
  // Stop the core once it runs (the crash comes while it stops).
  bool stop = false;
  // /dev/log is a stream socket.
  int logType = SOCK_DGRAM;
};

// Whether `text` holds `pattern`, with "{tid}" in it standing for a number.
bool holdsLine(const std::string& text, const std::string& pattern) {
  const auto hole = pattern.find("{tid}");
  if (hole == std::string::npos) return text.find(pattern) != std::string::npos;
  const std::string before = pattern.substr(0, hole);
  const std::string after = pattern.substr(hole + 5);
  for (auto at = text.find(before); at != std::string::npos; at = text.find(before, at + 1)) {
    auto digits = at + before.size();
    const auto first = digits;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    if (digits > first && text.compare(digits, after.size(), after) == 0) return true;
  }
  return false;
}

size_t countOf(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// Everything the core sent to /dev/log, once it has ended: the queued
// datagrams, or what came over the stream connections (each message ends
// with a NUL), one message a line.
std::string drainDevLog(int fd, int type) {
  std::string all;
  char buffer[1024];
  const auto append = [&](ssize_t n) {
    for (ssize_t i = 0; i < n; ++i) all.push_back(buffer[i] == '\0' ? '\n' : buffer[i]);
  };
  if (type == SOCK_DGRAM) {
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
      append(n);
      all.push_back('\n');
    }
    return all;
  }
  // The core has ended: every connection it made is queued by now.
  if (fcntl(fd, F_SETFL, O_NONBLOCK) != 0) return all;
  for (int connection; (connection = accept4(fd, nullptr, nullptr, 0)) >= 0;) {
    for (ssize_t n; (n = recv(connection, buffer, sizeof buffer, 0)) > 0;) append(n);
    close(connection);
  }
  return all;
}

// Runs the core with the one plugin in a child of its own and writes what it
// saw into `results`: "status", "stdout", "syslog".
int crashInChild(const CrashCase& c, const std::filesystem::path& results) {
  const int fd = listenOnDevLog(c.logType);
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
  if (c.stop && (!core.waitUntilRunning() || !core.signal(SIGTERM))) return 4;
  const auto status = core.waitForExit(20s);
  if (!status) return 3;
  std::ofstream(results / "status") << *status;
  std::ofstream(results / "stdout") << core.stdoutText();
  // Only level-100 lines go to syslog; the fatal one is the last.
  std::ofstream(results / "syslog") << drainDevLog(fd, c.logType);
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
  // The console line: colours, time, tag, then the text; one report only.
  EXPECT_TRUE(holdsLine(out, std::string(" core\x1b[0m ") + c.line + "\n")) << out;
  EXPECT_EQ(countOf(out, "fatal signal"), 1u) << out;
  // A backtrace follows it, its frames named without the loader, the
  // plugin's among them.
  const std::string file = std::filesystem::path(c.plugin).filename().string();
  EXPECT_NE(out.find(file + "(+0x", out.find("fatal signal")), std::string::npos) << out;
  const std::string logged = readFile(results / "syslog");
  EXPECT_EQ(logged.rfind("<10>", 0), 0u) << logged;
  EXPECT_TRUE(holdsLine(logged, std::string("dvrcore: ") + c.line + "\n")) << logged;
  EXPECT_EQ(countOf(logged, "fatal signal"), 1u) << logged;
}

INSTANTIATE_TEST_SUITE_P(
    EachWay, FatalSignal,
    ::testing::Values(
        CrashCase{DIAG_NULL_WRITE_PATH, "fatal signal SIGSEGV in dispatch: 51:NullWriter OnEvent", SIGSEGV, 0},
        CrashCase{DIAG_ABORT_WORKER_PATH, "fatal signal SIGABRT in worker 52: 52:Aborter IOCTL", SIGABRT, 0},
        CrashCase{DIAG_OVERFLOW_IPC_PATH, "fatal signal SIGSEGV in io: 53:DeepRecursion OnIpcResult", SIGSEGV,
                  0x53},
        // Threads the plugin started itself carry no call record: the code
        // that faulted names the plugin, or else the caller inside it.
        CrashCase{DIAG_THREAD_NULL_WRITE_PATH, "fatal signal SIGSEGV in thread {tid}: 57:OwnThread", SIGSEGV, 0},
        CrashCase{DIAG_THREAD_NULL_STRLEN_PATH, "fatal signal SIGSEGV in thread {tid}: 58:NullStrlen", SIGSEGV, 0,
                  false, SOCK_STREAM},
        CrashCase{DIAG_TWO_THREADS_PATH, "fatal signal SIGSEGV in thread {tid}: 59:Twins", SIGSEGV, 0},
        // The library's destructor runs after "Unload", while it is closed.
        CrashCase{DIAG_NULL_WRITE_AT_EXIT_PATH, "fatal signal SIGSEGV in main: 5a:BadDestructor", SIGSEGV, 0,
                  true}),
    [](const ::testing::TestParamInfo<CrashCase>& param) {
      const std::string path = param.param.plugin;
      const auto slash = path.rfind('/');
      return path.substr(slash + 1, path.rfind('.') - slash - 1);
    });

// The report itself in a child of the test: a process with the handler
// installed whose console is a pipe nobody reads.
class FatalReport : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef KO_SANITIZED
    GTEST_SKIP() << "the sanitizers handle these signals themselves";
#endif
  }

  // In the child: standard output becomes a full pipe whose reader never
  // reads; /dev/log a private socket, returned.
  static int stallConsole() {
    const int log = listenOnDevLog();
    if (log < 0) _exit(CannotIsolate);
    int ends[2];
    if (pipe(ends) != 0 || fcntl(ends[1], F_SETFL, O_NONBLOCK) != 0) _exit(10);
    char block[4096] = {};
    while (write(ends[1], block, sizeof block) > 0) {
    }
    if (fcntl(ends[1], F_SETFL, 0) != 0 || dup2(ends[1], STDOUT_FILENO) < 0) _exit(11);
    rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    core::installFatalSignalHandlers();
    return log;
  }

  // The child's end: its signal, or 0 when it did not end in time (it is
  // then killed), or -1 when it could not be set up.
  static int endingSignal(pid_t child, Millis within) {
    int status = 0;
    if (!eventually([&] { return waitpid(child, &status, WNOHANG) == child; }, within)) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      return 0;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == CannotIsolate) return -1;
    return WIFSIGNALED(status) ? WTERMSIG(status) : 100 + WEXITSTATUS(status);
  }
};

TEST_F(FatalReport, ConsolePipeNobodyReadsDoesNotKeepTheProcessAlive) {
  ::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    stallConsole();
    // Volatile pointee too: an optimised build drops a plain store here.
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
    _exit(12);
  }
  const int signo = endingSignal(child, 10s);
  if (signo < 0) GTEST_SKIP() << "cannot make a private /dev/log";
  EXPECT_EQ(signo, SIGSEGV);
}

// The first faulting thread is stopped inside its report for good (a handler
// of another signal that never returns): the second ends the process by its
// own signal after its bounded wait.
TEST_F(FatalReport, SecondFaultingThreadEndsTheProcessWhenTheFirstReportNeverEnds) {
  ::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int log = stallConsole();
    static std::atomic<bool> stalled{false};
    struct sigaction stall {};
    stall.sa_handler = [](int) {
      stalled.store(true);
      for (;;) pause();
    };
    sigemptyset(&stall.sa_mask);
    if (sigaction(SIGUSR1, &stall, nullptr) != 0) _exit(13);
    std::atomic<pid_t> first{0};
    std::thread([&] {
      first.store(gettid());
      volatile int* volatile nowhere = nullptr;
      *nowhere = 1;
    }).detach();
    // Its line reaches syslog before it turns to the stalled console.
    char line[512];
    if (recv(log, line, sizeof line, 0) <= 0) _exit(14);
    if (tgkill(getpid(), first.load(), SIGUSR1) != 0) _exit(15);
    for (int i = 0; i < 5000 && !stalled.load(); ++i) usleep(1000);
    if (!stalled.load()) _exit(16);
    raise(SIGFPE);
    _exit(17);
  }
  const int signo = endingSignal(child, 20s);
  if (signo < 0) GTEST_SKIP() << "cannot make a private /dev/log";
  EXPECT_EQ(signo, SIGFPE);
}

// A call that sleeps 12 s: the stuck line comes while it still runs (its
// marker file is not there yet), the returned line after it, and the core
// then stops as usual. The watch looks once a second or more often, so the
// first report says 10 s, or 11 s on a loaded machine.
void expectStuckThenReturned(CoreProcess& core, const std::string& stuck, const std::string& thread,
                             const std::string& returned, const char* marker, bool stopping = false) {
  ASSERT_TRUE(core.waitForOutput(stuck, 30s, Stream::Stdout)) << core.stdoutText();
  EXPECT_FALSE(std::filesystem::exists(core.workDir() / marker)) << "the line came after the call ended";
  ASSERT_TRUE(core.waitForOutput(returned, 30s, Stream::Stdout)) << core.stdoutText();
  const std::string out = core.stdoutText();
  const auto at = out.find(stuck);
  const std::string line = out.substr(at, out.find('\n', at) - at);
  EXPECT_TRUE(line == stuck + "10s on " + thread || line == stuck + "11s on " + thread) << line;
  EXPECT_LT(at, out.find(returned));
  EXPECT_EQ(out.find(stuck, at + 1), std::string::npos) << "reported once within the first minute";
  if (!stopping) {
    ASSERT_TRUE(core.signal(SIGTERM));
  }
  EXPECT_TRUE(core.exitsWith(0, 10s));
}

TEST(StuckCall, EventHandlerOnDispatchThreadIsReportedWhileItLasts) {
  CoreProcess core;
  // Called first with the same record, for 3 s: none of that is counted
  // against the call after it.
  core.installPlugin(DIAG_DAWDLE_EVENT_PATH);
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

// The watch runs through the stop request: a call under way when it comes
// is reported while it lasts, then its return, and the stop ends as usual.
TEST(StuckCall, EventHandlerRunningWhenTheStopComesIsStillReported) {
  CoreProcess core;
  core.installPlugin(DIAG_SLEEP_EVENT_PATH);
  ASSERT_TRUE(core.start());
  // Its first "OnEvent" (the configuration) follows its opening at once.
  ASSERT_TRUE(core.waitForOutput("Opening 54:SlowEvent", 10s, Stream::Stdout)) << core.stdoutText();
  ASSERT_TRUE(core.signal(SIGTERM));
  expectStuckThenReturned(core, "SlowEvent stuck in OnEvent for ", "dispatch",
                          "SlowEvent returned from OnEvent after 12s\n", "54.returned", true);
}

// Calls stuck on the dispatch and the io thread at once are both reported:
// neither thread watches the other.
TEST(StuckCall, StuckDispatchAndIoThreadsAreBothReported) {
  CoreProcess core;
  core.installPlugin(DIAG_SLEEP_EVENT_PATH);
  core.installPlugin(DIAG_SLEEP_IPC_PATH);
  ASSERT_TRUE(core.start());
  ASSERT_TRUE(core.waitForOutput(" top: ", 10s, Stream::Stdout));
  ASSERT_TRUE(core.sendPacket(core::buildIpcPacket(core::ipcTargetFor(0x55), 100, 0)));
  EXPECT_TRUE(core.waitForOutput("SlowEvent stuck in OnEvent for ", 13s, Stream::Stdout)) << core.stdoutText();
  EXPECT_TRUE(core.waitForOutput("SlowIpc stuck in OnIpcResult for ", 13s, Stream::Stdout)) << core.stdoutText();
  ASSERT_TRUE(core.waitForOutput("SlowIpc returned from OnIpcResult", 30s, Stream::Stdout)) << core.stdoutText();
  ASSERT_TRUE(core.signal(SIGTERM));
  EXPECT_TRUE(core.exitsWith(0, 10s));
}

// A core line raised while the logging plugin handles a record after the
// stop request never goes back into it on that thread: it is dropped and
// counted, and the stop ends.
TEST(LoggingPlugin, LineRaisedInsideItsCallAfterTheStopIsNotHandedBackToIt) {
  CoreProcess core;
  core.installPlugin(DIAG_BAD_RELEASE_LOG_PATH, PluginFolder::Plugins, "LogPI.so");
  ASSERT_TRUE(core.start());
  EXPECT_TRUE(core.exitsWith(0, 20s)) << core.stdoutText();
  EXPECT_TRUE(std::filesystem::exists(core.workDir() / "01.released")) << core.stdoutText();
  EXPECT_FALSE(std::filesystem::exists(core.workDir() / "01.reentered"));
  EXPECT_NE(core.stdoutText().find("log record(s) not handed to the logging plugin after the stop request"),
            std::string::npos)
      << core.stdoutText();
}

// Neither the dispatch loop nor the housekeeping tick runs once the stop has
// begun; the watch still sees a "Close" that does not return.
TEST(StuckCall, CloseDuringTheStopIsReportedWhileItLasts) {
  CoreProcess core;
  core.installPlugin(DIAG_SLEEP_CLOSE_PATH);
  ASSERT_TRUE(core.start());
  ASSERT_TRUE(core.waitUntilRunning());
  ASSERT_TRUE(core.signal(SIGTERM));
  expectStuckThenReturned(core, "Sloth stuck in Close for ", "main", "Sloth returned from Close after 12s\n",
                          "56.returned", true);
}

// The logging plugin (identifier 0x08) is closed last, after the io thread
// has stopped; the watch still sees its "Close".
TEST(StuckCall, LoggingPluginCloseAtTheEndOfTheStopIsReportedWhileItLasts) {
  CoreProcess core;
  core.installPlugin(DIAG_SLEEP_CLOSE_LOGGING_PATH, PluginFolder::Plugins, "LogPI.so");
  ASSERT_TRUE(core.start());
  ASSERT_TRUE(core.waitUntilRunning());
  ASSERT_TRUE(core.signal(SIGTERM));
  expectStuckThenReturned(core, "LogPI stuck in Close for ", "main", "LogPI returned from Close after 12s\n",
                          "08.returned", true);
}

// The watch's own stuck line holds the thread that hands it to the logging
// plugin for good: the stop waits for it no longer than for a stuck call (the
// logging plugin's unloading waits as long), and the process still ends
// cleanly.
TEST(StuckCall, WatchHeldInTheLoggingPluginDoesNotHoldTheStop) {
  CoreProcess core;
  core.installPlugin(DIAG_SLEEP_CLOSE_PATH);
  core.installPlugin(DIAG_STALL_LOG_PATH, PluginFolder::Plugins, "LogPI.so");
  ASSERT_TRUE(core.start());
  ASSERT_TRUE(core.waitUntilRunning());
  ASSERT_TRUE(core.signal(SIGTERM));
  // Its return goes unreported: the watch has not finished the report.
  ASSERT_TRUE(core.waitForOutput("Unloading 56:Sloth\n", 30s, Stream::Stdout)) << core.stdoutText();
  // The logging plugin sleeps 48 s more.
  EXPECT_TRUE(core.exitsWith(0, 30s)) << core.stdoutText();
  EXPECT_NE(core.stdoutText().find("Plugin LogPI still running 3s after Close; left loaded"), std::string::npos)
      << core.stdoutText();
}

// The core's own threads carry the names the reports use; the main thread
// keeps the program's.
TEST(ThreadNames, IoThreadIsNamedAndMainKeepsTheProgramName) {
  CoreProcess core;
  ASSERT_TRUE(core.start());
  ASSERT_TRUE(core.waitUntilRunning());
  std::map<std::string, int> names;
  const auto tasks = std::filesystem::path("/proc") / std::to_string(core.pid()) / "task";
  for (const auto& task : std::filesystem::directory_iterator(tasks)) ++names[readFile(task.path() / "comm")];
  EXPECT_EQ(readFile(tasks / std::to_string(core.pid()) / "comm"), "dvrcore\n");
  EXPECT_EQ(names["ko-io\n"], 1);
  ASSERT_TRUE(core.signal(SIGTERM));
  EXPECT_TRUE(core.exitsWith(0, 10s));
}

}  // namespace
}  // namespace ko::test
