// Runs a function in a forked child and returns the text it reports through
// a pipe; the wait is bounded. The child leaves with _exit, so nothing of the
// test framework runs twice.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace ko::core::testing {

inline std::optional<std::string> runInChild(const std::function<std::string()>& body,
                                             std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  int fds[2];
  if (::pipe(fds) != 0) return std::nullopt;
  const pid_t pid = ::fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    ::close(fds[0]);
    std::string text;
    try {
      text = body();
    } catch (...) {
      text = "child threw";
    }
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
      const ssize_t n = ::write(fds[1], p, left);
      if (n <= 0) break;
      p += n;
      left -= static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool complete = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd pfd{fds[0], POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[512];
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) {
      complete = n == 0;
      break;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  if (!complete) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!complete) return std::nullopt;
  return text;
}

}  // namespace ko::core::testing
