// Search requests, their detached threads, the one-result-at-a-time hand-off
// and cancellation.
//
// Threads: search requests and cancellations arrive on any submitting thread;
// each serving plugin answers on a detached search thread of its own, which
// submits the results; slots are emptied by whichever thread frees a result's
// block (the dispatch loop or a plugin's decref) and by a stop request.
//
// Bounds: a serving plugin runs at most SearchesPerPlugin searches at once,
// each on a search thread that, when its search returns, takes the plugin's
// next waiting request (at most SearchesWaitingPerPlugin wait; beyond that a
// request is not started for that plugin, counted and told). Waiting
// requests cancelled meanwhile, or left at a stop, never start.
//
// Locks: searchLock guards cancelledSearches, searchProviders, the lanes of
// waiting requests and the count of live search threads; a provider's mutex
// guards its slot. The only
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

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

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

namespace {

// One running thread of `plugin` fewer; its lane goes with the last one.
// Caller holds searchLock.
void leaveLane(std::unordered_map<const Plugin*, std::unique_ptr<SearchLane>>& lanes, const Plugin* plugin) {
  auto it = lanes.find(plugin);
  if (it == lanes.end()) return;
  if (--it->second->running == 0 && it->second->waiting.empty()) lanes.erase(it);
}

}  // namespace

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
    bool start = false;
    int64_t notStarted = 0;
    {
      std::lock_guard lock(searchLock);
      if (searchThreadsClosed) break;
      auto& lane = searchLanes[plugin.get()];
      if (!lane) lane = std::make_unique<SearchLane>();
      if (lane->running < SearchesPerPlugin) {
        ++lane->running;
        ++searchThreadCount;
        start = true;
      } else if (lane->waiting.size() < SearchesWaitingPerPlugin) {
        lane->waiting.push_back(request);
      } else {
        ++lane->refused;
        const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
        if (lane->lastReport == INT64_MIN || now - lane->lastReport >= SearchRefusalReportNanos) {
          notStarted = std::exchange(lane->refused, 0);
          lane->lastReport = now;
        }
      }
    }
    if (notStarted != 0) {
      alertLog(50, "{} has {} searches running and {} waiting: {:L} not started", plugin->displayName(),
               SearchesPerPlugin, SearchesWaitingPerPlugin, notStarted);
    }
    if (start && !startSearchThread(request, plugin)) {
      {
        std::lock_guard lock(searchLock);
        leaveLane(searchLanes, plugin.get());
        if (--searchThreadCount == 0) searchThreadsGone.notify_all();
      }
    }
  }
  counters.searchRequests.fetch_add(1, std::memory_order_relaxed);
  return true;
}

bool DvrCore::startSearchThread(const std::shared_ptr<AsyncEvent>& request, const std::shared_ptr<Plugin>& plugin) {
  // The references move into the thread's body so that they are gone
  // before the thread uncounts itself; copies left in the closure would be
  // dropped after that, possibly destroying the plugin after the core.
  struct Start {
    DvrCore* core;
    std::shared_ptr<AsyncEvent> request;
    std::shared_ptr<Plugin> plugin;
  };
  auto start = std::make_unique<Start>(Start{this, request, plugin});
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  // Never below the system's minimum.
  (void)pthread_attr_setstacksize(&attr, std::max<size_t>(SearchThreadStack, PTHREAD_STACK_MIN));
  (void)pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  // A search thread may outlive the signal set (holdStopSignals); it holds
  // the stop signals from its first instruction on.
  sigset_t mask;
  const sigset_t stopSignals = stopSignalSet();
  if (pthread_sigmask(SIG_BLOCK, nullptr, &mask) == 0 && sigorset(&mask, &mask, &stopSignals) == 0) {
    (void)pthread_attr_setsigmask_np(&attr, &mask);
  }
  pthread_t thread;
  const int error = pthread_create(
      &thread, &attr,
      [](void* argument) -> void* {
        std::unique_ptr<Start> s(static_cast<Start*>(argument));
        s->core->runSearchThread(std::move(s->request), std::move(s->plugin));
        return nullptr;
      },
      start.get());
  (void)pthread_attr_destroy(&attr);
  if (error != 0) {
    coreLog(75, "cannot start a search thread for {}: {}", plugin->displayName(), std::strerror(error));
    return false;
  }
  (void)start.release();
  return true;
}

void DvrCore::serveSearch(const AsyncEvent& request, Plugin& plugin) noexcept {
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
  EventParms copy = request.record();
  plugin.DeliverSearch(copy);

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
}

void DvrCore::runSearchThread(std::shared_ptr<AsyncEvent> request, std::shared_ptr<Plugin> plugin) noexcept {
  CoreThread thread(ThreadRole::Search, plugin->sourceIndexOf());
  // Out of the watch again before the thread uncounts itself below.
  callWatch.watch(threadCallSlot());
  // The thread serves its plugin's waiting requests in turn, so a plugin
  // never has more than SearchesPerPlugin threads.
  std::deque<std::shared_ptr<AsyncEvent>> dropped;
  while (request) {
    serveSearch(*request, *plugin);
    request.reset();
    std::lock_guard lock(searchLock);
    auto it = searchLanes.find(plugin.get());
    if (it == searchLanes.end()) break;
    auto& waiting = it->second->waiting;
    if (searchThreadsClosed || stopRequested.load()) {
      // After a stop nothing would deliver results: what waits is dropped
      // (outside the lock, by this thread).
      dropped.swap(waiting);
    }
    while (!waiting.empty()) {
      auto next = std::move(waiting.front());
      waiting.pop_front();
      // A request cancelled while it waited never starts.
      if (cancelledSearches.count(static_cast<uint32_t>(next->record().requestId)) != 0) {
        dropped.push_back(std::move(next));
        continue;
      }
      request = std::move(next);
      break;
    }
    if (!request) leaveLane(searchLanes, plugin.get());
  }
  dropped.clear();
  plugin.reset();

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
