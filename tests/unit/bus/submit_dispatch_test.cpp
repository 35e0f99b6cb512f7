// Submission rules, the queue's payload references and the dispatch loop,
// driven through the plugins' own callback.
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

#include "bus_fixture.h"
#include "events/lending.h"
#include "support/core_test_support.h"

namespace {
// Set by a test around one call: every allocation of that thread then fails.
constinit thread_local bool failAllocations = false;
}  // namespace

// The whole test program allocates through here, so a test can make the
// core's own allocations fail where it chooses. Every form that pairs with
// the plain delete is replaced, so a sanitizer sees malloc and free only.
namespace {
void* allocate(std::size_t size) noexcept {
  if (failAllocations) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
void* allocateOrThrow(std::size_t size) {
  if (void* p = allocate(size)) return p;
  throw std::bad_alloc();
}
}  // namespace
void* operator new(std::size_t size) { return allocateOrThrow(size); }
void* operator new[](std::size_t size) { return allocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace ko::core::bustest {
namespace {

using BusSubmit = BusTest;

TEST_F(BusSubmit, NullDataWithLengthQueuesNoBlock) {
  Probe* p = probe("bus_a");
  attach("bus_a");
  auto record = makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u);
  record.length = 100;
  ASSERT_EQ(submitEventCallback(&record), 0);
  EXPECT_EQ(record.length, 0u) << "the caller's own record is corrected";
  EXPECT_EQ(blocksDelta(), 0);
  drain();
  ASSERT_EQ(p->deliveries.size(), 1u);
  EXPECT_EQ(p->deliveries[0].record.length, 0u);
  EXPECT_EQ(p->deliveries[0].record.data, nullptr);
}

TEST_F(BusSubmit, CoreRecordWithNullDataIsNotCopiedFromNull) {
  // The core's own callers bypass the callback's length rule.
  auto record = makeEvent(EventTypeAlarm, EventClassLive, CoreSourceId);
  record.length = 64;
  ASSERT_EQ(core->submitEvent(record), 0);
  EXPECT_EQ(blocksDelta(), 0);
  std::lock_guard lock(core->queueLock);
  ASSERT_EQ(core->eventQueue.size(), 1u);
  EXPECT_EQ(core->eventQueue.front().data, nullptr);
  EXPECT_EQ(core->eventQueue.front().length, 0u) << "no payload, no length";
}

TEST_F(BusSubmit, ThrottleRefusesOnlyPlainLiveMedia) {
  core->throttled = true;
  const auto video = counters.throttledVideo.load();
  const auto audio = counters.throttledAudio.load();
  const char frame[32] = {};
  EXPECT_EQ(submit(makeEvent(EventTypeVideo, EventClassLive, 0x00400000u, frame, 32)), 5);
  EXPECT_EQ(submit(makeEvent(EventTypeAudio, EventClassLive, 0x00400000u, frame, 32)), 5);
  EXPECT_EQ(blocksDelta(), 0) << "a refused frame is not copied";
  EXPECT_EQ(submit(makeEvent(EventTypeVideo | EventTypeModifier, EventClassLive, 0x00400000u, frame, 32)), 0);
  EXPECT_EQ(submit(makeEvent(EventTypeVideo, EventClassStored, 0x00400000u, frame, 32)), 0);
  EXPECT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u, frame, 32)), 0);
  EXPECT_EQ(counters.throttledVideo.load() - video, 1);
  EXPECT_EQ(counters.throttledAudio.load() - audio, 1);
  EXPECT_EQ(core->queuedEvents(), 3u);
  core->throttled = false;
  EXPECT_EQ(submit(makeEvent(EventTypeVideo, EventClassLive, 0x00400000u, frame, 32)), 0);
  drain();
  EXPECT_EQ(blocksDelta(), 0);
}

// The same bound when the loop takes the whole backlog as one batch: the
// records it delivers leave the account as they go, so refusing ends once
// half has been delivered, not when the batch is over.
TEST_F(BusSubmit, QueueBoundRefusingEndsWhileTheLoopStillDeliversItsBatch) {
  Probe* p = probe("bus_a");
  attach("bus_a");
  std::vector<char> mib(1 << 20, 'x');
  const auto size = static_cast<uint32_t>(mib.size());
  int accepted = 0;
  while (submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u, mib.data(), size)) == 0) ++accepted;
  ASSERT_GT(accepted, 8);
  // From inside each 1 MiB delivery, a small record from another plugin.
  struct Offers {
    std::mutex lock;
    std::condition_variable added;
    std::vector<int32_t> results;
  } offers;
  p->onDeliveryContext = &offers;
  p->onDelivery = [](void* context, busprobe::Path, uint64_t, uint32_t, void*, uint32_t length) -> uint32_t {
    if (length == (1u << 20)) {
      auto record = makeEvent(EventTypeAlarm, EventClassLive, 0x00500000u);
      const int32_t result = submitEventCallback(&record);
      auto& o = *static_cast<Offers*>(context);
      std::lock_guard guard(o.lock);
      o.results.push_back(result);
      o.added.notify_all();
    }
    return 0;
  };
  startLoopThread();
  {
    std::unique_lock guard(offers.lock);
    ASSERT_TRUE(offers.added.wait_for(guard, std::chrono::seconds(10),
                                      [&] { return offers.results.size() == static_cast<size_t>(accepted); }));
  }
  stopLoopThread();
  EXPECT_EQ(offers.results.front(), 1) << "refusing while most of the backlog waits";
  EXPECT_EQ(offers.results[accepted / 2 + 2], 0) << "accepted once half has been delivered";
  EXPECT_EQ(core->queuedBytes.load(), 0);
  EXPECT_EQ(blocksDelta(), 0);
}

