// The stuck-call watch: a plugin call on the main (dispatch) thread or the io
// thread that has run for 10 s is reported while it lasts, and again every
// 60 s, by the other of the two threads; its return is reported once. The
// io thread's housekeeping tick watches the main thread, the dispatch loop's
// wake-up watches the io thread, so no thread is added for it.
//
// Threads: a StuckCallWatch belongs to its watching thread; the slot it reads
// belongs to the watched thread (plugins/plugin_call.h says how the two
// meet).
#pragma once

#include <atomic>
#include <cstdint>

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
  StuckCallWatch mainWatch;  // io thread only
  StuckCallWatch ioWatch;    // dispatch loop only
  int64_t lastIoCheck = 0;   // dispatch loop only

  // From the housekeeping tick.
  void checkMain() noexcept;
  // From every pass of the dispatch loop; looks at most once a second.
  void checkIo() noexcept;
};

}  // namespace ko::core
