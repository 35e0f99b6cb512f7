// Search requests, results and cancellation.
#include "events/search.h"

#include "core/dvr_core.h"
#include "monitor/counters.h"

namespace ko::core {

bool DvrCore::isCancelled(uint32_t requestId) {
  std::lock_guard lock(searchLock);
  return cancelledSearches.count(requestId) != 0;
}

void DvrCore::registerCancel(uint32_t requestId) {
  {
    std::lock_guard lock(searchLock);
    cancelledSearches.insert(requestId);
  }
  counters.searchCancels.fetch_add(1, std::memory_order_relaxed);
}

bool DvrCore::searchRequest(const EventParms& record) {
  const auto source = static_cast<uint32_t>(record.source);
  if (source == CoreSourceId || (source & 0x00ff0000u) != 0) return false;
  if (static_cast<uint32_t>(record.requestId) == 0) return false;
  // Serving plugins are not started yet: the request is consumed.
  return true;
}

bool DvrCore::acceptSearchResult(const EventParms& record, void* /*block*/) {
  std::lock_guard lock(searchLock);
  if (cancelledSearches.count(static_cast<uint32_t>(record.requestId)) != 0) return false;
  // Only a registered search thread may deliver results.
  return searchProviders.count(std::this_thread::get_id()) != 0;
}

void DvrCore::releaseSearchSlot(void* block) {
  if (block == nullptr) return;
  std::lock_guard lock(searchLock);
  for (auto& [thread, provider] : searchProviders) {
    if (!provider) continue;
    std::lock_guard slot(provider->lock);
    if (provider->pendingBlock == block) {
      provider->pendingBlock = nullptr;
      provider->signal.notify_one();
    }
  }
}

}  // namespace ko::core