// The queue's byte bound while nothing delivers: a plugin's records stop at
// the bound (its live video with the throttle's 5), the core's own still go,
// refusing lasts until half the bytes have been delivered, and nothing
// accepted is lost.
TEST_F(BusSubmit, QueueBoundRefusesPluginRecordsUntilHalfIsDelivered) {
  Probe* p = probe("bus_a");
  attach("bus_a");
  std::vector<char> mib(1 << 20, 'x');
  const auto size = static_cast<uint32_t>(mib.size());
  int accepted = 0;
  for (int i = 0; i < 64; ++i) {
    const int32_t result = submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u, mib.data(), size));
    if (result != 0) {
      EXPECT_EQ(result, 1);
      break;
    }
    ++accepted;
  }
  const int64_t cost = int64_t{size} + int64_t{sizeof(EventParms)};
  EXPECT_EQ(accepted, QueuedBytesLimit / cost);
  const auto video = counters.throttledVideo.load();
  EXPECT_EQ(submit(makeEvent(EventTypeVideo, EventClassLive, 0x00400000u, mib.data(), 32)), 5);
  EXPECT_EQ(counters.throttledVideo.load() - video, 1);
  EXPECT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u)), 1) << "a record alone is counted too";
  EXPECT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, CoreSourceId, mib.data(), size)), 0)
      << "the core's own records always go";

  std::vector<EventParms> taken;
  {
    std::lock_guard lock(core->queueLock);
    taken.swap(core->eventQueue);
  }
  size_t next = 0;
  while (core->queuedBytes.load() > QueuedBytesLimit - 4 * cost) core->dispatchRecord(taken.at(next++));
  EXPECT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u)), 1)
      << "below the bound, refusing goes on until half of it";
  while (core->queuedBytes.load() > QueuedBytesResume) core->dispatchRecord(taken.at(next++));
  EXPECT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u)), 0);
  while (next < taken.size()) core->dispatchRecord(taken[next++]);
  drain();
  // Every accepted record reached the plugin: the plugin's 1 MiB alarms, the
  // core's and the small one; and the lines saying refusing began and ended.
  int alarms = 0;
  std::vector<std::string> lines;
  for (const auto& d : p->deliveries) {
    if (d.record.type == EventTypeAlarm) ++alarms;
    if (d.record.type == EventTypeLog) lines.emplace_back(d.payload.begin(), d.payload.end());
  }
  EXPECT_EQ(alarms, accepted + 2);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("refusing records of plugins"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("accepts records again, 4 refused"), std::string::npos) << lines[1];
  EXPECT_EQ(core->queuedBytes.load(), 0);
  EXPECT_EQ(blocksDelta(), 0);
}

TEST_F(BusSubmit, AfterStopQueuedTypesAreRefusedButDecrefStillWorks) {
  Probe* p = probe("bus_a");
  p->retainAnswer = 1;
  attach("bus_a");
  const char text[] = "kept";
  ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u, text, sizeof text)), 0);
  drain();
  ASSERT_EQ(blocksDelta(), 1);

  for (uint32_t type : {EventTypeAlarm, EventTypeVideo, EventTypeUnspecified, 128u}) {
    EXPECT_EQ(submit(makeEvent(type, EventClassLive, 0x00400000u, text, sizeof text)), 1) << type;
  }
  EXPECT_EQ(core->queuedEvents(), 0u);
  EXPECT_EQ(blocksDelta(), 1);
  EXPECT_EQ(p->releaseRetained(), 1u);
  EXPECT_EQ(blocksDelta(), 0);
  EXPECT_EQ(bytesDelta(), 0);
  EXPECT_EQ(heldDelta(0x11), 0);
}

TEST_F(BusSubmit, RecordQueuedAfterLoopEndedIsRefusedAndFreed) {
  drain();
  const char text[] = "late";
  // Direct callers bypass the stop check; nothing would ever read the record.
  EXPECT_EQ(core->queueEvent(makeEvent(EventTypeConfig, EventClassLive, CoreSourceId, text, sizeof text)), 1);
  EXPECT_EQ(core->queuedEvents(), 0u);
  EXPECT_EQ(blocksDelta(), 0);
  EXPECT_EQ(heldDelta(0), 0);
}

