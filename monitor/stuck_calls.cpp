// The stuck-call watch and its thread; see stuck_calls.h.
#include "monitor/stuck_calls.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "core/stop_signals.h"
#include "log/core_log.h"

namespace ko::core {

namespace {

constexpr int64_t NanosPerSecond = 1'000'000'000;

struct CallView {
  const char* name;
  PluginEntry entry;
  int64_t start;
  ThreadRole role;
  uint8_t roleId;
};

// One consistent reading of the slot's call; false while its thread is
// rewriting it.
bool readCall(const CallSlot& slot, CallView& view) noexcept {
  const uint64_t before = slot.changes.load(std::memory_order_acquire);
  if ((before & 1) != 0) return false;
  view.name = slot.name.load(std::memory_order_relaxed);
  view.entry = slot.entry.load(std::memory_order_relaxed);
  view.start = slot.start.load(std::memory_order_relaxed);
  view.role = slot.role.load(std::memory_order_relaxed);
  view.roleId = slot.roleId.load(std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_acquire);
  return slot.changes.load(std::memory_order_relaxed) == before;
}

// The thread as the guide names it: "dispatch", "search 21", ...
struct ThreadLabel {
  char text[16];
};
ThreadLabel threadLabel(ThreadRole role, uint8_t id) noexcept {
  ThreadLabel label{};
  const char* fixed = nullptr;
  const char* withId = nullptr;
  switch (role) {
    case ThreadRole::Dispatch: fixed = "dispatch"; break;
    case ThreadRole::Io: fixed = "io"; break;
    case ThreadRole::Main: fixed = "main"; break;
    case ThreadRole::Log: fixed = "log"; break;
    case ThreadRole::Worker: withId = "worker"; break;
    case ThreadRole::Reader: withId = "reader"; break;
    case ThreadRole::Search: withId = "search"; break;
    default: fixed = "thread"; break;
  }
  if (fixed != nullptr) {
    (void)std::snprintf(label.text, sizeof label.text, "%s", fixed);
  } else {
    (void)std::snprintf(label.text, sizeof label.text, "%s %02x", withId, static_cast<unsigned>(id));
  }
  return label;
}

}  // namespace

void StuckCallWatch::check(CallSlot& slot, int64_t now) noexcept {
  CallView call{};
  if (!readCall(slot, call)) return;
  if (reportedStart_ != 0 && (call.name == nullptr || call.start != reportedStart_)) {
    // The reported call has ended. Its own thread normally writes the
    // "returned" line; this covers a return that came before it saw the
    // report.
    int64_t expected = reportedStart_;
    if (slot.stuckStart.compare_exchange_strong(expected, 0)) {
      coreLog(25, "{} returned from {} after {}s", reportedName_, entryName(reportedEntry_),
              roundedSeconds(now - reportedStart_));
    }
    reportedStart_ = 0;
  }
  if (call.name == nullptr) return;
  const int64_t running = now - call.start;
  if (call.start == reportedStart_) {
    if (now < nextReport_) return;
    nextReport_ += RepeatEvery;
  } else {
    if (running < FirstReport) return;
    reportedStart_ = call.start;
    reportedName_ = call.name;
    reportedEntry_ = call.entry;
    nextReport_ = call.start + FirstReport + RepeatEvery;
  }
  alertLog(75, "{} stuck in {} for {}s on {}", call.name, entryName(call.entry), running / NanosPerSecond,
           threadLabel(call.role, call.roleId).text);
  // Published after the line, so a "returned" line never comes first.
  slot.stuckStart.store(call.start, std::memory_order_release);
}

void CallWatch::watch(CallSlot& slot) noexcept {
  try {
    std::lock_guard guard(lock_);
    watched_.push_back(Watched{&slot, {}});
  } catch (const std::exception& error) {
    coreLog(50, "cannot watch a thread's plugin calls: {}", error.what());
  }
}

void CallWatch::unwatch(CallSlot& slot) noexcept {
  std::lock_guard guard(lock_);
  // Order does not matter; the last entry takes the place of the one going.
  const auto it = std::find_if(watched_.begin(), watched_.end(), [&](const Watched& w) { return w.slot == &slot; });
  if (it == watched_.end()) return;
  if (it != watched_.end() - 1) *it = watched_.back();
  watched_.pop_back();
}

void CallWatch::check(int64_t now) noexcept {
  // Held across the look, which may log: a thread going waits until the
  // watch no longer reads its slot. Logging from here never calls a plugin.
  std::lock_guard guard(lock_);
  for (auto& entry : watched_) entry.watch.check(*entry.slot, now);
}

size_t CallWatch::watchedThreads() noexcept {
  std::lock_guard guard(lock_);
  return watched_.size();
}

void CallWatch::start(std::function<void()> tick) noexcept {
  if (thread_.joinable()) return;
  try {
    tick_ = std::move(tick);
    {
      std::lock_guard guard(runLock_);
      stopping_ = false;
    }
    thread_ = std::thread([this] { run(); });
  } catch (const std::exception& error) {
    coreLog(75, "cannot start the watch: {}", error.what());
  }
}

void CallWatch::stop() noexcept {
  if (!thread_.joinable()) return;
  {
    std::lock_guard guard(runLock_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void CallWatch::run() noexcept {
  holdStopSignals();
  (void)pthread_setname_np(pthread_self(), "ko-watch");
  // Its log lines after a stop request go to the logging plugin by way of
  // the courier, not from here.
  pluginCallsBarred = true;
  // The first tick comes at once (it logs the memory limits), then one every
  // Period.
  std::unique_lock guard(runLock_);
  do {
    // Not under runLock_: a look may log, and logging may take a while.
    guard.unlock();
    watchLooks.fetch_add(1, std::memory_order_relaxed);
    try {
      if (tick_) tick_();
    } catch (const std::exception&) {
      // Out of memory while publishing a state: the next tick tries again.
    }
    check(callClockNanos());
    guard.lock();
  } while (!wake_.wait_for(guard, Period, [&] { return stopping_; }));
}

}  // namespace ko::core
