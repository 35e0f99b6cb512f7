// Search orchestration state: the request as its threads share it, and the
// per-search-thread result slot.
//
// Threads: an AsyncEvent is created by the submitting thread and then only
// read by the search threads that share it. A StoredProvider is created and
// removed by its own search thread under the core's searchLock; its slot is
// written under its own mutex by that thread (occupying) and by whichever
// thread frees the slot's block or stops the core (emptying, waking).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "ko/core/event.hpp"

namespace ko::core {

// One accepted search request: a copy of the record whose `data` points to
// this object's own heap copy of the payload (not a reference block). When
// that copy cannot be made the threads see no payload at all (null data and
// length 0) rather than a length that points nowhere.
class AsyncEvent {
 public:
  explicit AsyncEvent(const EventParms& request) noexcept;
  ~AsyncEvent();
  AsyncEvent(const AsyncEvent&) = delete;
  AsyncEvent& operator=(const AsyncEvent&) = delete;

  const EventParms& record() const noexcept { return record_; }

 private:
  EventParms record_;
};

// "OnSearch" calls one serving plugin runs at once. Further requests for it
// wait in its lane, up to SearchesWaitingPerPlugin; beyond that they are not
// started for that plugin (counted, and told at once and then at most once a
// minute per plugin). A request cancelled while it waits never starts.
inline constexpr size_t SearchesPerPlugin = 4;
inline constexpr size_t SearchesWaitingPerPlugin = 16;
inline constexpr int64_t SearchRefusalReportNanos = 60'000'000'000;
// Search threads run the plugin's search and the core's result hand-off,
// nothing deep; sanitizers need more of a stack for the same calls.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr size_t SearchThreadStack = 1024 * 1024;
#else
inline constexpr size_t SearchThreadStack = 256 * 1024;
#endif

// One serving plugin's searches: how many of its threads run, and the
// requests waiting for one of them. Guarded by the core's searchLock. A lane
// with waiting requests always has running threads, which take them in turn.
struct SearchLane {
  size_t running = 0;
  std::deque<std::shared_ptr<AsyncEvent>> waiting;
  int64_t refused = 0;  // not started, since the last report
  int64_t lastReport = INT64_MIN;
};

namespace SearchHandler {

// One per running search thread: the payload address of its latest result
// block, or null. The thread waits here before it may queue another result
// with a payload.
class StoredProvider {
 public:
  std::mutex lock;
  std::condition_variable signal;
  void* pendingBlock = nullptr;  // guarded by lock
};

}  // namespace SearchHandler
}  // namespace ko::core
