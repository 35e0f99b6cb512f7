// The entry point and the run sequence against the real process: command-line
// scanning, and the three stop signals.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "integration/harness/core_process.h"
#include "ipc/ipc_packet.h"

namespace ko::test {
namespace {

class CommandLine : public ::testing::Test {
 protected:
  CoreProcess core;
};

TEST_F(CommandLine, HelpPrintsVersionAndUsageToStderrAndExitsZero) {
  ASSERT_TRUE(core.start(CoreOptions().arguments({"-h"})));
  EXPECT_TRUE(core.exitsWith(0));
  const std::string program = (core.binDir() / "dvrcore").string();
  EXPECT_TRUE(core.waitForOutput("<pipe>\n", 2s, Stream::Stderr));
  EXPECT_EQ(core.stderrText(), "core version 26.2.3.0\nUsage: " + program + " <pipe>\n");
  EXPECT_EQ(core.stdoutText(), "");
}

TEST_F(CommandLine, UnknownOptionBeforeHelpIsSkipped) {
  ASSERT_TRUE(core.start(CoreOptions().arguments({"-x", "-h", "5"})));
  EXPECT_TRUE(core.exitsWith(0));
  EXPECT_TRUE(core.waitForOutput("core version 26.2.3.0\nUsage: ", 2s, Stream::Stderr));
}

TEST_F(CommandLine, HelpAfterDescriptorDoesNotPrintUsage) {
  // The descriptor argument ends the scan: the core runs on descriptor 5.
  ASSERT_TRUE(core.start(CoreOptions().arguments({"{fd}", "-h"}).descriptorAt(5)));
  ASSERT_TRUE(core.sendPacket(core::buildIpcPacket(0, core::IpcCommandStop, 0)));
  EXPECT_TRUE(core.exitsWith(0));
  EXPECT_EQ(core.stderrText().find("Usage:"), std::string::npos);
}

TEST_F(CommandLine, NonNumericDescriptorMeansDescriptorZero) {
  // The stop command only arrives if the core listens on its standard input.
  ASSERT_TRUE(core.start(CoreOptions().arguments({"abc"}).descriptorAlsoOnStdin()));
  ASSERT_TRUE(core.sendPacket(core::buildIpcPacket(0, core::IpcCommandStop, 0)));
  EXPECT_TRUE(core.exitsWith(0));
}

class StopSignal : public ::testing::TestWithParam<int> {
 protected:
  CoreProcess core;
};

TEST_P(StopSignal, StopsRunningCoreWithExitZero) {
  ASSERT_TRUE(core.start());
  ASSERT_TRUE(core.waitUntilRunning()) << core.allOutput();
  ASSERT_TRUE(core.signal(GetParam()));
  EXPECT_TRUE(core.exitsWith(0, 2s));
}

INSTANTIATE_TEST_SUITE_P(EachStopSignal, StopSignal, ::testing::Values(SIGINT, SIGTERM, SIGQUIT),
                         [](const ::testing::TestParamInfo<int>& param) { return std::string(sigabbrev_np(param.param)); });

class RepeatedStop : public ::testing::Test {
 protected:
  CoreProcess core;
};

TEST_F(RepeatedStop, SignalThenDisconnectActsAsOneStop) {
  ASSERT_TRUE(core.start());
  ASSERT_TRUE(core.waitUntilRunning()) << core.allOutput();
  ASSERT_TRUE(core.signal(SIGTERM));
  core.closeParentEnd();
  EXPECT_TRUE(core.exitsWith(0, 2s));
}

TEST_F(RepeatedStop, SignalsDuringShutdownDoNotKillTheCore) {
  // A parent that keeps signalling while the core shuts down must still see
  // a clean exit, even once the core's signal handling has been torn down.
  ASSERT_TRUE(core.start());
  ASSERT_TRUE(core.waitUntilRunning()) << core.allOutput();
  const auto status = core.waitForExit(5s, [&] { ::kill(core.pid(), SIGINT); });
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
  EXPECT_EQ(WEXITSTATUS(*status), 0);
}

// Whether the process has a handler installed for `signo` (from SigCgt).
bool catches(pid_t pid, int signo) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) return ((std::stoull(line.substr(7), nullptr, 16) >> (signo - 1)) & 1) != 0;
  }
  return false;
}

TEST(ConsoleGone, StdoutWithNoReaderLosesLinesNotTheCore) {
  // A parent that stops reading the core's output must not kill it: console
  // lines are lost, the core runs on and stops cleanly.
  int pipeEnds[2];
  ASSERT_EQ(::pipe(pipeEnds), 0);
  const std::string core = builtCorePath().string();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(pipeEnds[1], STDOUT_FILENO);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    ::execl(core.c_str(), core.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pipeEnds[1]);
  // The reader goes once the core runs (its first statistics line is out);
  // every line after that, the shutdown's among them, meets a closed pipe.
  std::string seen;
  const bool running = eventually([&] {
    pollfd readable{pipeEnds[0], POLLIN, 0};
    char chunk[4096];
    if (::poll(&readable, 1, 50) == 1) {
      const ssize_t n = ::read(pipeEnds[0], chunk, sizeof chunk);
      if (n > 0) seen.append(chunk, static_cast<size_t>(n));
    }
    return seen.find("InQ:") != std::string::npos;
  }, 10s);
  ::close(pipeEnds[0]);
  if (!running) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  ASSERT_TRUE(running) << seen;
  ASSERT_TRUE(catches(pid, SIGTERM));
  // Caught, not ignored: an ignored SIGPIPE would stay ignored in every
  // program a plugin starts.
  EXPECT_TRUE(catches(pid, SIGPIPE));
  ASSERT_EQ(::kill(pid, SIGTERM), 0);  // its shutdown writes lines too
  int status = 0;
  ASSERT_TRUE(eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }));
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace ko::test
