// The integration harness: plays the parent daemon for one real dvrcore
// process. It builds a fresh temporary tree (<tmp>/bin/dvrcore copied next to
// its plugins/ and protected-plugins/ folders, and <tmp>/work as the working
// directory), hands the core one end of a socketpair(AF_UNIX, SOCK_SEQPACKET),
// and lets a test send packets and signals, read the packets the core sends,
// and collect stdout, stderr and the exit status.
//
// Every wait takes a timeout. Two background threads drain the core's stdout
// and stderr into buffers so the core never blocks on a full pipe; everything
// else runs on the test's thread. One CoreProcess starts at most one core.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace ko::test {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// The built core, set by the harness's compile definition.
std::filesystem::path builtCorePath();
// The device key file compiled into that core.
std::filesystem::path deviceKeyPath();

enum class PluginFolder { Plugins, Protected };
enum class Stream { Stdout, Stderr, Any };

struct CoreOptions {
  // Arguments after the program name. "{fd}" anywhere in an argument is
  // replaced by the number of the core's end of the socketpair; an argument
  // list without "{fd}" starts the core without the channel (its end is then
  // not inherited at all).
  std::vector<std::string> args{"{fd}"};
  // The descriptor number the core's end gets in the child.
  int descriptorNumber = 3;
  // Give the core its end of the socketpair as standard input as well.
  bool descriptorOnStdin = false;
  // The identity the core runs with (real and effective). Unset = the test's.
  std::optional<uid_t> coreUid;
  std::optional<gid_t> coreGid;
  // When set, the core's parent is an intermediate process whose real user
  // id is this (its effective id stays the test's, so it can still start a
  // core as root). The core sees it through getppid().
  std::optional<uid_t> parentUid;
  // The core is started by a process that exits before the core runs, so it
  // is adopted by the harness's root subreaper (its parent once it starts);
  // combine with asUser for the starter's identity.
  bool orphaned = false;
  // The core starts under a seccomp filter that refuses capset with EPERM.
  bool refuseCapset = false;
  // ... or one that refuses clearing the secure bits, prctl(PR_SET_SECUREBITS, 0).
  bool refuseSecureBitsClear = false;
  // When set, the core runs in a private mount namespace in which this
  // directory is bound over the directory of its compiled-in device key
  // file (deviceKeyPath()), so a test provides the key, or its absence, of
  // its own core alone. Needs root.
  std::optional<std::filesystem::path> deviceKeyDir;

  // Chainable setters, e.g. CoreOptions().arguments({"-h"}).
  CoreOptions& arguments(std::vector<std::string> list) {
    args = std::move(list);
    return *this;
  }
  CoreOptions& descriptorAt(int number) {
    descriptorNumber = number;
    return *this;
  }
  CoreOptions& descriptorAlsoOnStdin() {
    descriptorOnStdin = true;
    return *this;
  }
  CoreOptions& asUser(uid_t uid, gid_t gid) {
    coreUid = uid;
    coreGid = gid;
    return *this;
  }
  CoreOptions& underParent(uid_t uid) {
    parentUid = uid;
    return *this;
  }
  CoreOptions& orphanedUnderRootSubreaper() {
    orphaned = true;
    return *this;
  }
  CoreOptions& refusingCapset() {
    refuseCapset = true;
    return *this;
  }
  CoreOptions& refusingSecureBitsClear() {
    refuseSecureBitsClear = true;
    return *this;
  }
  CoreOptions& withDeviceKeyDir(std::filesystem::path dir) {
    deviceKeyDir = std::move(dir);
    return *this;
  }
};

class CoreProcess {
 public:
  CoreProcess();
  ~CoreProcess();
  CoreProcess(const CoreProcess&) = delete;
  CoreProcess& operator=(const CoreProcess&) = delete;

  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path binDir() const { return root_ / "bin"; }
  std::filesystem::path workDir() const { return root_ / "work"; }
  std::filesystem::path folder(PluginFolder f) const;

  // Copies a plugin into plugins/ or protected-plugins/, under `name` or its
  // own file name.
  void installPlugin(const std::filesystem::path& source, PluginFolder folder = PluginFolder::Plugins,
                     const std::string& name = {});

  // Starts the core; fails the test (and returns false) when it cannot.
  bool start(const CoreOptions& options = {});
  pid_t pid() const { return corePid_; }
  bool running() const { return corePid_ > 0 && !exited_; }

  // The parent's end of the channel.
  int parentFd() const { return parentFd_; }
  bool sendPacket(const void* bytes, size_t length, Millis timeout = 2000ms);
  bool sendPacket(const std::vector<uint8_t>& bytes, Millis timeout = 2000ms) {
    return sendPacket(bytes.data(), bytes.size(), timeout);
  }
  // One record from the core; nothing on timeout or end of stream.
  std::optional<std::vector<uint8_t>> waitForPacket(Millis timeout);
  // True once the core's end is closed (end of stream seen), skipping any
  // packets still in flight.
  bool waitForChannelClosed(Millis timeout);
  void closeParentEnd();

  bool signal(int signo);
  // True once the core has installed its handlers for SIGINT, SIGTERM and
  // SIGQUIT (read from /proc). Under an emulator /proc shows the emulator's
  // handlers, so this holds from the start there: use waitUntilRunning.
  bool handlesStopSignals() const;
  // Waits for the statistics report the core logs as soon as its dispatch
  // loop runs (so its signal handling is in place) at the default log level.
  bool waitUntilRunning(Millis timeout = 10000ms);
  // One "Name:" line of /proc/<core>/status, without the name; empty when
  // the process or the line is gone.
  std::string procStatus(const std::string& name) const;

  // Waits until `needle` appears in the chosen stream(s).
  bool waitForOutput(std::string_view needle, Millis timeout, Stream stream = Stream::Any);
  std::string stdoutText() const;
  std::string stderrText() const;
  std::string allOutput() const { return stdoutText() + stderrText(); }

  // The raw wait status once the core has ended. On timeout the core is
  // killed with SIGKILL, the test fails and nothing is returned.
  // `whileWaiting`, when given, runs before every look at the process (for
  // example to keep signalling it); it never runs after the core is reaped.
  std::optional<int> waitForExit(Millis timeout, const std::function<void()>& whileWaiting = {});
  // waitForExit, expecting a normal exit with `code`.
  ::testing::AssertionResult exitsWith(int code, Millis timeout = 5000ms);

 private:
  struct OutputBuffer {
    std::string text;
    bool closed = false;
  };
  void readOutput(int fd, OutputBuffer& buffer);
  void reap(int status);

  std::filesystem::path root_;
  int parentFd_ = -1;
  pid_t childPid_ = -1;  // the process we wait for (the core, or its intermediate parent)
  pid_t corePid_ = -1;
  bool exited_ = false;
  int status_ = 0;

  mutable std::mutex outputLock_;
  std::condition_variable outputChanged_;
  OutputBuffer out_;
  OutputBuffer err_;
  std::thread outReader_;
  std::thread errReader_;
};

// Whether this system lets a process install a seccomp filter (emulators
// may not), which CoreOptions::refusingCapset and refusingSecureBitsClear
// need. The filter is installed before the core's identity is taken, so a
// harness running as root sets no no-new-privileges flag and set-user-ID
// and file capabilities still work.
bool seccompAvailable();

// Reads a whole file (empty when missing).
std::string readFile(const std::filesystem::path& path);

// Polls `predicate` until it holds or `timeout` passes; for state the test can
// only observe from outside (files, /proc).
template <typename Predicate>
bool eventually(Predicate predicate, Millis timeout = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
}

}  // namespace ko::test
