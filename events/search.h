// Search orchestration state: the per-search-thread result slot.
#pragma once

#include <condition_variable>
#include <mutex>

namespace ko::core::SearchHandler {

// One per running search thread: the payload address of its latest result
// block, or null. The thread waits here before it may queue another result
// with a payload.
class StoredProvider {
 public:
  std::mutex lock;
  std::condition_variable signal;
  void* pendingBlock = nullptr;
};

}  // namespace ko::core::SearchHandler
