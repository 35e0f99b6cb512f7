// The stuck-call watch: a plugin call that has run for 10 s is reported while
// it lasts, and again every 60 s; its return is reported once. One thread of
// the core's own ("ko-watch") looks at every thread that calls into plugins
// (main, io, search threads, the logging plugin's courier) four times a
// second, from before the first "Load" until the last plugin is unloaded, so
// neither a phase of the run nor a thread goes unwatched. The same thread
// runs housekeeping (memory, throttle, clocks): it never calls a plugin, so
// no plugin can hold either.
//
// Threads: a watched thread adds its own slot (watch) and takes it out again
// (unwatch) before it can exit; both hold `lock_`, which the watch thread
// holds for each look, so the watch never reads the slot of a thread that is
// gone. The slot's fields are read as plugins/plugin_call.h describes.
// Lock order: lock_ -> whatever logging takes (the queue, the console). The
// watch's lines after a stop request go to the logging plugin through the
// courier (plugins/log_courier.h), never from this thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "plugins/plugin_call.h"

namespace ko::core {

class StuckCallWatch {
 public:
  static constexpr int64_t FirstReport = 10'000'000'000;
  static constexpr int64_t RepeatEvery = 60'000'000'000;

  // Looks at the call `slot`'s thread is in at `now` (callClockNanos) and
  // logs what is due.
  void check(CallSlot& slot, int64_t now) noexcept;

 private:
  int64_t reportedStart_ = 0;  // the call reported as stuck; 0 for none
  const char* reportedName_ = nullptr;
  PluginEntry reportedEntry_ = PluginEntry::None;
  int64_t nextReport_ = 0;
};

class CallWatch {
 public:
  // How often the watch thread looks (and housekeeping ticks).
  static constexpr std::chrono::milliseconds Period{250};

  CallWatch() = default;
  ~CallWatch() { stop(); }
  CallWatch(const CallWatch&) = delete;
  CallWatch& operator=(const CallWatch&) = delete;

  // Adds the slot of the calling thread's calls; a thread watched that way
  // calls unwatch before it exits. Without memory for one more entry the
  // thread goes unwatched (a level-50 line says so).
  void watch(CallSlot& slot) noexcept;
  void unwatch(CallSlot& slot) noexcept;
  // One look at every watched thread at `now` (callClockNanos).
  void check(int64_t now) noexcept;
  size_t watchedThreads() noexcept;

  // Starts the watch thread, which calls `tick` and then looks, once every
  // Period, until stop. Without a thread (none could be started) the core
  // runs unwatched, as a level-75 line says.
  void start(std::function<void()> tick) noexcept;
  // Ends and joins the thread: it never calls a plugin, so it cannot be held
  // for long.
  void stop() noexcept;

 private:
  struct Watched {
    CallSlot* slot;
    StuckCallWatch watch;
  };
  void run() noexcept;

  std::mutex lock_;
  std::vector<Watched> watched_;  // guarded by lock_; one entry per live watched thread

  std::mutex runLock_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by runLock_
  std::function<void()> tick_;
  std::thread thread_;  // started and joined by the core's main thread
};

// Watches the calling thread for as long as it lives.
class WatchedThread {
 public:
  explicit WatchedThread(CallWatch& watch) noexcept : watch_(watch) { watch_.watch(threadCallSlot()); }
  ~WatchedThread() { watch_.unwatch(threadCallSlot()); }
  WatchedThread(const WatchedThread&) = delete;
  WatchedThread& operator=(const WatchedThread&) = delete;

 private:
  CallWatch& watch_;
};

}  // namespace ko::core