TEST_F(BusSubmit, CoreDestroyedWithQueuedRecordsReleasesThem) {
  const char text[] = "never dispatched";
  for (int i = 0; i < 3; ++i) ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u, text, 16)), 0);
  EXPECT_EQ(blocksDelta(), 3);
  core.reset();
  coreInstance = nullptr;
  EXPECT_EQ(blocksDelta(), 0);
  EXPECT_EQ(heldDelta(0), 0);
}

TEST_F(BusSubmit, SecondDecrefForOneRetainedRecordIsIgnored) {
  Probe* a = probe("bus_a");
  Probe* b = probe("bus_b");
  a->retainAnswer = 1;
  b->retainAnswer = 1;
  attach("bus_a");
  attach("bus_b");
  const char text[] = "shared";
  ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u, text, sizeof text)), 0);
  drain();
  void* block = a->retained.at(0);
  auto decref = makeEvent(EventTypeDecref, 0, 0x00110000u, block, 0);
  EXPECT_EQ(submit(decref), 0);
  EXPECT_EQ(blocksDelta(), 1) << "plugin b still holds the block";
  EXPECT_EQ(submit(decref), 0);
  EXPECT_EQ(blocksDelta(), 1) << "a repeated decref must not take b's reference";
  EXPECT_EQ(heldDelta(0x11), 0);
  EXPECT_EQ(heldDelta(0x12), 1);
  b->releaseRetained();
  EXPECT_EQ(blocksDelta(), 0);
  EXPECT_EQ(submit(makeEvent(EventTypeDecref, 0, 0x00110000u)), 0) << "null data changes nothing";
  EXPECT_EQ(heldDelta(0x11), 0);
}

// A plugin that still holds one block gives back another one twice, and a
// pointer of its own: both are refused without touching any count or memory.
TEST_F(BusSubmit, ReleaseOfABlockNotHeldIsRefusedWhileAnotherIsHeld) {
  Probe* a = probe("bus_a");
  a->retainAnswer = 1;
  attach("bus_a");
  const char first[] = "first";
  const char second[] = "second";
  ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u, first, sizeof first)), 0);
  ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u, second, sizeof second)), 0);
  drain();
  ASSERT_EQ(a->retained.size(), 2u);
  auto decref = makeEvent(EventTypeDecref, 0, 0x00110000u, a->retained[0], 0);
  EXPECT_EQ(submit(decref), 0);
  EXPECT_EQ(submit(decref), 0) << "released twice";
  alignas(16) static uint8_t own[64] = {};
  EXPECT_EQ(submit(makeEvent(EventTypeDecref, 0, 0x00110000u, own + 16, 0)), 0);
  EXPECT_EQ(submit(makeEvent(EventTypeDecref, 0, 0x00110000u, own + 1, 0)), 0);
  EXPECT_EQ(blocksDelta(), 1);
  EXPECT_EQ(heldDelta(0x11), 1) << "the block still held is still counted";
  EXPECT_EQ(std::count(std::begin(own), std::end(own), 0), 64) << "foreign memory untouched";
  EXPECT_EQ(submit(makeEvent(EventTypeDecref, 0, 0x00110000u, a->retained[1], 0)), 0);
  EXPECT_EQ(blocksDelta(), 0);
  EXPECT_EQ(heldDelta(0x11), 0);
}

// The release rule (events/lending.h): a release during the call gives the
// lent reference back early and the call's answer takes nothing more; a
// source index held twice accepts each holder's release once. Under ASan a
// block freed under its holder shows as a use after free when the holder
// reads its payload.
using BusLending = BusTest;

EventParms patterned(std::vector<uint8_t>& bytes, uint8_t seed) {
  busprobe::fillPattern(bytes.data(), static_cast<uint32_t>(bytes.size()), seed);
  auto record = makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u, bytes.data(), static_cast<uint32_t>(bytes.size()));
  record.body.typeSpecificB[0] = seed;
  return record;
}

