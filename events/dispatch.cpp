// The dispatch loop: runs on the main thread between opening and closing the
// plugins, taking one record at a time from the queue and handing it to every
// plugin that wants it, in plugin-list order.
#include <chrono>
#include <string_view>

#include "core/dvr_core.h"
#include "log/core_log.h"
#include "monitor/counters.h"
#include "plugins/plugin_call.h"
#include "plugins/plugin.h"

namespace ko::core {

namespace {

using Clock = std::chrono::steady_clock;

std::string_view sourceName(const std::vector<std::shared_ptr<Plugin>>& plugins, uint64_t source,
                            std::string& scratch) {
  const auto id = static_cast<uint32_t>(source);
  if (id == CoreSourceId || (id & 0x00ff0000u) == 0) return "Core";
  for (const auto& p : plugins) {
    if (!p->isCore() && p->sourceIndexOf() == sourceIndex(id)) {
      scratch = p->displayName();
      return scratch;
    }
  }
  return "unknown";
}

void reportSlowHandler(DvrCore& core, const Plugin& plugin, int64_t nanos, const EventParms& record) {
  // Formatting is skipped unless the core's threshold lets level 0 through.
  if (core.effectiveLogLevel(0) > 0) return;
  std::string scratch;
  coreLog(0, "{} took {}ms for {} event from {} [{:L}]", plugin.displayName(), nanos / 1000000,
          eventTypeName(record.type), sourceName(core.plugins, record.source, scratch), record.length);
}

}  // namespace

void DvrCore::dispatchLoop() {
  setThreadRole(ThreadRole::Dispatch);
  struct Leave {
    ~Leave() { setThreadRole(ThreadRole::Main); }
  } leave;
  lastReport = Clock::now() - std::chrono::seconds(60);
  {
    std::lock_guard lock(queueLock);
    dispatchEnded = false;
  }
  for (;;) {
    // At least once a second, outside queueLock: a report is a log record.
    callWatch.checkIo();
    EventParms record;
    {
      std::unique_lock lock(queueLock);
      const auto deadline = Clock::now() + std::chrono::seconds(1);
      queueSignal.wait_until(lock, deadline, [this] { return stopRequested.load() || !eventQueue.empty(); });
      if (eventQueue.empty()) {
        if (stopRequested.load()) {
          dispatchEnded = true;
          return;
        }
        counters.idleSeconds.fetch_add(1, std::memory_order_relaxed);
        counters.queueLength.store(0, std::memory_order_relaxed);
        lock.unlock();
        reportStatistics();
        continue;
      }
      record = eventQueue.front();
      eventQueue.pop_front();
      counters.eventsDispatched.fetch_add(1, std::memory_order_relaxed);
      counters.queueLength.store(static_cast<int64_t>(eventQueue.size()), std::memory_order_relaxed);
    }

    reportStatistics();
    configDeltaHook(record);

    // `record` is the core's own copy: routing, timing and references are
    // read from it, and each plugin gets a copy of its own.
    void* const block = record.data;
    // The plugin list does not change while the loop runs: it is built before
    // and re-ordered after, both on this thread.
    for (const auto& plugin : plugins) {
      if (!plugin->WantsEvent(record)) continue;
      const uint8_t index = plugin->sourceIndexOf();
      const auto start = Clock::now();
      lendEventRef(block, index);
      if (!plugin->DeliverEvent(record)) takeBackEventRef(block, index);
      const int64_t nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
      if (record.type == EventTypeLog) {
        if ((record.flags & EventClassLive) != 0) {
          counters.liveLogMicros.fetch_add(nanos / 1000, std::memory_order_relaxed);
        }
      } else if (nanos > 5000000) {
        reportSlowHandler(*this, *plugin, nanos, record);
      }
    }
    releaseEventRef(block, 0);
  }
}

}  // namespace ko::core
