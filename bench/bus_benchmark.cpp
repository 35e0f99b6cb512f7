// Events per second from the plugins' submission callback to their "OnEvent",
// through the real core (submission, payload block, queue, dispatch loop,
// interest test, references), beside a plain queue of the same shape: a
// mutex, a deque of 224-byte records, a condition variable, one malloc and
// memcpy per payload, one consumer thread calling the same plugins' "OnEvent"
// pointers. Both drive the same real plugin libraries, so the ratio is the
// core's own overhead. Core and reference run as interleaved pairs
// (paired.h); the table at the end gives the median core/reference ratio.
// The second reference is the lock-free queue users would pick instead
// (moodycamel's BlockingConcurrentQueue, benchmark only) doing the core's
// work per record: the same payload copy, a bulk dequeue into one consumer
// thread, each plugin's own copy of the record and its "OnEvent" call.
//
// Then the latency from submission to "OnEvent" at fixed offered loads from
// four producer threads, core and both references in alternating short
// slices, reported beside each other (--no-latency skips it,
// --latency-only runs nothing else).
//
// Allocations are counted by interposing malloc, to show that a payload costs
// the core at most one allocation whatever the number of receivers, and
// mostly none once its freed blocks are reused (payloadMallocs/event).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <sys/prctl.h>

#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <concurrentqueue/blockingconcurrentqueue.h>

#include "core/dvr_core.h"
#include "events/ref_block.h"
#include "plugins/bus/bus_probe.h"
#include "plugins/plugin.h"
#include "latency_probe.h"
#include "paired.h"

extern "C" int32_t submitEventCallback(ko::core::EventParms* record) noexcept;

// --- allocation counting -----------------------------------------------------

namespace {
std::atomic<bool> countingAllocs{false};
std::atomic<uint64_t> allocCount{0};
std::atomic<uint64_t> allocBytes{0};
std::atomic<uint64_t> payloadSizedAllocs{0};
std::atomic<size_t> payloadSize{0};
}  // namespace

extern "C" void* __libc_malloc(size_t size);
extern "C" void* malloc(size_t size) {
  if (countingAllocs.load(std::memory_order_relaxed)) {
    allocCount.fetch_add(1, std::memory_order_relaxed);
    allocBytes.fetch_add(size, std::memory_order_relaxed);
    const size_t payload = payloadSize.load(std::memory_order_relaxed);
    // The core's block is the payload (rounded up to its size class when
    // small) plus its header and holder record.
    if (payload != 0 && (size == payload || size == payload + ko::core::RefBlockOverhead ||
                         size == std::bit_ceil(std::max<size_t>(payload, 64)) + ko::core::RefBlockOverhead)) {
      payloadSizedAllocs.fetch_add(1, std::memory_order_relaxed);
    }
  }
  return __libc_malloc(size);
}

