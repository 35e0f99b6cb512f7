// The stuck-call watch: a plugin call on the main (dispatch) thread or the io
// thread that has run for 10 s is reported while it lasts, and again every
// 60 s, by the other of the two threads; its return is reported once. While
// the core runs, the io thread's housekeeping tick watches the main thread
// and the dispatch loop's wake-up watches the io thread, so no thread is
// added for it. Once the loop has returned and the tick is cancelled, a
// StopCallWatch takes over both until the io thread has stopped, and the
// main thread until the logging plugin is closed: "Close", "Unload", the
// joins of lent threads and "OnIpcResult" during the stop.
//
// Threads: a StuckCallWatch is used by one watching thread at a time, under
// CallWatch::lock; the slot it reads belongs to the watched thread
// (plugins/plugin_call.h says how the two meet).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

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

// The two watched threads' slots, published by the threads themselves while
// they run, and each one's watch.
struct CallWatch {
  std::atomic<CallSlot*> mainSlot{nullptr};
  std::atomic<CallSlot*> ioSlot{nullptr};
  // Held for a look at either slot: a last housekeeping tick may still run
  // when the stop watch starts. Taken once a second at most by the dispatch
  // loop, so it is never contended there. A look may log, which after a stop
  // request calls the logging plugin under this lock; by then nothing but
  // that last tick can wait for it.
  std::mutex lock;
  StuckCallWatch mainWatch;  // guarded by lock
  StuckCallWatch ioWatch;    // guarded by lock
  int64_t lastIoCheck = 0;   // dispatch loop only

  // From the housekeeping tick.
  void checkMain() noexcept;
  // From every pass of the dispatch loop; looks at most once a second.
  void checkIo() noexcept;
  // From the stop watch: both slots.
  void checkBoth() noexcept;
};

// Watches both threads' calls from a thread of its own ("ko-watch") for as
// long as it exists; the core holds one from the end of the dispatch loop
// until the logging plugin, closed last, is closed. Without a thread (none
// could be started) the stop goes on unwatched.
//
// The watch's lines reach the logging plugin directly once a stop is under
// way, so the thread may be held in that plugin. It is waited for as long as
// a plugin's calls are after "Close", then left to it: the plugin counts as
// stuck (plugins/plugin.h), so the core, whose CallWatch the thread uses,
// is never destroyed under it. The state it shares with its owner is held by
// both.
class StopCallWatch {
 public:
  // Looks as often as the housekeeping tick does.
  static constexpr std::chrono::milliseconds Period{250};

  explicit StopCallWatch(CallWatch& watch) noexcept;
  ~StopCallWatch();
  StopCallWatch(const StopCallWatch&) = delete;
  StopCallWatch& operator=(const StopCallWatch&) = delete;

 private:
  struct State {
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;      // guarded by lock; set by the owner
    bool finished = false;  // guarded by lock; set by the thread
  };
  static void run(const std::shared_ptr<State>& state, CallWatch& watch) noexcept;

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace ko::core