// Index 0 is held by a plugin speaking as the core before the call and by a
// plugin after it; the identifier-0 plugin in between gives its reference
// back from its own thread during the call and answers "not kept".
TEST_F(BusLending, IdentifierZeroReleaseInsideItsCallLeavesTheOtherHoldersTheirPayload) {
  Probe* before = probe("bus_core_id");
  Probe* zero = probe("bus_requester");
  Probe* after = probe("bus_b");
  before->retainAnswer = 1;
  zero->releaseInCall = Probe::ReleaseInCall::OtherThread;
  after->retainAnswer = 1;
  attach("bus_core_id");
  attach("bus_requester");
  attach("bus_b");
  std::vector<uint8_t> first(96), second(96);
  ASSERT_EQ(submit(patterned(first, 1)), 0);
  // A second record reuses the heap: a freed first block would now hold it.
  ASSERT_EQ(submit(patterned(second, 2)), 0);
  drain();
  ASSERT_EQ(before->retained.size(), 2u);
  ASSERT_EQ(after->retained.size(), 2u);
  EXPECT_EQ(blocksDelta(), 2) << "both holders keep both";
  EXPECT_EQ(heldDelta(0), 2);
  EXPECT_EQ(heldDelta(0x12), 2);
  EXPECT_TRUE(busprobe::hasPattern(after->retained[0], 96, 1));
  EXPECT_TRUE(busprobe::hasPattern(after->retained[1], 96, 2));
  EXPECT_EQ(after->releaseRetained(), 2u);
  EXPECT_EQ(blocksDelta(), 2);
  EXPECT_TRUE(busprobe::hasPattern(before->retained[0], 96, 1));
  EXPECT_TRUE(busprobe::hasPattern(before->retained[1], 96, 2));
  EXPECT_EQ(before->releaseRetained(), 2u);
  EXPECT_EQ(blocksDelta(), 0);
  EXPECT_EQ(heldDelta(0), 0);
  EXPECT_EQ(heldDelta(0x12), 0);
}

TEST_F(BusLending, ReleaseInsideACallAnsweredKeptLeavesTheCallerHoldingNothing) {
  Probe* a = probe("bus_a");
  Probe* b = probe("bus_b");
  a->releaseInCall = Probe::ReleaseInCall::SameThread;
  a->retainAnswer = 1;
  b->retainAnswer = 1;
  attach("bus_a");
  attach("bus_b");
  std::vector<uint8_t> bytes(64);
  ASSERT_EQ(submit(patterned(bytes, 7)), 0);
  drain();
  EXPECT_EQ(heldDelta(0x11), 0) << "given back during the call";
  EXPECT_EQ(heldDelta(0x12), 1);
  EXPECT_EQ(blocksDelta(), 1);
  // A second release from a is not one it holds, and must not take b's.
  EXPECT_EQ(a->releaseRetained(), 1u);
  EXPECT_EQ(blocksDelta(), 1);
  EXPECT_EQ(heldDelta(0x11), 0);
  ASSERT_EQ(b->retained.size(), 1u);
  EXPECT_TRUE(busprobe::hasPattern(b->retained[0], 64, 7));
  EXPECT_EQ(b->releaseRetained(), 1u);
  EXPECT_EQ(blocksDelta(), 0);
  EXPECT_EQ(heldDelta(0x12), 0);
}

// The logging plugin joins the list without a duplicate check, so it may
// share a plugin's identifier; both keep the record, and both releases count.
// A peak of listed blocks (a stalled recorder's retained frames) must not
// keep its tables once the blocks are gone; and while they go, in no
// particular order, every block still listed is still found, so its
// holder's release is taken; and the freed blocks kept for reuse stay within
// their bound.
TEST_F(BusLending, ListedBlockTablesShrinkAfterAPeak) {
  constexpr int Peak = 30000;
  constexpr uint8_t Holder = 0x21;
  const size_t before = listedBlockSlots();
  std::vector<void*> blocks;
  blocks.reserve(Peak);
  for (int i = 0; i < Peak; ++i) {
    void* block = allocRefBlock(nullptr, 16);
    ASSERT_NE(block, nullptr);
    ASSERT_TRUE(listRefBlock(block));
    openLend(block, Holder);
    ASSERT_EQ(settleLend(block, Holder, true), LendOutcome::Kept);
    blocks.push_back(block);
  }
  const size_t peak = listedBlockSlots();
  EXPECT_GE(peak, static_cast<size_t>(Peak) * 2);
  // A fixed stride through the list: neighbours in a table go far apart.
  size_t found = 0;
  for (size_t i = 0, at = 0; i < blocks.size(); ++i, at = (at + 7919) % blocks.size()) {
    found += takeLent(blocks[at], Holder) ? 1 : 0;
    freeRefBlock(blocks[at]);
  }
  EXPECT_EQ(found, blocks.size());
  EXPECT_LE(listedBlockSlots(), std::max(before, peak / 16)) << "peak " << peak;
  // Far more than the cache may keep went: it kept up to its bound, and gives
  // it all back when trimmed.
  const size_t cached = trimRefBlockCache();
  EXPECT_GT(cached, 0u);
  EXPECT_LE(cached, RefBlockCacheLimit);
  EXPECT_EQ(trimRefBlockCache(), 0u);
}

