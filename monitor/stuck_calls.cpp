// The stuck-call watch; see stuck_calls.h.
#include "monitor/stuck_calls.h"

#include <pthread.h>

#include <exception>

#include "log/core_log.h"
#include "plugins/plugin.h"

namespace ko::core {

namespace {

constexpr int64_t NanosPerSecond = 1'000'000'000;

struct CallView {
  const char* name;
  PluginEntry entry;
  int64_t start;
  ThreadRole role;
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
  std::atomic_thread_fence(std::memory_order_acquire);
  return slot.changes.load(std::memory_order_relaxed) == before;
}

const char* threadName(ThreadRole role) noexcept {
  switch (role) {
    case ThreadRole::Dispatch: return "dispatch";
    case ThreadRole::Io: return "io";
    case ThreadRole::Main: return "main";
    default: return "thread";
  }
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
          threadName(call.role));
  // Published after the line, so a "returned" line never comes first.
  slot.stuckStart.store(call.start, std::memory_order_release);
}

void CallWatch::checkMain() noexcept {
  CallSlot* slot = mainSlot.load(std::memory_order_acquire);
  if (slot == nullptr) return;
  std::lock_guard guard(lock);
  mainWatch.check(*slot, callClockNanos());
}

void CallWatch::checkIo() noexcept {
  CallSlot* slot = ioSlot.load(std::memory_order_acquire);
  if (slot == nullptr) return;
  const int64_t now = callClockNanos();
  if (now - lastIoCheck < NanosPerSecond) return;
  lastIoCheck = now;
  std::lock_guard guard(lock);
  ioWatch.check(*slot, now);
}

void CallWatch::checkBoth() noexcept {
  CallSlot* main = mainSlot.load(std::memory_order_acquire);
  CallSlot* io = ioSlot.load(std::memory_order_acquire);
  std::lock_guard guard(lock);
  const int64_t now = callClockNanos();
  if (main != nullptr) mainWatch.check(*main, now);
  if (io != nullptr) ioWatch.check(*io, now);
}

StopCallWatch::StopCallWatch(CallWatch& watch) noexcept {
  try {
    state_ = std::make_shared<State>();
    thread_ = std::thread([state = state_, &watch] { run(state, watch); });
  } catch (const std::exception& error) {
    coreLog(50, "cannot start the stop watch: {}", error.what());
  }
}

StopCallWatch::~StopCallWatch() {
  if (!thread_.joinable()) return;
  std::unique_lock guard(state_->lock);
  state_->done = true;
  state_->changed.notify_all();
  const bool finished = state_->changed.wait_for(guard, StuckCallGrace, [this] { return state_->finished; });
  guard.unlock();
  if (finished) {
    thread_.join();
  } else {
    thread_.detach();
    stuckPlugins.fetch_add(1);
  }
}

void StopCallWatch::run(const std::shared_ptr<State>& state, CallWatch& watch) noexcept {
  (void)pthread_setname_np(pthread_self(), "ko-watch");
  std::unique_lock guard(state->lock);
  while (!state->changed.wait_for(guard, Period, [&] { return state->done; })) {
    // Not under the state's lock: a look may log, and logging may take a
    // while.
    guard.unlock();
    watch.checkBoth();
    guard.lock();
  }
  state->finished = true;
  state->changed.notify_all();
}

}  // namespace ko::core
