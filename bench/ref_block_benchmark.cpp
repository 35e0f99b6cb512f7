// The per-record and per-delivery costs of payload ownership, each beside the
// plain operation it extends:
//   - a payload block's life (allocation, its listing for release checks when
//     first lent, free with its removal) against malloc, memcpy and free of
//     the same bytes;
//   - one delivery's references (lent for the call, settled as not kept)
//     against the plain count up and down;
//   - a release record's check (registry lookup, lent reference given back
//     during the call) on top of the lend;
//   - the 224-byte copy each plugin now gets, against handing over the
//     core's own record.
// Single-threaded: these are the fixed costs a dispatch pass adds.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/dvr_core.h"
#include "events/lending.h"
#include "events/ref_block.h"

namespace {

using namespace ko::core;

DvrCore& core() {
  static auto* instance = new DvrCore("/nonexistent/dvrcore");
  return *instance;
}

void BM_PlainBlock(benchmark::State& state) {
  const auto length = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> payload(length, 0x5a);
  for (auto _ : state) {
    void* block = std::malloc(length + 16);
    std::memcpy(static_cast<uint8_t*>(block) + 16, payload.data(), length);
    benchmark::DoNotOptimize(block);
    std::free(block);
  }
}

void BM_RefBlock(benchmark::State& state) {
  const auto length = static_cast<uint32_t>(state.range(0));
  std::vector<uint8_t> payload(length, 0x5a);
  // Other blocks alive, as in a queue under load.
  std::vector<void*> alive;
  for (int i = 0; i < 256; ++i) {
    alive.push_back(allocRefBlock(payload.data(), length));
    listRefBlock(alive.back());
  }
  for (auto _ : state) {
    void* block = allocRefBlock(payload.data(), length);
    listRefBlock(block);
    benchmark::DoNotOptimize(block);
    freeRefBlock(block);
  }
  for (void* block : alive) freeRefBlock(block);
}

void BM_PlainDeliveryRefs(benchmark::State& state) {
  const char text[64] = {};
  void* block = allocRefBlock(text, sizeof text);
  core().addEventRef(block, 0);
  for (auto _ : state) {
    core().addEventRef(block, 0x11);
    core().releaseEventRef(block, 0x11);
  }
  core().releaseEventRef(block, 0);
}

void BM_LentDeliveryRefs(benchmark::State& state) {
  const char text[64] = {};
  void* block = allocRefBlock(text, sizeof text);
  listRefBlock(block);
  core().addEventRef(block, 0);
  for (auto _ : state) {
    refBlockHeader(block)->refCount.fetch_add(1, std::memory_order_relaxed);
    if (lendForCall(block, 0x11, [] { return false; }) == LendOutcome::Returned) {
      refBlockHeader(block)->refCount.fetch_sub(1, std::memory_order_relaxed);
    }
  }
  core().releaseEventRef(block, 0);
}

void BM_LentAndReleasedByRecord(benchmark::State& state) {
  const char text[64] = {};
  void* block = allocRefBlock(text, sizeof text);
  listRefBlock(block);
  core().addEventRef(block, 0);
  for (auto _ : state) {
    refBlockHeader(block)->refCount.fetch_add(1, std::memory_order_relaxed);
    (void)lendForCall(block, 0x11, [block] {
      core().releaseLentRef(block, 0x11);
      return false;
    });
  }
  core().releaseEventRef(block, 0);
}

int consume(EventParms* record) {
  benchmark::DoNotOptimize(record->length);
  return 0;
}
int (*volatile handler)(EventParms*) = consume;

void BM_SharedRecord(benchmark::State& state) {
  auto record = makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u);
  for (auto _ : state) benchmark::DoNotOptimize(handler(&record));
}

void BM_CopiedRecord(benchmark::State& state) {
  auto record = makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u);
  for (auto _ : state) {
    EventParms copy = record;
    benchmark::DoNotOptimize(handler(&copy));
  }
}

}  // namespace

BENCHMARK(BM_PlainBlock)->Arg(64)->Arg(4096);
BENCHMARK(BM_RefBlock)->Arg(64)->Arg(4096);
BENCHMARK(BM_PlainDeliveryRefs);
BENCHMARK(BM_LentDeliveryRefs);
BENCHMARK(BM_LentAndReleasedByRecord);
BENCHMARK(BM_SharedRecord);
BENCHMARK(BM_CopiedRecord);

BENCHMARK_MAIN();
