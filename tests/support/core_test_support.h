// Helpers shared by tests that drive a real DvrCore: a temporary directory,
// capture of the process's real standard output, deadline polls, forked
// children, and discarding what a test left in the event queue.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/dvr_core.h"

namespace ko::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/ko-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Redirects file descriptor 1 into a file until stop(); what the process
// wrote through stdio or write(1, ...) in between is returned.
class StdoutCapture {
 public:
  explicit StdoutCapture(std::filesystem::path file) : file_(std::move(file)) {
    std::fflush(stdout);
    saved_ = dup(1);
    const int fd = open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (saved_ < 0 || fd < 0 || dup2(fd, 1) < 0) throw std::runtime_error("cannot redirect stdout");
    close(fd);
  }
  ~StdoutCapture() { (void)stop(); }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string stop() {
    if (saved_ < 0) return text_;
    // The core writes its console from a thread of its own.
    if (core::coreInstance != nullptr) (void)core::coreInstance->flushConsole(std::chrono::seconds(10));
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    text_ = readFile(file_);
    return text_;
  }

 private:
  std::filesystem::path file_;
  int saved_ = -1;
  std::string text_;
};

// Polls `done` until it holds or `timeout` passes; the result of the last poll.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Runs `body` in a forked child and returns its exit status, or -1 when the
// child did not end normally within `timeout` (it is killed then). Call only
// while the test process has no other threads.
inline int runInChild(const std::function<int()>& body,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int status = 99;
    try {
      status = body();
    } catch (...) {
    }
    std::fflush(stdout);
    _exit(status);
  }
  int status = 0;
  const bool ended = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A record taken off the queue, with its own copy of the payload (the
// record's `data` no longer points anywhere once it has been taken).
struct TakenRecord {
  core::EventParms record;
  std::string payload;
};

// Takes every record out of the queue and releases the queue's reference, so
// nothing a test queued outlives it.
inline std::vector<TakenRecord> takeQueue(core::DvrCore& core) {
  decltype(core.eventQueue) queued;
  {
    std::lock_guard lock(core.queueLock);
    queued.swap(core.eventQueue);
  }
  std::vector<TakenRecord> taken;
  taken.reserve(queued.size());
  for (auto& record : queued) {
    TakenRecord copy{record, {}};
    if (record.data != nullptr) copy.payload.assign(static_cast<const char*>(record.data), record.length);
    taken.push_back(std::move(copy));
    core.releaseEventRef(record.data, 0);
  }
  return taken;
}

inline void discardQueue(core::DvrCore& core) { (void)takeQueue(core); }

}  // namespace ko::test