TEST_F(BusLending, TwoHoldersOfOneIndexEachReleaseExactlyOnce) {
  Probe* a = probe("bus_a");
  Probe* twin = probe("bus_a_twin");
  a->retainAnswer = 1;
  twin->retainAnswer = 1;
  attach("bus_a");
  core->logPlugin = attach("bus_a_twin");
  // The refusal line below would reach the logging plugin, which keeps it.
  core->logLevels[0] = 75;
  std::vector<uint8_t> bytes(80);
  ASSERT_EQ(submit(patterned(bytes, 3)), 0);
  drain();
  ASSERT_EQ(a->retained.size(), 1u);
  ASSERT_EQ(twin->retained.size(), 1u);
  EXPECT_EQ(heldDelta(0x11), 2);
  EXPECT_EQ(keptBy(a->retained[0], 0x11), 2u);
  auto decref = makeEvent(EventTypeDecref, 0, 0x00110000u, a->retained[0], 0);
  EXPECT_EQ(submit(decref), 0);
  EXPECT_EQ(blocksDelta(), 1);
  EXPECT_EQ(heldDelta(0x11), 1);
  EXPECT_TRUE(busprobe::hasPattern(twin->retained[0], 80, 3));
  EXPECT_EQ(submit(decref), 0) << "the second holder's release";
  EXPECT_EQ(blocksDelta(), 0);
  EXPECT_EQ(heldDelta(0x11), 0);
  EXPECT_EQ(submit(decref), 0) << "a third is no holder's";
  EXPECT_EQ(heldDelta(0x11), 0);
}

// A shard of the registry that cannot grow keeps every block it had listed:
// each holder's release is still accepted, and nothing is left behind.
TEST_F(BusLending, RegistryThatCannotGrowForgetsNoListedBlock) {
  const char byte = 1;
  std::vector<void*> held;
  auto keep = [&](void* block) {
    refBlockHeader(block)->refCount.fetch_add(1);  // the lent reference, kept
    EXPECT_EQ(lendForCall(block, 0x11, [] { return true; }), LendOutcome::Kept);
    held.push_back(block);
  };
  for (int i = 0; i < 256; ++i) {
    void* block = allocRefBlock(&byte, 1);
    ASSERT_TRUE(listRefBlock(block));
    keep(block);
  }
  // More blocks, each listed while this thread's allocations fail: the first
  // that needs its shard to grow is refused; those before it need no memory.
  int refused = 0;
  for (int i = 0; i < 4096 && refused == 0; ++i) {
    void* block = allocRefBlock(&byte, 1);
    failAllocations = true;
    const bool listed = listRefBlock(block);
    failAllocations = false;
    if (listed) {
      keep(block);
    } else {
      ++refused;
      freeRefBlock(block);
    }
  }
  ASSERT_EQ(refused, 1);
  for (void* block : held) EXPECT_EQ(core->releaseLentRef(block, 0x11), 0);
  EXPECT_EQ(blocksDelta(), 0) << "a release was refused: its block leaked";
  EXPECT_EQ(heldDelta(0x11), 0);
}

// Sixteen holders of one index keep one block, one more than its count can
// hold: the sixteenth keep is refused in a level-50 line, and the block is
// never freed under a holder.
TEST_F(BusLending, SixteenthKeepUnderOneIndexIsRefusedVisiblyAndFreesNothingEarly) {
  Probe* a = probe("bus_a");
  Probe* witness = probe("bus_b");
  a->retainAnswer = 1;
  for (int i = 0; i < 16; ++i) attach("bus_a");
  // The logging plugin: the line comes after the stop request.
  core->logPlugin = attach("bus_b");
  std::vector<uint8_t> bytes(48);
  ASSERT_EQ(submit(patterned(bytes, 9)), 0);
  drain();
  ASSERT_EQ(a->retained.size(), 16u);
  void* block = a->retained[0];
  EXPECT_EQ(heldDelta(0x11), 16);
  bool told = false;
  for (const auto& d : witness->deliveries) {
    const std::string_view text(reinterpret_cast<const char*>(d.payload.data()), d.payload.size());
    if (d.record.type == EventTypeLog && text.find("11 already holds one block 15 times") != text.npos) told = true;
  }
  EXPECT_TRUE(told);
  EXPECT_EQ(a->releaseRetained(), 16u);
  EXPECT_EQ(blocksDelta(), 1) << "the refused keep still holds it";
  EXPECT_TRUE(busprobe::hasPattern(block, 48, 9));
  EXPECT_EQ(heldDelta(0x11), 1);
  // The reference pinned for good goes with the test.
  EXPECT_EQ(core->releaseEventRef(block, 0x11), 0);
  EXPECT_EQ(blocksDelta(), 0);
}

using BusDispatch = BusTest;

TEST_F(BusDispatch, StopDrainsEveryQueuedRecordFirst) {
  Probe* p = probe("bus_a");
  attach("bus_a");
  for (uint8_t i = 0; i < 3; ++i) {
    auto record = makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u, &i, 1);
    record.body.typeSpecificB[1] = i;
    ASSERT_EQ(submit(record), 0);
  }
  core->requestStop();
  core->dispatchLoop();
  ASSERT_EQ(p->deliveries.size(), 3u);
  for (uint8_t i = 0; i < 3; ++i) EXPECT_EQ(p->deliveries[i].record.body.typeSpecificB[1], i);
  EXPECT_EQ(blocksDelta(), 0);
}

