// The console's bounded buffer and its writer thread (see console_sink.h).
#include "log/console_sink.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <system_error>

#include "core/stop_signals.h"

namespace ko::core {

namespace {

// Without a wake-up descriptor the writer looks at its buffer this often.
constexpr int FallbackPollMillis = 50;

}  // namespace

ConsoleSink::ConsoleSink(std::function<void(uint64_t)> onDropped)
    : onDropped_(std::move(onDropped)), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ConsoleSink::~ConsoleSink() {
  (void)flush(ConsoleFinalFlush);
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  wake();
  // The writer never blocks in a write (it writes only what the console
  // polled ready for), so this join is prompt.
  if (writer_.joinable()) writer_.join();
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool ConsoleSink::append(std::string_view line) noexcept {
  {
    std::lock_guard guard(lock_);
    if (stopping_) return false;
    if (buffer_.size() + inFlight_ + line.size() > ConsoleBufferBytes) {
      ++dropped_;
      return false;
    }
    try {
      if (!started_ && !held_) {
        buffer_.reserve(ConsoleWriteChunk);
        writer_ = std::thread([this] { run(); });
        started_ = true;
      }
      if (started_) buffer_.append(line);
    } catch (const std::system_error&) {
      // No thread (a process at its thread limit): the line is written
      // here, as far as the console takes it without waiting.
    } catch (...) {
      // No memory: the line is lost like one the console refused.
      ++dropped_;
      return false;
    }
    if (!started_) {
      ++dropped_;  // taken back below if the console takes it all
    }
  }
  if (!writeNow(line)) return false;
  wake();
  return true;
}

void ConsoleSink::holdWriter() noexcept {
  std::lock_guard guard(lock_);
  held_ = true;
}

void ConsoleSink::releaseWriter() noexcept {
  std::lock_guard guard(lock_);
  held_ = false;
}

bool ConsoleSink::writeNow(std::string_view line) noexcept {
  {
    std::lock_guard guard(lock_);
    if (started_) return true;  // buffered for the writer
  }
  std::lock_guard direct(directLock_);
  size_t done = 0;
  while (done < line.size()) {
    pollfd ready{STDOUT_FILENO, POLLOUT, 0};
    if (::poll(&ready, 1, 0) != 1 || (ready.revents & POLLOUT) == 0) break;
    const ssize_t wrote =
        ::write(STDOUT_FILENO, line.data() + done, std::min(line.size() - done, ConsoleWriteChunk));
    if (wrote <= 0) break;
    done += static_cast<size_t>(wrote);
  }
  if (done < line.size()) return false;
  std::lock_guard guard(lock_);
  --dropped_;
  return true;
}

bool ConsoleSink::flush(std::chrono::milliseconds timeout) noexcept {
  std::unique_lock guard(lock_);
  if (!started_) return true;
  return drained_.wait_for(guard, timeout, [this] { return buffer_.empty() && inFlight_ == 0; });
}

uint64_t ConsoleSink::droppedLines() noexcept {
  std::lock_guard guard(lock_);
  return dropped_;
}

void ConsoleSink::wake() noexcept {
  if (wakeFd_ < 0) return;
  const uint64_t one = 1;
  // A full counter already wakes the writer; nothing else can fail here.
  (void)!::write(wakeFd_, &one, sizeof one);
}

void ConsoleSink::run() noexcept {
  holdStopSignals();
  pthread_setname_np(pthread_self(), "console");
  std::string taken;
  bool abandoned = false;  // the end came while the console took nothing
  for (;;) {
    uint64_t toTell = 0;
    {
      std::lock_guard guard(lock_);
      inFlight_ = 0;
      taken.clear();
      if (abandoned) buffer_.clear();
      if (buffer_.empty()) {
        // Drained: what was dropped meanwhile is told now, once.
        toTell = dropped_;
        dropped_ = 0;
        drained_.notify_all();
        if (stopping_) return;
      } else {
        // `taken` is ours to write unlocked; the buffer keeps its storage.
        const size_t n = std::min(buffer_.size(), ConsoleWriteChunk);
        taken.append(buffer_, 0, n);
        buffer_.erase(0, n);
        inFlight_ = n;
      }
    }
    if (toTell != 0) {
      if (onDropped_) onDropped_(toTell);
      continue;
    }
    if (taken.empty()) {
      pollfd wait{wakeFd_, POLLIN, 0};
      (void)::poll(&wait, wakeFd_ >= 0 ? 1 : 0, wakeFd_ >= 0 ? -1 : FallbackPollMillis);
      bool stop = false;
      {
        std::lock_guard guard(lock_);
        stop = stopping_;
      }
      // The end's wake-up stays readable for every later poll.
      uint64_t count = 0;
      if (!stop && wakeFd_ >= 0) (void)!::read(wakeFd_, &count, sizeof count);
      continue;
    }
    size_t done = 0;
    while (done < taken.size()) {
      pollfd fds[2] = {{STDOUT_FILENO, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
      const int ready = ::poll(fds, wakeFd_ >= 0 ? 2 : 1, wakeFd_ >= 0 ? -1 : FallbackPollMillis);
      if (ready < 0 && errno == EINTR) continue;
      if ((fds[0].revents & POLLOUT) != 0) {
        const ssize_t wrote = ::write(STDOUT_FILENO, taken.data() + done, taken.size() - done);
        if (wrote > 0) {
          done += static_cast<size_t>(wrote);
          continue;
        }
        if (wrote < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        // A failed console (closed, full device, reader gone) loses this
        // text and nothing else.
        break;
      }
      if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) break;
      bool stop = false;
      {
        std::lock_guard guard(lock_);
        stop = stopping_;
      }
      if (stop) {
        // The console took nothing until the end: what is left is given up.
        abandoned = true;
        break;
      }
      uint64_t count = 0;
      if (wakeFd_ >= 0 && (fds[1].revents & POLLIN) != 0) (void)!::read(wakeFd_, &count, sizeof count);
    }
  }
}

}  // namespace ko::core
