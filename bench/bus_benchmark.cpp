// Events per second from the plugins' submission callback to their "OnEvent",
// through the real core (submission, payload block, queue, dispatch loop,
// interest test, references), beside a plain queue of the same shape: a
// mutex, a deque of 224-byte records, a condition variable, one malloc and
// memcpy per payload, one consumer thread calling the same plugins' "OnEvent"
// pointers. Both drive the same real plugin libraries, so the ratio is the
// core's own overhead.
//
// Allocations are counted by interposing malloc, to show that the core copies
// each payload exactly once whatever the number of receivers.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/dvr_core.h"
#include "events/ref_block.h"
#include "plugins/bus/bus_probe.h"
#include "plugins/plugin.h"

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
    // The core's block is the payload plus its header and holder record.
    if (payload != 0 && (size == payload || size == payload + ko::core::RefBlockOverhead)) {
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
  state.counters["payloadCopies/event"] = static_cast<double>(payloadSizedAllocs.load()) / n;
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
    EventParms copy = record;
    if (record.length != 0) {
      copy.data = std::malloc(record.length);
      std::memcpy(copy.data, record.data, record.length);
    }
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

void BM_ReferenceQueue(benchmark::State& state) {
  const auto payloadLength = static_cast<uint32_t>(state.range(0));
  const auto consumers = static_cast<int>(state.range(1));
  std::vector<uint8_t> payload(payloadLength, 0x5a);
  std::vector<OnEventFn> handlers;
  Probe* last = nullptr;
  for (int i = 0; i < consumers; ++i) {
    handlers.push_back(library(i).onEvent);
    last = library(i).probe;
  }
  ReferenceQueue queue(handlers);
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

BENCHMARK(BM_ReferenceQueue)->ArgsProduct({{0, 64, 4096, 65536}, {1, 4}})->UseRealTime();
BENCHMARK(BM_CoreBus)->ArgsProduct({{0, 64, 4096, 65536}, {1, 4}})->UseRealTime();

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
  for (auto _ : state) benchmark::DoNotOptimize(plugin->DeliverEvent(record));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

BENCHMARK(BM_OnEventDirect);
BENCHMARK(BM_OnEventRecorded);

// Prints the core's throughput as a share of the reference queue's for each
// payload and consumer count after the usual table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      const std::string name = run.benchmark_name();
      const auto slash = name.find('/');
      if (name == "BM_OnEventDirect" || name == "BM_OnEventRecorded") callNanos_[name] = run.GetAdjustedCPUTime();
      auto it = run.counters.find("items_per_second");
      if (slash == std::string::npos || it == run.counters.end()) continue;
      rates_[name.substr(slash)][name.substr(0, slash)] = it->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-16s %14s %14s %8s\n", "payload/plugins", "reference/s", "core/s", "core/ref");
    for (const auto& [args, byName] : rates_) {
      auto ref = byName.find("BM_ReferenceQueue");
      auto core = byName.find("BM_CoreBus");
      if (ref == byName.end() || core == byName.end()) continue;
      std::printf("%-16s %14.0f %14.0f %8.2f\n", args.c_str(), ref->second, core->second, core->second / ref->second);
    }
    if (callNanos_.size() == 2) {
      const double direct = callNanos_["BM_OnEventDirect"];
      const double recorded = callNanos_["BM_OnEventRecorded"];
      std::printf("\nOnEvent call recorded/direct %.2f (%+.1f ns CPU per plugin call)\n", recorded / direct,
                  recorded - direct);
    }
  }

 private:
  std::map<std::string, std::map<std::string, double>> rates_;
  std::map<std::string, double> callNanos_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