TEST_F(BusDispatch, UnwantedRecordCountsAndFreesItsBlock) {
  Probe* p = probe("bus_a");
  attach("bus_a");
  queueWarmUp();
  std::vector<uint8_t> payload(4096, 0xab);
  ASSERT_EQ(submit(makeEvent(128, EventClassLive, 0x00400000u, payload.data(), 4096)), 0);
  EXPECT_EQ(blocksDelta(), 1);
  EXPECT_EQ(bytesDelta(), 4096 + 16);
  EXPECT_EQ(heldDelta(0), 1);
  drain();
  EXPECT_TRUE(p->deliveries.empty());
  EXPECT_EQ(counters.eventsDispatched.load(), 1) << "counted since the warm-up's report";
  EXPECT_EQ(blocksDelta(), 0);
  EXPECT_EQ(bytesDelta(), 0);
  EXPECT_EQ(heldDelta(0), 0);
}

TEST_F(BusDispatch, RetainedRecordKeepsBlockUntilDecref) {
  Probe* p = probe("bus_a");
  p->retainAnswer = 0x100;  // only the low 8 bits count: not retained
  attach("bus_a");
  const char text[] = "0123456789";
  startLoopThread();
  ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u, text, 10)), 0);
  ASSERT_TRUE(p->waitFor([&] { return p->deliveries.size() == 1; }));
  {
    std::lock_guard guard(p->lock);
    p->retainAnswer = 1;
  }
  ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u, text, 10)), 0);
  stopLoopThread();
  EXPECT_EQ(blocksDelta(), 1);
  EXPECT_EQ(bytesDelta(), 26);
  EXPECT_EQ(heldDelta(0x11), 1);
  EXPECT_EQ(heldDelta(0), 0);
  ASSERT_EQ(p->retained.size(), 1u);
  EXPECT_EQ(std::memcmp(p->retained[0], text, 10), 0);
  p->releaseRetained();
  EXPECT_EQ(blocksDelta(), 0);
  EXPECT_EQ(bytesDelta(), 0);
  EXPECT_EQ(heldDelta(0x11), 0);
}

TEST_F(BusDispatch, PluginMaySubmitFromInsideOnEvent) {
  Probe* a = probe("bus_a");
  Probe* b = probe("bus_b");
  a->echoType = EventTypePos;
  b->info.alarmWord = WantBit;
  attach("bus_a");
  attach("bus_b");
  startLoopThread();
  ASSERT_EQ(submit(makeEvent(EventTypePos, EventClassLive, 0x00400000u)), 0);
  ASSERT_TRUE(b->waitFor([&] {
    for (const auto& d : b->deliveries) {
      if (d.record.type == EventTypeAlarm && d.record.source == 0x00110000u) return true;
    }
    return false;
  }));
  stopLoopThread();
  ASSERT_EQ(a->submitResults.size(), 1u);
  EXPECT_EQ(a->submitResults[0], 0);
}

// The loop reports a handler slower than 5 ms through the core's log (level
// 0), naming the plugin, the type and the record's producer.
TEST_F(BusDispatch, SlowHandlerIsReportedOnlyWhenCoreLogsDiagnostics) {
  Probe* a = probe("bus_a");
  Probe* b = probe("bus_b");
  a->slowType = EventTypeVideo;
  a->slowMicros = 6000;
  attach("bus_a");
  attach("bus_b");
  core->consoleQuiet = true;
  auto slowLines = [&] {
    std::vector<std::string> lines;
    for (const auto& d : b->deliveries) {
      if (d.record.type != EventTypeLog || d.record.source != CoreSourceId) continue;
      std::string text(d.payload.begin(), d.payload.end());
      if (text.find(" took ") != std::string::npos) lines.push_back(text);
    }
    return lines;
  };
  std::vector<uint8_t> frame(1234);
  startLoopThread();
  ASSERT_EQ(submit(makeEvent(EventTypeVideo, EventClassLive, 0x00000003u, frame.data(), 1234)), 0);
  // bus_b comes after bus_a: once it has the frame, a report would be queued.
  ASSERT_TRUE(b->waitFor([&] { return !b->deliveries.empty(); }));
  ASSERT_EQ(submit(makeEvent(EventTypePos, EventClassLive, 0x00400000u)), 0);  // a marker after it
  ASSERT_TRUE(b->waitFor([&] { return !b->deliveries.empty() && b->deliveries.back().record.type == EventTypePos; }));
  {
    std::lock_guard guard(b->lock);
    EXPECT_TRUE(slowLines().empty()) << "the default threshold drops level 0";
  }
  core->logLevels[0] = 0;
  ASSERT_EQ(submit(makeEvent(EventTypeVideo, EventClassLive, 0x00000003u, frame.data(), 1234)), 0);
  ASSERT_TRUE(b->waitFor([&] { return !slowLines().empty(); }));
  // A source no plugin speaks as (a camera a test plays) is named by its
  // identifier.
  ASSERT_EQ(submit(makeEvent(EventTypeVideo, EventClassLive, koSourceId(0x10, 1), frame.data(), 1)), 0);
  // Any plugin may be slow under a sanitizer; bus_a is, for this frame too.
  auto fromPi10 = [&] {
    for (const auto& text : slowLines()) {
      if (text.find("ms for video event from PI10 [1]") != std::string::npos) return true;
    }
    return false;
  };
  ASSERT_TRUE(b->waitFor(fromPi10));
  stopLoopThread();
  std::lock_guard guard(b->lock);
  const std::string line = slowLines().at(0);
  EXPECT_EQ(line.rfind("bus_a took ", 0), 0u) << line;
  const bool grouped = line.find("ms for video event from Core [1,234]") != std::string::npos;
  const bool plain = line.find("ms for video event from Core [1234]") != std::string::npos;
  EXPECT_TRUE(grouped || plain) << line;
}

