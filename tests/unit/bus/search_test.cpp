// Search requests against real serving plugins on their detached threads:
// who takes part, where results go, the one-result slot, cancellation, and a
// shutdown that neither hangs nor leaves a thread behind.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <random>

#include "bus_fixture.h"
#include "events/search.h"

namespace ko::core::bustest {
namespace {

using busprobe::Path;
using std::chrono::milliseconds;

constexpr uint32_t RequesterSource = 0x00000007u;  // plugin identifier 0

class SearchTest : public BusTest {
 protected:
  int32_t request(uint64_t requestId, const char* text = "find") {
    auto record = makeEvent(EventTypeAlarm, EventClassStored, RequesterSource, text,
                            text != nullptr ? static_cast<uint32_t>(std::strlen(text)) : 0);
    record.requestId = requestId;
    return submit(record);
  }
  int32_t cancel(uint32_t id, bool query) {
    auto record = makeEvent(EventTypeCancel, query ? EventFlagQuery : 0, 0x00400000u);
    record.requestId = id;
    return submit(record);
  }
  bool searchThreadsGone() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (core->liveSearchThreads() != 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }
  static size_t storedDeliveries(Probe* p) {
    std::lock_guard guard(p->lock);
    return storedCount(p);
  }
  // Caller holds p->lock.
  static size_t storedCount(Probe* p) {
    size_t n = 0;
    for (const auto& d : p->deliveries) n += d.path == Path::OnEvent && (d.record.flags & EventClassStored) != 0 ? 1 : 0;
    return n;
  }
};

TEST_F(SearchTest, CancelIsRegisteredAndANewSearchRevivesTheId) {
  const auto cancels = counters.searchCancels.load();
  EXPECT_EQ(cancel(7, true), 0);
  EXPECT_EQ(cancel(7, false), 0);
  EXPECT_EQ(cancel(7, true), 1);
  EXPECT_EQ(cancel(7, false), 0);
  EXPECT_EQ(counters.searchCancels.load() - cancels, 2);
  EXPECT_EQ(request(7), 0);
  EXPECT_EQ(cancel(7, true), 0);
}

TEST_F(SearchTest, OnlyTheMostRecentCancellationsAreKept) {
  // 7 is cancelled, revived and cancelled again: its first entry is stale
  // and must not take the second cancellation with it.
  EXPECT_EQ(cancel(7, false), 0);
  EXPECT_EQ(request(7), 0);
  EXPECT_EQ(cancel(7, false), 0);
  const auto last = static_cast<uint32_t>(1000 + MaxCancelledSearches - 1);
  for (uint32_t id = 1000; id < last; ++id) cancel(id, false);
  EXPECT_EQ(cancel(7, true), 1);
  cancel(last, false);
  EXPECT_EQ(cancel(7, true), 0);
  EXPECT_EQ(cancel(1000, true), 1);
  EXPECT_EQ(cancel(last, true), 1);
  std::lock_guard lock(core->searchLock);
  EXPECT_EQ(core->cancelledSearches.size(), MaxCancelledSearches);
  EXPECT_EQ(core->cancelOrder.size(), MaxCancelledSearches);
}

TEST_F(SearchTest, QueryForUnknownIdRegistersNothing) {
  const auto cancels = counters.searchCancels.load();
  EXPECT_EQ(cancel(99, true), 0);
  EXPECT_EQ(cancel(99, true), 0);
  EXPECT_EQ(counters.searchCancels.load(), cancels);
  std::lock_guard lock(core->searchLock);
  EXPECT_TRUE(core->cancelledSearches.empty());
}

TEST_F(SearchTest, EmptyRequestStartsNothingAndIsNotCounted) {
  Probe* s = probe("bus_searcher");
  attach("bus_searcher");
  const auto requests = counters.searchRequests.load();
  EXPECT_EQ(request(5, nullptr), 0);
  EXPECT_EQ(core->liveSearchThreads(), 0u);
  EXPECT_EQ(counters.searchRequests.load(), requests);
  EXPECT_EQ(core->queuedEvents(), 0u);
  core.reset();
  EXPECT_EQ(s->searchesEntered, 0);
}

TEST_F(SearchTest, WithoutServingPluginRequestIsCountedAndStartsNothing) {
  Probe* r = probe("bus_reader_nobit");
  attach("bus_a");
  attach("bus_reader_nobit");  // "Read" and the reader flag, but no search bit
  const auto requests = counters.searchRequests.load();
  EXPECT_EQ(request(5), 0);
  EXPECT_EQ(core->liveSearchThreads(), 0u);
  EXPECT_EQ(counters.searchRequests.load() - requests, 1);
  EXPECT_EQ(core->queuedEvents(), 0u);
  core.reset();
  EXPECT_EQ(r->searchesEntered, 0);
}

TEST_F(SearchTest, ReaderGetsRequestThroughReadParms) {
  Probe* r = probe("bus_reader");
  attach("bus_reader");
  const char text[] = "from 12:00";
  EXPECT_EQ(request(0xabcd000000000042ull, text), 0);
  ASSERT_TRUE(r->waitFor([&] { return r->searchesLeft == 1; }));
  ASSERT_TRUE(searchThreadsGone());
  ASSERT_EQ(r->deliveries.size(), 1u);
  const auto& d = r->deliveries[0];
  EXPECT_EQ(d.path, Path::Read);
  EXPECT_EQ(d.read.requestId, 0xabcd000000000042ull);
  EXPECT_EQ(d.read.dataLength, sizeof text - 1);
  EXPECT_EQ(std::string(d.payload.begin(), d.payload.end()), "from 12:00");
  EXPECT_NE(d.read.data, static_cast<const void*>(text)) << "threads read the request's own copy";
  EXPECT_EQ(r->badRecords, 0);
}

TEST_F(SearchTest, OnlyTheRequesterGetsStoredResults) {
  Probe* req = probe("bus_requester");
  Probe* s = probe("bus_searcher");
  Probe* other = probe("bus_b");
  s->searchResults = 2;
  s->resultLength = 32;
  req->checkBytes = true;
  attach("bus_requester");
  attach("bus_searcher");
  attach("bus_b");
  startPrimedLoop(req);
  const auto results = counters.searchResults.load();
  const auto bytes = counters.searchResultBytes.load();
  ASSERT_EQ(request(5), 0);
  ASSERT_TRUE(req->waitFor([&] { return storedCount(req) == 2; }));
  ASSERT_TRUE(s->waitFor([&] { return s->searchesLeft == 1; }));
  ASSERT_TRUE(searchThreadsGone());
  stopLoopThread();

  EXPECT_EQ(s->submitResults, (std::vector<int32_t>{0, 0}));
  for (const auto& d : req->deliveries) {
    if (d.record.type == EventTypeConfig) continue;  // the priming record
    EXPECT_NE(d.record.flags & EventClassStored, 0u);
    EXPECT_EQ(d.record.requestId, 5u);
    EXPECT_EQ(d.record.source, 0x00210000u);
    EXPECT_EQ(d.record.length, 32u);
  }
  EXPECT_EQ(req->badRecords, 0);
  EXPECT_EQ(storedDeliveries(other), 0u);
  EXPECT_EQ(storedDeliveries(s), 0u);
  EXPECT_EQ(counters.searchResults.load() - results, 2);
  EXPECT_EQ(counters.searchResultBytes.load() - bytes, 64);
  EXPECT_EQ(blocksDelta(), 0);
}

// Search threads are many and do little: they get a small stack, on which a
// plain search with some KiB of locals runs and answers.
TEST_F(SearchTest, SearchRunsOnTheSmallStackItIsGiven) {
  Probe* req = probe("bus_requester");
  Probe* s = probe("bus_searcher");
  s->searchResults = 1;
  attach("bus_requester");
  attach("bus_searcher");
  startPrimedLoop(req);
  ASSERT_EQ(request(5), 0);
  ASSERT_TRUE(req->waitFor([&] { return storedCount(req) == 1; }));
  ASSERT_TRUE(s->waitFor([&] { return s->searchesLeft == 1; }));
  ASSERT_TRUE(searchThreadsGone());
  stopLoopThread();
  const size_t given = std::max<size_t>(SearchThreadStack, PTHREAD_STACK_MIN);
  std::lock_guard guard(s->lock);
  EXPECT_GE(s->searchStackBytes, given);
  // The default stack is many times larger; a guard page or two may come on top.
  EXPECT_LE(s->searchStackBytes, given + 64 * 1024);
}

TEST_F(SearchTest, ResultFromAnotherPluginThreadIsRefused) {
  Probe* req = probe("bus_requester");
  Probe* s = probe("bus_searcher");
  s->searchResults = 1;
  s->resultLength = 16;
  s->resultFromOtherThread = true;
  attach("bus_requester");
  attach("bus_searcher");
  startLoopThread();
  ASSERT_EQ(request(5), 0);
  ASSERT_TRUE(s->waitFor([&] { return s->searchesLeft == 1; }));
  stopLoopThread();
  EXPECT_EQ(s->submitResults, std::vector<int32_t>{1});
  EXPECT_EQ(storedDeliveries(req), 0u);
  EXPECT_EQ(blocksDelta(), 0);
}

TEST_F(SearchTest, ResultForCancelledSearchIsDroppedWithoutBlock) {
  Probe* req = probe("bus_requester");
  Probe* s = probe("bus_searcher");
  s->searchResults = 1;
  s->resultLength = 16;
  s->cancelBeforeResults = true;
  attach("bus_requester");
  attach("bus_searcher");
  startPrimedLoop(req);
  const auto results = counters.searchResults.load();
  ASSERT_EQ(request(5), 0);
  ASSERT_TRUE(s->waitFor([&] { return s->searchesLeft == 1; }));
  EXPECT_EQ(blocksDelta(), 0);
  stopLoopThread();
  EXPECT_EQ(s->submitResults, std::vector<int32_t>{1});
  EXPECT_EQ(storedDeliveries(req), 0u);
  EXPECT_EQ(counters.searchResults.load(), results);
}

TEST_F(SearchTest, RequestFromCoreOrNamedPluginIsAStrayResult) {
  const char text[] = "find";
  auto fromCore = makeEvent(EventTypeAlarm, EventClassStored, CoreSourceId, text, 4);
  fromCore.requestId = 9;
  EXPECT_EQ(core->submitEvent(fromCore), 1);
  auto fromNamed = makeEvent(EventTypeAlarm, EventClassStored, 0x00120000u, text, 4);
  fromNamed.requestId = 9;
  EXPECT_EQ(submit(fromNamed), 1);
  EXPECT_EQ(core->queuedEvents(), 0u);
  EXPECT_EQ(blocksDelta(), 0);
  EXPECT_EQ(core->liveSearchThreads(), 0u);
}

TEST_F(SearchTest, SecondPayloadResultWaitsUntilFirstIsReleased) {
  Probe* req = probe("bus_requester");
  Probe* s = probe("bus_searcher");
  req->retainAnswer = 1;
  s->searchResults = 2;
  s->resultLength = 100;
  attach("bus_requester");
  attach("bus_searcher");
  startLoopThread();
  ASSERT_EQ(request(5), 0);
  ASSERT_TRUE(req->waitFor([&] { return req->deliveries.size() == 1; }));
  // The first result is held by the requester: the second stays in the core.
  EXPECT_FALSE(s->waitFor([&] { return s->submitResults.size() == 2; }, milliseconds(200)));
  const uint64_t releasedAt = s->sequence.fetch_add(1) + 1;
  EXPECT_EQ(req->releaseRetained(), 1u);
  ASSERT_TRUE(s->waitFor([&] { return s->submitResults.size() == 2; }));
  EXPECT_GT(s->lastResultReturnedAt, releasedAt);
  ASSERT_TRUE(req->waitFor([&] { return req->deliveries.size() == 2; }));
  req->releaseRetained();
  ASSERT_TRUE(searchThreadsGone());
  stopLoopThread();
  EXPECT_EQ(s->submitResults, (std::vector<int32_t>{0, 0}));
  EXPECT_EQ(blocksDelta(), 0);
}

TEST_F(SearchTest, ResultsWithoutPayloadNeverWait) {
  Probe* req = probe("bus_requester");
  Probe* s = probe("bus_searcher");
  req->retainAnswer = 1;
  s->searchResults = 3;
  attach("bus_requester");
  attach("bus_searcher");
  startLoopThread();
  ASSERT_EQ(request(5), 0);
  ASSERT_TRUE(s->waitFor([&] { return s->searchesLeft == 1; }));
  EXPECT_EQ(s->submitResults, (std::vector<int32_t>{0, 0, 0}));
  ASSERT_TRUE(req->waitFor([&] { return req->deliveries.size() == 3; }));
  stopLoopThread();
}

// The requester keeps the first result for ever: the stop must free the
// search thread from its slot so that closing and unloading the serving
// plugin (which wait for the thread to leave it) can finish.
TEST_F(SearchTest, SlotWaitDoesNotBlockShutdown) {
  Probe* req = probe("bus_requester");
  Probe* s = probe("bus_searcher");
  req->retainAnswer = 1;
  s->searchResults = 2;
  s->resultLength = 100;
  attach("bus_requester");
  attach("bus_searcher");
  startLoopThread();
  ASSERT_EQ(request(5), 0);
  ASSERT_TRUE(req->waitFor([&] { return req->deliveries.size() == 1; }));
  stopLoopThread();
  core->closePlugins();
  core->unloadPlugins();
  EXPECT_EQ(s->searchesLeft, 1);
  EXPECT_EQ(s->submitResults, (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(s->closes, 1);
  EXPECT_EQ(s->unloads, 1);
  ASSERT_TRUE(searchThreadsGone());
  req->releaseRetained();
  EXPECT_EQ(blocksDelta(), 0);
}

// A serving plugin that does not finish its searches (here: each one waits
// for its first result to be delivered, and nothing delivers) while requests
// keep coming: it never runs more than its share of threads, a short queue
// waits, the rest are not started and the plugin is named, and a request
// cancelled while it waits never starts.
TEST_F(SearchTest, StalledSearcherIsBoundedAndCancelledWaitersNeverStart) {
  Probe* s = probe("bus_searcher");
  s->searchResults = 2;
  s->resultLength = 100;
  attach("bus_searcher");
  constexpr uint64_t Requests = SearchesPerPlugin + SearchesWaitingPerPlugin + 10;
  for (uint64_t id = 1; id <= Requests; ++id) ASSERT_EQ(request(id), 0);
  EXPECT_EQ(core->liveSearchThreads(), SearchesPerPlugin);
  const uint64_t cancelled = SearchesPerPlugin + 3;  // waiting
  ASSERT_EQ(cancel(static_cast<uint32_t>(cancelled), false), 0);

  startLoopThread();
  ASSERT_TRUE(searchThreadsGone());
  stopLoopThread();
  std::vector<uint64_t> served;
  std::vector<std::string> lines;
  {
    std::lock_guard guard(s->lock);
    for (const auto& d : s->deliveries) {
      if (d.path == Path::Search) served.push_back(d.record.requestId);
      if (d.path != Path::OnEvent || d.record.type != EventTypeLog) continue;
      std::string line(d.payload.begin(), d.payload.end());
      if (line.find(" not started") != std::string::npos) lines.push_back(std::move(line));
    }
  }
  std::sort(served.begin(), served.end());
  std::vector<uint64_t> expected;
  for (uint64_t id = 1; id <= SearchesPerPlugin + SearchesWaitingPerPlugin; ++id) {
    if (id != cancelled) expected.push_back(id);
  }
  EXPECT_EQ(served, expected);
  ASSERT_EQ(lines.size(), 1u) << "told at once, then once a minute";
  EXPECT_NE(lines[0].find("bus_searcher has 4 searches running and 16 waiting: 1 not started"), std::string::npos)
      << lines[0];
  EXPECT_EQ(blocksDelta(), 0);
}

// Destroying the core while a search thread is still running waits for the
// thread, and the thread leaves nothing behind that outlives the core (such as
// the last reference to its plugin).
TEST_F(SearchTest, ConcurrencyCoreDestructionWaitsForSearchThreads) {
  Probe* s = probe("bus_searcher");
  s->searchResults = 2;
  attach("bus_searcher");
  ASSERT_EQ(request(5), 0);
  core.reset();
  coreInstance = nullptr;
  std::lock_guard guard(s->lock);
  EXPECT_EQ(s->searchesEntered, s->searchesLeft);
  EXPECT_EQ(s->unloads, 1) << "the plugin went with the core, not later on a search thread";
}

// Requests, cancels, results and releases from several threads with a stop
// in the middle, then the run sequence's shutdown and the core's destruction.
TEST_F(SearchTest, StressRequestsCancelsResultsAndStop) {
  Probe* req = probe("bus_requester");
  Probe* s = probe("bus_searcher");
  Probe* r = probe("bus_reader");
  req->retainAnswer = 1;
  req->keepDeliveries = false;
  s->searchResults = 3;
  s->resultLength = 64;
  r->searchResults = 2;
  r->resultLength = 8;
  r->keepDeliveries = s->keepDeliveries = false;
  attach("bus_requester");
  attach("bus_searcher");
  attach("bus_reader");
  startLoopThread();

  constexpr int Requesters = 3;
  constexpr int PerRequester = 40;
  std::atomic<int> submitted{0};
  std::atomic<bool> running{true};
  std::vector<std::thread> threads;
  for (int t = 0; t < Requesters; ++t) {
    threads.emplace_back([&, t] {
      std::minstd_rand random(static_cast<unsigned>(t + 1));
      for (int i = 0; i < PerRequester; ++i) {
        request(1 + random() % 16);
        submitted.fetch_add(1);
      }
    });
  }
  threads.emplace_back([&] {
    std::minstd_rand random(99);
    while (running.load()) {
      cancel(static_cast<uint32_t>(1 + random() % 16), (random() & 1) != 0);
      std::this_thread::yield();
    }
  });
  threads.emplace_back([&] {
    while (running.load()) {
      if (req->releaseRetained() == 0) std::this_thread::yield();
    }
  });
  threads.emplace_back([&] {
    while (submitted.load() < Requesters * PerRequester / 2) std::this_thread::yield();
    core->requestStop();
  });

  for (int t = 0; t < Requesters; ++t) threads[static_cast<size_t>(t)].join();
  loopThread.join();
  core->closePlugins();
  core->unloadPlugins();
  running = false;
  for (size_t t = Requesters; t < threads.size(); ++t) threads[t].join();
  req->releaseRetained();
  core.reset();
  coreInstance = nullptr;

  EXPECT_EQ(s->searchesEntered, s->searchesLeft);
  EXPECT_EQ(r->searchesEntered, r->searchesLeft);
  EXPECT_GT(s->searchesEntered, 0);
  EXPECT_EQ(blocksDelta(), 0);
  EXPECT_EQ(bytesDelta(), 0);
  EXPECT_EQ(heldDelta(0), 0);
}

}  // namespace
}  // namespace ko::core::bustest