namespace {

using namespace ko::core;
using busprobe::Probe;

constexpr int Batch = 256;
const char* const PluginNames[] = {"bus_a", "bus_b", "bus_c", "bus_d"};

std::string pluginPath(const char* name) { return std::string(BUS_PLUGIN_DIR) + "/" + name + ".so"; }

struct Library {
  void* handle = nullptr;
  Probe* probe = nullptr;
  OnEventFn onEvent = nullptr;
};

// The plugin libraries stay mapped for the whole run; each benchmark resets
// their probes to count-only.
Library& library(int i) {
  static Library libs[4];
  Library& lib = libs[i];
  if (lib.handle == nullptr) {
    lib.handle = dlopen(pluginPath(PluginNames[i]).c_str(), RTLD_NOW);
    if (lib.handle == nullptr) {
      std::fprintf(stderr, "%s\n", dlerror());
      std::abort();
    }
    lib.probe = reinterpret_cast<Probe* (*)()>(dlsym(lib.handle, "busProbe"))();
    lib.onEvent = reinterpret_cast<OnEventFn>(dlsym(lib.handle, "OnEvent"));
  }
  lib.probe->reset();
  lib.probe->countOnly = true;
  return lib;
}

void waitDelivered(Probe* last, uint64_t target) {
  while (last->delivered.load(std::memory_order_acquire) < target) std::this_thread::yield();
}

void startCounting(size_t payload) {
  allocCount = 0;
  allocBytes = 0;
  payloadSizedAllocs = 0;
  payloadSize = payload;
  countingAllocs = true;
}

void reportCounts(benchmark::State& state, uint64_t events) {
  countingAllocs = false;
  const double n = static_cast<double>(events);
  state.counters["allocs/event"] = static_cast<double>(allocCount.load()) / n;
  state.counters["allocB/event"] = static_cast<double>(allocBytes.load()) / n;
  state.counters["payloadMallocs/event"] = static_cast<double>(payloadSizedAllocs.load()) / n;
  state.SetItemsProcessed(static_cast<int64_t>(events));
  state.SetBytesProcessed(static_cast<int64_t>(events * payloadSize.load()));
}

void BM_CoreBus(benchmark::State& state) {
  const auto payloadLength = static_cast<uint32_t>(state.range(0));
  const auto consumers = static_cast<int>(state.range(1));
  std::vector<uint8_t> payload(payloadLength, 0x5a);

  auto core = std::make_unique<DvrCore>("/nonexistent/dvrcore");
  coreInstance = core.get();
  // The statistics report would join the measured stream as a log record.
  core->logLevels[0] = 50;
  core->consoleQuiet = true;
  Probe* last = nullptr;
  for (int i = 0; i < consumers; ++i) {
    last = library(i).probe;
    auto plugin = LoadPlugin(pluginPath(PluginNames[i]), submitEventCallback, nullptr, 0);
    plugin->Open();
    core->plugins.push_back(plugin);
  }
  std::thread loop([&] { core->dispatchLoop(); });

  auto record = makeEvent(EventTypeAlarm, EventClassLive, 0x00600000u, payload.empty() ? nullptr : payload.data(),
                          payloadLength);
  uint64_t target = 0;
  const int64_t blocksBefore = refBlockCount.load();
  startCounting(payloadLength);
  for (auto _ : state) {
    for (int i = 0; i < Batch; ++i) submitEventCallback(&record);
    target += Batch;
    waitDelivered(last, target);
  }
  reportCounts(state, target);
  core->requestStop();
  loop.join();
  if (refBlockCount.load() != blocksBefore) state.SkipWithError("payload blocks left behind");
  core.reset();
  coreInstance = nullptr;
}

// What both reference queues queue: the record with a malloc'ed copy of its
// payload, freed by the consumer after the calls.
EventParms withPayloadCopy(const EventParms& record) {
  EventParms copy = record;
  if (record.length != 0) {
    copy.data = std::malloc(record.length);
    std::memcpy(copy.data, record.data, record.length);
  }
  return copy;
}

// The plain queue the core is measured against.
class ReferenceQueue {
 public:
  explicit ReferenceQueue(std::vector<OnEventFn> handlers) : handlers_(std::move(handlers)) {
    consumer_ = std::thread([this] { run(); });
  }
  ~ReferenceQueue() {
    {
      std::lock_guard lock(lock_);
      stop_ = true;
    }
    signal_.notify_one();
    consumer_.join();
  }
  void push(const EventParms& record) {
    const EventParms copy = withPayloadCopy(record);
    {
      std::lock_guard lock(lock_);
      queue_.push_back(copy);
    }
    signal_.notify_one();
  }

 private:
  void run() {
    for (;;) {
      EventParms record;
      {
        std::unique_lock lock(lock_);
        signal_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        record = queue_.front();
        queue_.pop_front();
      }
      for (OnEventFn handler : handlers_) handler(&record);
      std::free(record.data);
    }
  }

  std::vector<OnEventFn> handlers_;
  std::mutex lock_;
  std::condition_variable signal_;
  std::deque<EventParms> queue_;
  bool stop_ = false;
  std::thread consumer_;
};

// The lock-free queue doing the core's work per record. Submitters carry no
// producer token, as plugins' threads calling the core's callback would not.
class LockFreeQueue {
 public:
  explicit LockFreeQueue(std::vector<OnEventFn> handlers) : handlers_(std::move(handlers)) {
    consumer_ = std::thread([this] { run(); });
  }
  ~LockFreeQueue() {
    stop_.store(true, std::memory_order_release);
    consumer_.join();
  }
  void push(const EventParms& record) {
    const EventParms copy = withPayloadCopy(record);
    queue_.enqueue(copy);
  }

 private:
  // What one bulk dequeue takes at most, and how long the consumer waits
  // before it looks at the stop flag again.
  static constexpr size_t BulkTake = 256;
  static constexpr int64_t StopPollMicros = 10'000;

