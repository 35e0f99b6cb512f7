// The dispatch loop: runs on the main thread between opening and closing the
// plugins, taking the waiting records from the queue and handing each to
// every plugin that wants it, in queue order and plugin-list order.
#include <fmt/format.h>

#include <chrono>
#include <string_view>

#include "core/dvr_core.h"
#include "events/lending.h"
#include "events/queue_lock.h"
#include "events/ref_block.h"
#include "log/core_log.h"
#include "monitor/counters.h"
#include "plugins/plugin_call.h"
#include "plugins/plugin.h"

namespace ko::core {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t CheckInterval = 1'000'000'000;

int64_t steadyNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

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
  // A source with no plugin of its own (a record another plugin or a test
  // speaks as, such as a camera) is named by its identifier, as the console
  // tags it, rather than "unknown".
  scratch = fmt::format("PI{:02x}", sourceIndex(id));
  return scratch;
}

void reportSlowHandler(DvrCore& core, const Plugin& plugin, int64_t nanos, const EventParms& record) {
  // Formatting is skipped unless the core's threshold lets level 0 through.
  if (core.effectiveLogLevel(0) > 0) return;
  std::string scratch;
  coreLog(0, "{} took {}ms for {} event from {} [{:L}]", plugin.displayName(), nanos / 1000000,
          eventTypeName(record.type), sourceName(core.plugins, record.source, scratch), record.length);
}

}  // namespace

void reportPinnedKeep(uint8_t index) noexcept {
  coreLog(50, "source index {:02x} already holds one block 15 times: keep refused, the block stays allocated for good",
          index);
}

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
  // Every record waiting is taken under one lock and delivered without it;
  // the emptied batch goes back to the queue at the next take, so both keep
  // their storage, up to RetainedQueueCapacity once the backlog is over or
  // the loop idle: a stalled plugin must not leave its peak behind for ever.
  std::vector<EventParms>& batch = dispatchBatch;
  // The statistics check runs at the loop's first record and then at least
  // once a second, however long a batch lasts.
  int64_t nextCheck = 0;  // callClockNanos()
  bool watchWhenDry = false;
  for (;;) {
    // At least once a second, outside queueLock: a report is a log record.
    reportLogRefusals(steadyNanos());
    // Every delivered record is off the byte account by now, so anything on
    // it was queued since the batch was taken.
    if (watchWhenDry) watchWhenDry = awaitQueuedRecord(DispatchIdleWatchNanos);
    {
      lockQueue(queueLock);
      std::unique_lock lock(queueLock, std::adopt_lock);
      if (eventQueue.empty() && !stopRequested.load()) {
        const auto asleep = Clock::now();
        dispatchWaiting = true;
        queueSignal.wait_until(lock, asleep + std::chrono::seconds(1),
                               [this] { return stopRequested.load() || !eventQueue.empty(); });
        dispatchWaiting = false;
        watchWhenDry = !eventQueue.empty() && Clock::now() - asleep < std::chrono::nanoseconds(DispatchIdleWatchNanos);
      } else {
        watchWhenDry = !eventQueue.empty();
      }
      if (eventQueue.empty()) {
        if (stopRequested.load()) {
          dispatchEnded = true;
          return;
        }
        if (eventQueue.capacity() > RetainedQueueCapacity) std::vector<EventParms>().swap(eventQueue);
        lock.unlock();
        if (batch.capacity() > RetainedQueueCapacity) std::vector<EventParms>().swap(batch);
        trimRefBlockCache();
        counters.queueLength.store(0, std::memory_order_relaxed);
        counters.idleSeconds.fetch_add(1, std::memory_order_relaxed);
        reportStatistics();
        continue;
      }
      batch.clear();
      batch.swap(eventQueue);
    }
    // Read once: the calls below cannot change the batch. Records are
    // counted in bulk, up to the current one whenever the report may read
    // the count.
    const EventParms* const taken = batch.data();
    const size_t takenCount = batch.size();
    size_t counted = 0;
    int64_t dequeuedCost = 0;
    int dequeuedRecords = 0;
    int64_t queueRefsGone = 0;
    for (size_t i = 0; i < takenCount; ++i) {
      int64_t now = callClockNanos();
      if (now >= nextCheck) {
        nextCheck = now + CheckInterval;
        counters.eventsDispatched.fetch_add(static_cast<int64_t>(i + 1 - counted), std::memory_order_relaxed);
        counted = i + 1;
        // What still waits once this record is taken: the rest of the batch
        // and whatever has been queued since the batch was taken.
        counters.queueLength.store(static_cast<int64_t>(takenCount - counted + queuedEvents()),
                                   std::memory_order_relaxed);
        reportLogRefusals(steadyNanos());
        reportStatistics();
        now = callClockNanos();
      }
      // Taken off the account before its delivery, as dispatchRecord does.
      dequeuedCost += queuedCost(taken[i]);
      if (++dequeuedRecords == DequeueAccountRecords || dequeuedCost >= DequeueAccountBytes) {
        noteDequeued(dequeuedCost);
        refsHeld[0].fetch_sub(queueRefsGone, std::memory_order_relaxed);
        dequeuedCost = 0;
        dequeuedRecords = 0;
        queueRefsGone = 0;
      }
      queueRefsGone += deliverRecord(taken[i], now) ? 1 : 0;
    }
    if (dequeuedRecords != 0) noteDequeued(dequeuedCost);
    refsHeld[0].fetch_sub(queueRefsGone, std::memory_order_relaxed);
    counters.eventsDispatched.fetch_add(static_cast<int64_t>(takenCount - counted), std::memory_order_relaxed);
    // A short batch in storage grown by a backlog: the backlog is over, and
    // the storage would otherwise go round between batch and queue for good.
    if (batch.size() <= RetainedQueueCapacity && batch.capacity() > RetainedQueueCapacity) {
      std::vector<EventParms>().swap(batch);
    }
  }
}

