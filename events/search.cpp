// Search requests, their detached threads, the one-result-at-a-time hand-off
// and cancellation.
//
// Threads: search requests and cancellations arrive on any submitting thread;
// each serving plugin answers on a detached search thread of its own, which
// submits the results; slots are emptied by whichever thread frees a result's
// block (the dispatch loop or a plugin's decref) and by a stop request.
//
// Locks: searchLock guards cancelledSearches, searchProviders and the count
// of live search threads; a provider's mutex guards its slot. The only
// nesting is searchLock, then a provider's mutex. Nobody waits on a slot
// while holding searchLock or queueLock.
//
// Lifetime of a search thread. It holds shared references to its request
// (AsyncEvent) and to its plugin, and reaches the core through the `this`
// it was started with. What keeps the core alive for it is the count of live
// search threads: the thread is counted before it starts and uncounts itself
// as its very last touch of the core, and the destructor waits for the count
// to reach 0 after refusing new threads. The plugin's library stays mapped
// while the thread is inside it because its gate counts the call, and
// unloading waits for counted calls to leave (or leaves a plugin whose call
// never returns loaded for good). For the wait to end at shutdown a thread
// must never be stuck in the core: a thread
// waiting for its slot is woken by a stop request and drops its result with
// 1 (after the stop nothing would deliver it, and the requester may never
// release the result that holds the slot).
#include "events/search.h"

#include <cstdlib>
#include <cstring>
#include <system_error>

#include "core/dvr_core.h"
#include "log/core_log.h"
#include "monitor/counters.h"
#include "plugins/plugin.h"