  void run() {
    moodycamel::ConsumerToken token(queue_);
    std::vector<EventParms> batch(BulkTake);
    for (;;) {
      const size_t taken = queue_.wait_dequeue_bulk_timed(token, batch.data(), BulkTake, StopPollMicros);
      if (taken == 0) {
        if (stop_.load(std::memory_order_acquire) && queue_.size_approx() == 0) return;
        continue;
      }
      for (size_t i = 0; i < taken; ++i) {
        for (OnEventFn handler : handlers_) {
          EventParms copy = batch[i];
          handler(&copy);
        }
        std::free(batch[i].data);
      }
    }
  }

  std::vector<OnEventFn> handlers_;
  moodycamel::BlockingConcurrentQueue<EventParms> queue_;
  std::atomic<bool> stop_{false};
  std::thread consumer_;
};

template <typename Queue>
void BM_Baseline(benchmark::State& state) {
  const auto payloadLength = static_cast<uint32_t>(state.range(0));
  const auto consumers = static_cast<int>(state.range(1));
  std::vector<uint8_t> payload(payloadLength, 0x5a);
  std::vector<OnEventFn> handlers;
  Probe* last = nullptr;
  for (int i = 0; i < consumers; ++i) {
    handlers.push_back(library(i).onEvent);
    last = library(i).probe;
  }
  Queue queue(handlers);
  auto record = makeEvent(EventTypeAlarm, EventClassLive, 0x00600000u, payload.empty() ? nullptr : payload.data(),
                          payloadLength);
  uint64_t target = 0;
  startCounting(payloadLength);
  for (auto _ : state) {
    for (int i = 0; i < Batch; ++i) queue.push(record);
    target += Batch;
    waitDelivered(last, target);
  }
  reportCounts(state, target);
}

// --- latency -----------------------------------------------------------------

constexpr int Producers = 4;
constexpr uint32_t LatencyPayload = 64;

struct LatencyLibrary {
  void* handle = nullptr;
  LatencyProbe* probe = nullptr;
  OnEventFn onEvent = nullptr;
};

LatencyLibrary& latencyLibrary() {
  static LatencyLibrary lib;
  if (lib.handle == nullptr) {
    lib.handle = dlopen(LATENCY_PLUGIN, RTLD_NOW);
    if (lib.handle == nullptr) {
      std::fprintf(stderr, "%s\n", dlerror());
      std::abort();
    }
    lib.probe = reinterpret_cast<LatencyProbeFn>(dlsym(lib.handle, "latencyProbe"))();
    lib.onEvent = reinterpret_cast<OnEventFn>(dlsym(lib.handle, "OnEvent"));
  }
  return lib;
}

int64_t steadyNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Offers `rate` records a second for `seconds` from four threads, each on its
// own fixed schedule (a thread that falls behind sends at once to catch
// up), through `submit`; returns the submission-to-"OnEvent" times.
template <typename Submit>
std::vector<int64_t> offerLoad(int rate, double seconds, Submit submit) {
  LatencyProbe* probe = latencyLibrary().probe;
  const auto perThread = static_cast<uint64_t>(rate * seconds / Producers);
  const uint64_t total = perThread * Producers;
  std::vector<int64_t> samples(total);
  probe->samples = samples.data();
  probe->capacity = samples.size();
  probe->count = 0;
  probe->delivered = 0;

  const auto interval = std::chrono::nanoseconds(static_cast<int64_t>(1e9 * Producers / rate));
  const auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
  std::vector<std::thread> producers;
  for (int t = 0; t < Producers; ++t) {
    producers.emplace_back([&, t] {
      // Wake-ups as close to the schedule as the kernel allows.
      prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
      std::vector<uint8_t> payload(LatencyPayload, 0x5a);
      auto record = makeEvent(EventTypeAlarm, EventClassLive, 0x00600000u, payload.data(), LatencyPayload);
      // The threads' schedules are staggered across one interval.
      auto next = start + interval * t / Producers;
      for (uint64_t i = 0; i < perThread; ++i, next += interval) {
        std::this_thread::sleep_until(next);
        const int64_t now = steadyNanos();
        std::memcpy(record.body.typeSpecificB, &now, sizeof now);
        submit(record);
      }
    });
  }
  for (auto& p : producers) p.join();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (probe->delivered.load(std::memory_order_acquire) < total && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  samples.resize(std::min<uint64_t>(probe->delivered.load(std::memory_order_acquire), total));
  probe->samples = nullptr;
  probe->capacity = 0;
  return samples;
}

std::vector<int64_t> coreLatency(int rate, double seconds) {
  auto core = std::make_unique<DvrCore>("/nonexistent/dvrcore");
  coreInstance = core.get();
  core->logLevels[0] = 50;
  core->consoleQuiet = true;
  latencyLibrary();
  auto plugin = LoadPlugin(LATENCY_PLUGIN, submitEventCallback, nullptr, 0);
  if (plugin->loadCode != 0) {
    std::fprintf(stderr, "latency plugin: %s\n", plugin->errorText.c_str());
    std::abort();
  }
  plugin->Open();
  core->plugins.push_back(plugin);
  std::thread loop([&] { core->dispatchLoop(); });
  auto samples = offerLoad(rate, seconds, [](EventParms& record) { submitEventCallback(&record); });
  core->requestStop();
  loop.join();
  core.reset();
  coreInstance = nullptr;
  return samples;
}

template <typename Queue>
std::vector<int64_t> baselineLatency(int rate, double seconds) {
  Queue queue({latencyLibrary().onEvent});
  return offerLoad(rate, seconds, [&](const EventParms& record) { queue.push(record); });
}

double percentile(std::vector<int64_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  const auto rank = static_cast<size_t>(p / 100 * static_cast<double>(sorted.size() - 1) + 0.5);
  return static_cast<double>(sorted[std::min(rank, sorted.size() - 1)]) / 1000;
}

// A shared machine's load changes over seconds, which would pass for a
// difference if the core ran for seconds and then a reference did. So each
// load runs as many short slices, core, plain queue and lock-free queue in
// turn (each round of slices sees nearly the same machine, and the order
// rotates so no side always comes first), and every slice's samples are
// pooled by side. The slices are also cut into `groups` runs of consecutive
// rounds, whose p99 ratios give the spread. Latency is reported, not judged.
void runLatency(int groups) {
  constexpr int RoundsPerGroup = 6;
  constexpr int Sides = 3;  // core, plain queue, lock-free queue
  std::printf("\nSubmission to \"OnEvent\", microseconds; %d producer threads, %u-byte payload, one plugin; "
              "%d rounds of core / plain queue / lock-free queue slices per load, percentiles over each side's "
              "pooled samples; p99 ratios core/plain and core/lock-free, spread over %d groups of %d rounds.\n",
              Producers, LatencyPayload, groups * RoundsPerGroup, groups, RoundsPerGroup);
  std::printf("| %-13s | %-22s | %-26s | %-28s | %-38s |\n", "offered load", "p50 core / plain / lf",
              "p99 core / plain / lf", "p99.9 core / plain / lf", "p99 ratio plain, lf (lo-hi)");
  for (int rate : {1000, 10000, 100000}) {
    // At least 250 samples a slice.
    const double seconds = std::max(0.1, 250.0 / rate);
    std::vector<int64_t> pooled[Sides];
    std::vector<double> groupRatios[Sides];
    for (int g = 0; g < groups; ++g) {
      std::vector<int64_t> slices[Sides];
      for (int i = 0; i < RoundsPerGroup; ++i) {
        for (int k = 0; k < Sides; ++k) {
          const int side = (i + k) % Sides;
          auto samples = side == 0   ? coreLatency(rate, seconds)
                         : side == 1 ? baselineLatency<ReferenceQueue>(rate, seconds)
                                     : baselineLatency<LockFreeQueue>(rate, seconds);
          slices[side].insert(slices[side].end(), samples.begin(), samples.end());
        }
      }
      for (auto& s : slices) std::sort(s.begin(), s.end());
      for (int side = 1; side < Sides; ++side) {
        if (percentile(slices[side], 99) > 0) {
          groupRatios[side].push_back(percentile(slices[0], 99) / percentile(slices[side], 99));
        }
      }
      for (int side = 0; side < Sides; ++side) {
        pooled[side].insert(pooled[side].end(), slices[side].begin(), slices[side].end());
      }
    }
    for (auto& s : pooled) std::sort(s.begin(), s.end());
    auto triple = [&](double p) {
      char text[48];
      std::snprintf(text, sizeof text, "%.1f / %.1f / %.1f", percentile(pooled[0], p), percentile(pooled[1], p),
                    percentile(pooled[2], p));
      return std::string(text);
    };
    std::string ratios;
    for (int side = 1; side < Sides; ++side) {
      const double ref = percentile(pooled[side], 99);
      const auto [lo, hi] = std::minmax_element(groupRatios[side].begin(), groupRatios[side].end());
      char text[48];
      std::snprintf(text, sizeof text, "%s%.2f (%.2f-%.2f)", side == 1 ? "" : ", ",
                    ref > 0 ? percentile(pooled[0], 99) / ref : 0.0, groupRatios[side].empty() ? 0.0 : *lo,
                    groupRatios[side].empty() ? 0.0 : *hi);
      ratios += text;
    }
    char load[32];
    std::snprintf(load, sizeof load, "%d rec/s", rate);
    std::printf("| %-13s | %-22s | %-26s | %-28s | %-38s |\n", load, triple(50).c_str(), triple(99).c_str(),
                triple(99.9).c_str(), ratios.c_str());
    std::fflush(stdout);
  }
}

// What recording each plugin call (for the fatal-signal report and the
// stuck-call watch) costs the dispatch loop: one plugin's "OnEvent" called
// through its bare pointer, and through Plugin::DeliverEvent, which records
// the call around it.
void BM_OnEventDirect(benchmark::State& state) {
  OnEventFn onEvent = library(0).onEvent;
  auto record = makeEvent(EventTypeAlarm, EventClassLive, 0x00600000u, nullptr, 0);
  for (auto _ : state) {
    // DeliverEvent hands each plugin a copy of its own.
    EventParms copy = record;
    benchmark::DoNotOptimize(onEvent(&copy));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_OnEventRecorded(benchmark::State& state) {
  library(0);
  auto plugin = LoadPlugin(pluginPath(PluginNames[0]), submitEventCallback, nullptr, 0);
  plugin->Open();
  auto record = makeEvent(EventTypeAlarm, EventClassLive, 0x00600000u, nullptr, 0);
  // One plugin per record: the loop's one clock reading per record is this
  // call's.
  for (auto _ : state) benchmark::DoNotOptimize(plugin->DeliverEvent(record, callClockNanos()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void registerBusCells(int pairs) {
  // Both references must be matched; at 64 KiB the payload copy is all there
  // is to measure, so the lock-free queue's row there is shown only.
  for (const char* baseline : {"plain", "lockfree"}) {
    const bool plain = std::strcmp(baseline, "plain") == 0;
    for (int64_t payload : {0, 64, 4096, 65536}) {
      for (int64_t consumers : {1, 4}) {
        char cell[48], label[80];
        std::snprintf(cell, sizeof cell, "bus-%s/%lld/%lld", baseline, static_cast<long long>(payload),
                      static_cast<long long>(consumers));
        std::snprintf(label, sizeof label, "bus, %lld B payload, %lld consumer%s / %s",
                      static_cast<long long>(payload), static_cast<long long>(consumers), consumers == 1 ? "" : "s",
                      plain ? "plain queue" : "lock-free queue");
        const double target = plain || payload < 65536 ? 1.0 : 0;
        kobench::registerPairs(cell, {label, target}, pairs, BM_CoreBus,
                               plain ? BM_Baseline<ReferenceQueue> : BM_Baseline<LockFreeQueue>,
                               [payload, consumers](benchmark::internal::Benchmark* b) {
                                 b->Args({payload, consumers})->UseRealTime()->MinTime(0.1);
                               });
      }
    }
  }
  kobench::registerPairs("call/OnEvent", {"OnEvent call recorded (DeliverEvent) / bare pointer", 0}, pairs,
                         BM_OnEventRecorded, BM_OnEventDirect,
                         [](benchmark::internal::Benchmark* b) { b->UseRealTime()->MinTime(0.1); });
}

bool takeFlag(int& argc, char** argv, const char* flag) {
  bool found = false;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], flag) == 0) {
      found = true;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  const int pairs = kobench::takePairsArgument(argc, argv);
  const bool quiet = kobench::takeQuietArgument(argc, argv);
  const bool noLatency = takeFlag(argc, argv, "--no-latency");
  const bool latencyOnly = takeFlag(argc, argv, "--latency-only");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!latencyOnly) {
    registerBusCells(pairs);
    kobench::PairedReporter reporter(quiet);
    benchmark::RunSpecifiedBenchmarks(&reporter);
  }
  if (!noLatency) runLatency(pairs);
  benchmark::Shutdown();
  return 0;
}
