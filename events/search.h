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
