// The logging plugin's courier; see log_courier.h.
#include "plugins/log_courier.h"

#include <exception>

#include "core/dvr_core.h"
#include "monitor/counters.h"
#include "plugins/plugin.h"

namespace ko::core {

LogCourier::~LogCourier() { finish(); }

void LogCourier::post(DvrCore& core, const EventParms& record) noexcept {
  try {
    // Taken first, so that no thread starts once finish has begun.
    std::lock_guard threadGuard(threadLock_);
    {
      std::lock_guard guard(state_->lock);
      if (state_->finishing || state_->records.size() >= Capacity) {
        counters.logRecordsDropped.fetch_add(1, std::memory_order_relaxed);
        return;
      }
      Waiting waiting{record, {}};
      if (record.data != nullptr) waiting.text.assign(static_cast<const char*>(record.data), record.length);
      waiting.record.data = nullptr;
      state_->records.push_back(std::move(waiting));
    }
    state_->changed.notify_one();
    if (!thread_.joinable()) thread_ = std::thread([state = state_, &core] { run(state, core); });
  } catch (const std::exception&) {
    // No memory or no thread: the record reaches the console only.
    counters.logRecordsDropped.fetch_add(1, std::memory_order_relaxed);
  }
}

void LogCourier::finish() noexcept {
  {
    std::lock_guard threadGuard(threadLock_);
    std::lock_guard guard(state_->lock);
    state_->finishing = true;
  }
  state_->changed.notify_all();
  // Only this (main) thread touches thread_ once finishing is set.
  if (!thread_.joinable()) return;
  std::unique_lock guard(state_->lock);
  const bool finished = state_->changed.wait_for(guard, StuckCallGrace, [this] { return state_->finished; });
  guard.unlock();
  if (finished) {
    thread_.join();
  } else {
    thread_.detach();
    stuckPlugins.fetch_add(1);
  }
}

void LogCourier::run(const std::shared_ptr<State>& state, DvrCore& core) noexcept {
  holdStopSignals();
  CoreThread thread(ThreadRole::Log);
  WatchedThread watched(core.callWatch);
  std::unique_lock guard(state->lock);
  for (;;) {
    state->changed.wait(guard, [&] { return state->finishing || !state->records.empty(); });
    if (state->records.empty()) break;
    Waiting waiting = std::move(state->records.front());
    state->records.pop_front();
    guard.unlock();
    waiting.record.data = waiting.text.empty() ? nullptr : waiting.text.data();
    waiting.record.length = static_cast<uint32_t>(waiting.text.size());
    try {
      core.deliverToLogPlugin(waiting.record);
    } catch (const std::exception&) {
      counters.logRecordsDropped.fetch_add(1, std::memory_order_relaxed);
    }
    guard.lock();
  }
  state->finished = true;
  state->changed.notify_all();
}

}  // namespace ko::core