TEST_F(BusDispatch, SlowLiveLogDeliveryIsTimedNotReported) {
  Probe* a = probe("bus_a");
  Probe* b = probe("bus_b");
  a->slowType = EventTypeLog;
  a->slowMicros = 10000;
  attach("bus_a");
  attach("bus_b");
  core->consoleQuiet = true;
  core->logLevels[0] = 0;
  const auto micros = counters.liveLogMicros.load();
  const char text[] = "camera 2 reconnected";
  auto log = makeEvent(EventTypeLog, EventClassLive | EventFlagText, 0x00400000u, text, sizeof text - 1);
  log.body.bodyParam = 50;
  ASSERT_EQ(submit(log), 0);
  drain();
  EXPECT_GE(counters.liveLogMicros.load() - micros, 10000);
  for (const auto& d : b->deliveries) {
    const std::string seen(d.payload.begin(), d.payload.end());
    EXPECT_EQ(seen.find(" took "), std::string::npos) << seen;
  }
}

// Also after a burst, whose records come close enough together for the loop
// to watch the queue between them: that watch ends, and the idle loop sleeps.
TEST_F(BusDispatch, EmptyQueueWakesEverySecondAndCountsIdle) {
  Probe* p = probe("bus_a");
  attach("bus_a");
  startPrimedLoop(p);  // the counters start from 0 after the first pass's report
  const uint64_t before = p->delivered.load();
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u)), 0);
  ASSERT_TRUE(ko::test::waitUntil([&] { return p->delivered.load() >= before + 2000; }));
  clockid_t loopClock;
  ASSERT_EQ(pthread_getcpuclockid(loopThread.native_handle(), &loopClock), 0);
  auto cpuNanos = [&] {
    timespec now{};
    clock_gettime(loopClock, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
  };
  const int64_t busy = cpuNanos();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (counters.idleSeconds.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const int64_t idleCpu = cpuNanos() - busy;
  stopLoopThread();
  EXPECT_GE(counters.idleSeconds.load(), 1);
  EXPECT_EQ(counters.queueLength.load(), 0);
  EXPECT_LT(idleCpu, 200'000'000) << "the loop kept watching an empty queue";
}

// InQ counts what still waits right after the loop took its current record,
// though the loop takes everything waiting in one batch.
TEST_F(BusDispatch, FirstReportCountsTheRecordsStillWaiting) {
  Probe* p = probe("bus_a");
  attach("bus_a");
  core->logLevels[0] = 25;
  for (int i = 0; i < 10; ++i) ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u)), 0);
  auto report = [&] {
    for (const auto& d : p->deliveries) {
      std::string text(d.payload.begin(), d.payload.end());
      if (d.record.type == EventTypeLog && text.rfind("InQ:", 0) == 0) return text;
    }
    return std::string();
  };
  startLoopThread();
  ASSERT_TRUE(p->waitFor([&] { return !report().empty(); }));
  stopLoopThread();
  std::lock_guard guard(p->lock);
  const std::string text = report();
  EXPECT_GE(std::stol(text.substr(4)), 9) << text;
}

// A batch that takes seconds to deliver still has the figures (and the io
// watch) looked at every second, not only when it was taken; what was queued
// meanwhile counts as waiting.
TEST_F(BusDispatch, LongBatchRefreshesTheQueueLengthEverySecond) {
  Probe* p = probe("bus_a");
  p->slowType = EventTypeAlarm;
  p->slowMicros = 600000;
  p->keepDeliveries = false;
  attach("bus_a");
  for (int i = 0; i < 4; ++i) ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u)), 0);
  startLoopThread();
  ASSERT_TRUE(ko::test::waitUntil([&] { return p->delivered.load() >= 1; }));
  EXPECT_EQ(counters.queueLength.load(), 3);
  for (int i = 0; i < 5; ++i) {
    auto unwanted = makeEvent(EventTypeUnspecified, 0, CoreSourceId);
    ASSERT_EQ(core->submitEvent(unwanted), 0);
  }
  // The second check falls on the third record, while the batch still runs:
  // one record of the batch and the five queued since wait.
  bool seen = false;
  ko::test::waitUntil([&] {
    if (p->delivered.load() >= 4) return true;
    seen = counters.queueLength.load() == 6;
    return seen;
  });
  EXPECT_TRUE(seen) << counters.queueLength.load();
  stopLoopThread();
}