bool DvrCore::awaitQueuedRecord(int64_t nanos) {
  dispatchKicked.store(false, std::memory_order_relaxed);
  dispatchWatching.store(true, std::memory_order_relaxed);
  // An append that did not see the flag is on the account instead. One
  // missed both ways costs the rest of the watch, nothing more: the queue
  // itself is looked at under its lock afterwards.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (queuedBytes.load(std::memory_order_relaxed) != 0) {
    dispatchWatching.store(false, std::memory_order_relaxed);
    return true;
  }
  bool queued = false;
  const auto until = Clock::now() + std::chrono::nanoseconds(nanos);
  while (!queued) {
    for (int i = 0; i < 32 && !queued; ++i) {
      queued = dispatchKicked.load(std::memory_order_relaxed) || stopRequested.load(std::memory_order_relaxed);
      cpuRelax();
    }
    if (!queued && Clock::now() >= until) break;
  }
  dispatchWatching.store(false, std::memory_order_relaxed);
  if (queued && !stopRequested.load(std::memory_order_relaxed)) {
    const auto settle = Clock::now() + std::chrono::nanoseconds(DispatchCoalesceNanos);
    while (Clock::now() < settle) cpuRelax();
  }
  return queued;
}

void DvrCore::dispatchRecord(const EventParms& queued) {
  noteDequeued(queuedCost(queued));
  if (deliverRecord(queued, callClockNanos())) refsHeld[0].fetch_sub(1, std::memory_order_relaxed);
}

bool DvrCore::deliverRecord(const EventParms& queued, int64_t now) {
  EventParms record = queued;
  configDeltaHook(record);

  // `record` is the core's own copy: routing, timing and references are
  // read from it, and each plugin gets a copy of its own.
  void* block = record.data;
  // Listed once here, before the first lend. One the registry cannot take
  // is not lent: the record goes out without it, as one whose payload
  // could not be copied at submission would.
  if (block != nullptr && !listRefBlock(block)) {
    releaseEventRef(block, 0);
    block = nullptr;
    record.data = nullptr;
    record.length = 0;
  }
  // Handlers are timed only where a figure needs it: the live log time, and
  // the slow-handler line when the core's threshold lets level 0 through
  // (read per record, since a configuration delta may change it).
  const bool liveLog = record.type == EventTypeLog && (record.flags & EventClassLive) != 0;
  const bool timed = liveLog || (record.type != EventTypeLog && effectiveLogLevel(0) <= 0);

  // One reference per plugin is taken on the block up front, in one step,
  // and what the plugins did not keep is given back in one step at the end:
  // the count moves twice per record instead of twice per plugin, and the
  // block outlives every call whatever a plugin gives back meanwhile.
  const auto lendable = static_cast<int32_t>(plugins.size());
  int32_t kept = 0;
  if (block != nullptr) refBlockHeader(block)->refCount.fetch_add(lendable, std::memory_order_relaxed);

  // Every call starts at `now` until the watch has looked again: a call
  // taking long enough to matter to it moves the clock on for the next.
  uint64_t looks = watchLooks.load(std::memory_order_relaxed);
  // The plugin list does not change while the loop runs: it is built before
  // and re-ordered after, both on this thread.
  for (const auto& plugin : plugins) {
    if (!plugin->WantsEvent(record)) continue;
    if (const uint64_t seen = watchLooks.load(std::memory_order_relaxed); seen != looks) {
      looks = seen;
      now = callClockNanos();
    }
    const auto start = timed ? Clock::now() : Clock::time_point{};
    const LendOutcome outcome =
        lendForCall(block, plugin->sourceIndexOf(), [&] { return plugin->DeliverEvent(record, now); });
    if (outcome != LendOutcome::Returned) ++kept;
    if (!timed) continue;
    const int64_t nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    if (liveLog) {
      counters.liveLogMicros.fetch_add(nanos / 1000, std::memory_order_relaxed);
    } else if (nanos > 5000000) {
      reportSlowHandler(*this, *plugin, nanos, record);
    }
  }
  if (block == nullptr) return false;
  // The unkept references and the queue's own go back together; the
  // caller takes the queue's off its tally.
  const int32_t giveBack = lendable - kept + 1;
  // A count of exactly these means no plugin holds the block, and none can
  // take a reference but through this thread: the block goes without a
  // further atomic step. Acquire pairs with the releases made during the
  // calls.
  std::atomic<int32_t>& count = refBlockHeader(block)->refCount;
  if (count.load(std::memory_order_acquire) != giveBack &&
      count.fetch_sub(giveBack, std::memory_order_acq_rel) > giveBack) {
    return true;
  }
  releaseSearchSlot(block);
  freeRefBlock(block);
  return true;
}

}  // namespace ko::core
