// Event submission: the one entry for every record, from plugins (through
// submitEventCallback), search threads and the core itself. Runs on the
// submitting thread and never waits for the dispatch loop; the only wait is a
// search thread's one-result-at-a-time hand-off.
#include <memory>

#include "core/dvr_core.h"
#include "events/queue_lock.h"
#include "events/ref_block.h"
#include "events/search.h"
#include "log/core_log.h"
#include "monitor/counters.h"
#include "monitor/statistics.h"

namespace ko::core {

namespace {

// Owns a payload block until it is in the queue; a dropped record frees it.
class BlockGuard {
 public:
  explicit BlockGuard(void* payload) noexcept : payload_(payload) {}
  ~BlockGuard() {
    if (payload_ != nullptr) freeRefBlock(payload_);
  }
  BlockGuard(const BlockGuard&) = delete;
  BlockGuard& operator=(const BlockGuard&) = delete;
  void* get() const noexcept { return payload_; }
  void* release() noexcept {
    void* p = payload_;
    payload_ = nullptr;
    return p;
  }

 private:
  void* payload_;
};

// Records ahead of the append whose slots are claimed for writing.
constexpr size_t QueuePrefetchAhead = 4;

// Asks for the cache line at `p` in a state it can be written in, without
// waiting for it. The builtin's x86-64 baseline form asks only to read it.
inline void prefetchForWrite(const char* p) noexcept {
#if defined(__x86_64__)
  asm volatile("prefetchw %0" : : "m"(*p));
#else
  __builtin_prefetch(p, 1);
#endif
}

bool isSearchResultSource(uint64_t source) {
  const auto id = static_cast<uint32_t>(source);
  return id == CoreSourceId || (id & 0x00ff0000u) != 0;
}

}  // namespace

int32_t DvrCore::submitEvent(EventParms& record) {
  const uint32_t t = baseType(record.type);
  switch (t) {
    case EventTypeCancel: {
      const auto id = static_cast<uint32_t>(record.requestId);
      if ((record.flags & EventFlagQuery) != 0) return isCancelled(id) ? 1 : 0;
      registerCancel(id);
      return 0;
    }
    case EventTypeIpc:
      return sendIpcPacket(record);
    case EventTypeCrypto:
      return onCryptoEvent(record);
    case EventTypeDecref:
      return releaseLentRef(record.data, sourceIndex(record.source));
    case EventTypeLog:
      if ((record.flags & EventFlagQuery) != 0) return effectiveLogLevel(sourceIndex(record.source));
      switch (filterLogRecord(record)) {
        case 0:
          return stopRequested.load() ? 1 : 0;
        case 2:
          return 1;  // over the source's budget
        default:
          break;
      }
      break;
    default:
      break;
  }
  if (stopRequested.load()) return 1;
  const auto source = static_cast<uint32_t>(record.source);
  if (source != CoreSourceId && (source & 0x00ff0000u) == 0 && static_cast<uint32_t>(record.requestId) != 0 &&
      searchRequest(record)) {
    return 0;
  }
  if (const int32_t refused = throttleCheck(record); refused != 0) return refused;
  return queueEvent(record);
}

int32_t DvrCore::throttleCheck(const EventParms& record) {
  if ((record.flags & EventClassLive) == 0 || (record.type != EventTypeVideo && record.type != EventTypeAudio)) {
    return 0;
  }
  if (!throttled.load(std::memory_order_relaxed)) return 0;
  if (record.type == EventTypeVideo) {
    counters.throttledVideo.fetch_add(1, std::memory_order_relaxed);
  } else {
    counters.throttledAudio.fetch_add(1, std::memory_order_relaxed);
  }
  return 5;
}

namespace {

bool isLiveMedia(const EventParms& record) {
  return (record.flags & EventClassLive) != 0 && (record.type == EventTypeVideo || record.type == EventTypeAudio);
}

}  // namespace

bool DvrCore::admitQueued(int64_t cost) {
  if (queueRefusing.load(std::memory_order_relaxed)) {
    // Refusing ends at delivery; or here, should the queue have emptied
    // before refusing began.
    if (queuedBytes.load(std::memory_order_relaxed) > QueuedBytesResume) {
      queueRefused.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    endQueueRefusal();
  }
  const int64_t queued = queuedBytes.load(std::memory_order_relaxed);
  if (queued + cost <= QueuedBytesLimit) return true;
  queueRefused.fetch_add(1, std::memory_order_relaxed);
  bool expected = false;
  if (queueRefusing.compare_exchange_strong(expected, true, std::memory_order_relaxed)) {
    alertLog(50, "event queue holds {}: refusing records of plugins until it is below {}", formatSize(queued),
             formatSize(QueuedBytesResume));
  }
  return false;
}

void DvrCore::endQueueRefusal() {
  bool expected = true;
  if (!queueRefusing.compare_exchange_strong(expected, false, std::memory_order_relaxed)) return;
  coreLog(50, "event queue accepts records again, {:L} refused", queueRefused.exchange(0, std::memory_order_relaxed));
}

void DvrCore::noteDequeued(int64_t cost) {
  queuedBytes.fetch_sub(cost, std::memory_order_relaxed);
  const int64_t left = queuedBytes.load(std::memory_order_relaxed);
  if (left <= QueuedBytesResume && queueRefusing.load(std::memory_order_relaxed)) endQueueRefusal();
}

int32_t DvrCore::queueEvent(const EventParms& record) {
  // A plugin's record must fit the queue's byte bound; the core's own
  // (its log lines, configuration and memory-state documents) always go.
  if (static_cast<uint32_t>(record.source) != CoreSourceId) {
    const int64_t cost = int64_t{record.data != nullptr ? record.length : 0u} + int64_t{sizeof(EventParms)};
    if (!admitQueued(cost)) {
      if (!isLiveMedia(record)) return 1;
      if (record.type == EventTypeVideo) {
        counters.throttledVideo.fetch_add(1, std::memory_order_relaxed);
      } else {
        counters.throttledAudio.fetch_add(1, std::memory_order_relaxed);
      }
      return 5;
    }
  }
  // A null payload pointer carries nothing, whatever `length` says: the core's
  // own callers do not pass through the callback that zeroes the length.
  BlockGuard block(record.length != 0 && record.data != nullptr ? allocRefBlock(record.data, record.length)
                                                                 : nullptr);

  if (isSearchResultSource(record.source) && static_cast<uint32_t>(record.requestId) != 0) {
    if (!acceptSearchResult(record, block.get())) return 1;
  }

  EventParms queued = record;
  queued.data = block.get();
  // Without a payload copy (none given, or none could be made) the record
  // says so: receivers never see a length that points nowhere.
  if (queued.data == nullptr) queued.length = 0;
  // The queue's reference is taken before the record is visible: the
  // dispatch loop may take and release it the moment the lock is dropped.
  // No other thread counts on the block yet, so its count is set, not added
  // to.
  if (block.get() != nullptr) {
    refBlockHeader(block.get())->refCount.store(1, std::memory_order_relaxed);
    refsHeld[0].fetch_add(1, std::memory_order_relaxed);
  }
  void* const payload = block.release();
  bool appended = false;
  bool wake = false;
  try {
    lockQueue(queueLock);
    std::lock_guard lock(queueLock, std::adopt_lock);
    // Once the dispatch loop has returned nothing reads the queue again; a
    // record appended then would pin its payload (and a search thread's
    // slot) for the rest of the process.
    if (!dispatchEnded) {
      eventQueue.push_back(queued);
      appended = true;
      // The next record's slot was last read by the dispatch loop: owning
      // its lines before that record is written keeps the unlock below it
      // from waiting for them.
      if (eventQueue.size() + QueuePrefetchAhead <= eventQueue.capacity()) {
        const auto* next = reinterpret_cast<const char*>(eventQueue.data() + eventQueue.size());
        for (size_t line = 0; line < QueuePrefetchAhead * sizeof(EventParms); line += 64) {
          prefetchForWrite(next + line);
        }
      }
      // Counted under the lock that the loop takes it under, so its
      // delivery is always accounted after this.
      queuedBytes.addSerialised(queuedCost(queued));
      // A loop that is not waiting takes this record with its next batch.
      // One that is gets a wake-up from every append until it runs again:
      // were only the first to wake it, that thread being preempted between
      // unlocking and notifying would hold back every record queued after.
      wake = dispatchWaiting;
      if (dispatchWatching.load(std::memory_order_relaxed) && !dispatchKicked.load(std::memory_order_relaxed)) {
        dispatchKicked.store(true, std::memory_order_relaxed);
      }
    }
  } catch (...) {
    releaseEventRef(payload, 0);
    throw;
  }
  if (!appended) {
    releaseEventRef(payload, 0);
    return 1;
  }
  if (wake) queueSignal.notify_one();
  return 0;
}

size_t DvrCore::queuedEvents() {
  std::lock_guard lock(queueLock);
  return eventQueue.size();
}

void DvrCore::releaseQueuedEvents() {
  std::vector<EventParms> stranded;
  {
    std::lock_guard lock(queueLock);
    stranded.swap(eventQueue);
    dispatchEnded = true;
  }
  for (const auto& record : stranded) {
    queuedBytes.fetch_sub(queuedCost(record), std::memory_order_relaxed);
    releaseEventRef(record.data, 0);
  }
}

void DvrCore::addEventRef(void* block, uint8_t index) {
  if (block == nullptr) return;
  refBlockHeader(block)->refCount.fetch_add(1, std::memory_order_relaxed);
  refsHeld[index].fetch_add(1, std::memory_order_relaxed);
}

int32_t DvrCore::releaseEventRef(void* block, uint8_t index) {
  if (block == nullptr) return 0;
  refsHeld[index].fetch_sub(1, std::memory_order_relaxed);
  if (refBlockHeader(block)->refCount.fetch_sub(1, std::memory_order_acq_rel) > 1) return 0;
  // The slot is emptied while the block still exists, so no new block can
  // reuse the address and be mistaken for this one.
  releaseSearchSlot(block);
  freeRefBlock(block);
  return 0;
}

int32_t DvrCore::releaseLentRef(void* block, uint8_t index) {
  if (block == nullptr) return 0;
  // Only a reference the source was lent and still holds can be given back
  // (events/lending.h has the rule): a second release, a block it never kept
  // or a pointer that is no block would otherwise take another holder's
  // reference, or write to and free memory the core does not own.
  if (!takeLent(block, index)) {
    coreLog(50, "decref from {:02x} for a block it does not hold", index);
    return 0;
  }
  return releaseEventRef(block, index);
}

}  // namespace ko::core

// The plain function every plugin receives in LoadParms.
extern "C" int32_t submitEventCallback(ko::core::EventParms* record) noexcept {
  using namespace ko::core;
  if (record == nullptr || coreInstance == nullptr) return 1;
  if (record->data == nullptr) record->length = 0;
  try {
    return coreInstance->submitEvent(*record);
  } catch (...) {
    // Nothing may unwind into a plugin; a record that could not be handled
    // is refused.
    return 1;
  }
}