// A backlog (a plugin stalled in "OnEvent" while others kept submitting)
// grows the queue and the loop's batch; once the loop is idle, neither keeps
// more than RetainedQueueCapacity records of storage.
TEST_F(BusDispatch, IdleLoopFreesTheStorageOfABacklog) {
  attach("bus_a");
  for (size_t i = 0; i < RetainedQueueCapacity * 8; ++i) {
    ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u)), 0);
  }
  // The batch's storage from an earlier backlog goes to the queue at the
  // take, the backlog's to the batch: both must be let go.
  core->dispatchBatch.reserve(RetainedQueueCapacity * 8);
  // The loop counts an idle second only after it has let the storage go.
  counters.idleSeconds.store(0);
  startLoopThread();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (counters.idleSeconds.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stopLoopThread();
  ASSERT_GE(counters.idleSeconds.load(), 1);
  std::lock_guard lock(core->queueLock);
  EXPECT_LE(core->eventQueue.capacity(), RetainedQueueCapacity);
  EXPECT_LE(core->dispatchBatch.capacity(), RetainedQueueCapacity);
}

// Under steady load the loop never idles: the storage goes once a short
// batch follows the backlog.
TEST_F(BusDispatch, BusyLoopFreesTheStorageOfABacklogOnceItIsOver) {
  Probe* p = probe("bus_a");
  attach("bus_a");
  core->dispatchBatch.reserve(RetainedQueueCapacity * 8);
  for (size_t i = 0; i < RetainedQueueCapacity * 8; ++i) {
    ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u)), 0);
  }
  counters.idleSeconds.store(0);
  startLoopThread();
  auto delivered = [&](size_t n) {
    return p->waitFor([&] { return p->deliveries.size() >= n; });
  };
  ASSERT_TRUE(delivered(RetainedQueueCapacity * 8));
  // Two short batches: one in each of the grown storages.
  for (size_t round = 1; round <= 2; ++round) {
    ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u)), 0);
    ASSERT_TRUE(delivered(RetainedQueueCapacity * 8 + round));
  }
  stopLoopThread();
  if (counters.idleSeconds.load() != 0) GTEST_SKIP() << "the loop idled: the busy path was not taken alone";
  std::lock_guard lock(core->queueLock);
  EXPECT_LE(core->eventQueue.capacity(), RetainedQueueCapacity);
  EXPECT_LE(core->dispatchBatch.capacity(), RetainedQueueCapacity);
}

// Several producers, a plugin that retains everything and gives it back from
// another thread, and one that only reads: every block ends up freed.
TEST_F(BusDispatch, ConcurrencyProducersAndRetainingReleaser) {
  constexpr int Producers = 4;
  constexpr int PerProducer = 400;
  constexpr uint64_t Total = Producers * PerProducer;
  Probe* a = probe("bus_a");
  Probe* b = probe("bus_b");
  a->retainAnswer = 1;
  a->keepDeliveries = b->keepDeliveries = false;
  a->checkBytes = b->checkBytes = true;
  attach("bus_a");
  attach("bus_b");
  startLoopThread();

  std::atomic<bool> producing{true};
  std::thread releaser([&] {
    while (producing.load() || a->delivered.load() < Total) {
      if (a->releaseRetained() == 0) std::this_thread::yield();
    }
    a->releaseRetained();
  });
  std::vector<std::thread> producers;
  std::atomic<int> refused{0};
  for (int t = 0; t < Producers; ++t) {
    producers.emplace_back([&, t] {
      std::vector<uint8_t> payload(512);
      for (int i = 0; i < PerProducer; ++i) {
        const auto length = static_cast<uint32_t>((i * 37 + t) % 512);
        const auto seed = static_cast<uint8_t>(i + t);
        busprobe::fillPattern(payload.data(), length, seed);
        auto record = makeEvent(EventTypeAlarm, EventClassLive, 0x00500000u + static_cast<uint32_t>(t),
                                payload.data(), length);
        record.body.typeSpecificB[0] = seed;
        if (submitEventCallback(&record) != 0) refused.fetch_add(1);
      }
    });
  }
  for (auto& t : producers) t.join();
  producing = false;
  ASSERT_TRUE(b->waitFor([&] { return b->delivered.load() >= Total; }, std::chrono::seconds(30)));
  releaser.join();
  stopLoopThread();
  a->releaseRetained();

  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(a->delivered.load(), Total);
  EXPECT_EQ(a->badRecords + b->badRecords, 0);
  EXPECT_EQ(blocksDelta(), 0);
  EXPECT_EQ(bytesDelta(), 0);
  EXPECT_EQ(heldDelta(0x11), 0);
  EXPECT_EQ(heldDelta(0), 0);
}

}  // namespace
}  // namespace ko::core::bustest