namespace ko::core {

AsyncEvent::AsyncEvent(const EventParms& request) noexcept : record_(request) {
  record_.data = nullptr;
  if (request.length != 0 && request.data != nullptr) record_.data = std::malloc(request.length);
  if (record_.data != nullptr) {
    std::memcpy(record_.data, request.data, request.length);
  } else {
    record_.length = 0;
  }
}

AsyncEvent::~AsyncEvent() { std::free(record_.data); }

bool DvrCore::isCancelled(uint32_t requestId) {
  std::lock_guard lock(searchLock);
  return cancelledSearches.count(requestId) != 0;
}

void DvrCore::registerCancel(uint32_t requestId) {
  {
    std::lock_guard lock(searchLock);
    // A second registration of the same id changes nothing.
    if (cancelledSearches.try_emplace(requestId, ++cancelSequence).second) {
      cancelOrder.emplace_back(requestId, cancelSequence);
      if (cancelOrder.size() > MaxCancelledSearches) {
        // The oldest entry may be stale: its id revived, or cancelled again
        // since (then it has a newer sequence and stays).
        const auto [oldest, sequence] = cancelOrder.front();
        cancelOrder.pop_front();
        if (auto it = cancelledSearches.find(oldest); it != cancelledSearches.end() && it->second == sequence) {
          cancelledSearches.erase(it);
        }
      }
    }
  }
  counters.searchCancels.fetch_add(1, std::memory_order_relaxed);
}

bool DvrCore::searchRequest(const EventParms& record) {
  const auto source = static_cast<uint32_t>(record.source);
  if (source == CoreSourceId || (source & 0x00ff0000u) != 0) return false;
  const auto id = static_cast<uint32_t>(record.requestId);
  if (id == 0) return false;
  if (record.length == 0) return true;
  {
    std::lock_guard lock(searchLock);
    // A repeated search revives a cancelled id.
    cancelledSearches.erase(id);
    // A search thread's own requests are consumed without effect.
    if (searchProviders.count(std::this_thread::get_id()) != 0) return true;
  }

  auto request = std::make_shared<AsyncEvent>(record);
  for (const auto& plugin : pluginSnapshot()) {
    if (!plugin->ServesSearches()) continue;
    {
      std::lock_guard lock(searchLock);
      if (searchThreadsClosed) break;
      ++searchThreadCount;
    }
    try {
      // The references move into the thread's body so that they are gone
      // before the thread uncounts itself; copies left in the closure would
      // be dropped after that, possibly destroying the plugin after the core.
      std::thread([this, request = request, plugin = plugin]() mutable {
        runSearchThread(std::move(request), std::move(plugin));
      }).detach();
    } catch (const std::system_error& e) {
      {
        std::lock_guard lock(searchLock);
        if (--searchThreadCount == 0) searchThreadsGone.notify_all();
      }
      coreLog(75, "cannot start a search thread for {}: {}", plugin->displayName(), e.what());
    }
  }
  counters.searchRequests.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void DvrCore::runSearchThread(std::shared_ptr<AsyncEvent> request, std::shared_ptr<Plugin> plugin) noexcept {
  CoreThread thread(ThreadRole::Search, plugin->sourceIndexOf());
  // Out of the watch again before the thread uncounts itself below.
  callWatch.watch(threadCallSlot());
  const auto self = std::this_thread::get_id();
  try {
    auto provider = std::make_shared<SearchHandler::StoredProvider>();
    std::lock_guard lock(searchLock);
    searchProviders.try_emplace(self, std::move(provider));
  } catch (const std::bad_alloc&) {
    // Unregistered, the thread still hands the request over; its results
    // are refused like any other stranger's.
  }

  // Each thread hands its plugin a record of its own: a plugin may write to
  // it, and the threads of one request run at the same time.
  EventParms copy = request->record();
  plugin->DeliverSearch(copy);

  std::shared_ptr<SearchHandler::StoredProvider> provider;
  {
    std::lock_guard lock(searchLock);
    if (auto it = searchProviders.find(self); it != searchProviders.end()) {
      provider = std::move(it->second);
      searchProviders.erase(it);
    }
    if (provider) {
      std::lock_guard slot(provider->lock);
      if (provider->pendingBlock != nullptr) {
        provider->pendingBlock = nullptr;
        occupiedSearchSlots.fetch_sub(1, std::memory_order_relaxed);
      }
    }
  }
  provider.reset();
  plugin.reset();
  request.reset();

  callWatch.unwatch(threadCallSlot());
  // The last touch of the core: after the unlock the destructor may run.
  std::lock_guard lock(searchLock);
  if (--searchThreadCount == 0) searchThreadsGone.notify_all();
}

bool DvrCore::acceptSearchResult(const EventParms& record, void* block) {
  std::shared_ptr<SearchHandler::StoredProvider> provider;
  {
    std::lock_guard lock(searchLock);
    if (cancelledSearches.count(static_cast<uint32_t>(record.requestId)) != 0) return false;
    // Only a registered search thread may deliver results.
    auto it = searchProviders.find(std::this_thread::get_id());
    if (it == searchProviders.end() || !it->second) return false;
    provider = it->second;
  }
  if (block != nullptr) {
    std::unique_lock slot(provider->lock);
    provider->signal.wait(slot, [&] { return provider->pendingBlock == nullptr || stopRequested.load(); });
    if (stopRequested.load()) return false;
    provider->pendingBlock = block;
    occupiedSearchSlots.fetch_add(1, std::memory_order_relaxed);
  }
  counters.searchResults.fetch_add(1, std::memory_order_relaxed);
  counters.searchResultBytes.fetch_add(record.length, std::memory_order_relaxed);
  return true;
}

void DvrCore::releaseSearchSlot(void* block) {
  // A block in a slot was put there before its record was queued, so every
  // release of it happens after the increment: a zero count proves the block
  // is in no slot.
  if (block == nullptr || occupiedSearchSlots.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard lock(searchLock);
  for (auto& [thread, provider] : searchProviders) {
    if (!provider) continue;
    std::lock_guard slot(provider->lock);
    if (provider->pendingBlock == block) {
      provider->pendingBlock = nullptr;
      occupiedSearchSlots.fetch_sub(1, std::memory_order_relaxed);
      provider->signal.notify_one();
    }
  }
}

void DvrCore::wakeSearchWaiters() {
  std::lock_guard lock(searchLock);
  for (auto& [thread, provider] : searchProviders) {
    if (!provider) continue;
    // Taking the slot's mutex orders the stop flag before the waiter's next
    // look at its predicate, so no wake-up is lost.
    { std::lock_guard slot(provider->lock); }
    provider->signal.notify_all();
  }
}

bool DvrCore::awaitSearchThreads(std::chrono::steady_clock::time_point deadline) {
  stopRequested.store(true);
  {
    std::lock_guard lock(searchLock);
    searchThreadsClosed = true;
  }
  wakeSearchWaiters();
  std::unique_lock lock(searchLock);
  const auto gone = [this] { return searchThreadCount == 0; };
  if (deadline == std::chrono::steady_clock::time_point::max()) {
    searchThreadsGone.wait(lock, gone);
    return true;
  }
  return searchThreadsGone.wait_until(lock, deadline, gone);
}

size_t DvrCore::liveSearchThreads() {
  std::lock_guard lock(searchLock);
  return searchThreadCount;
}

}  // namespace ko::core
