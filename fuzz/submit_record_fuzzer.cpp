// Arbitrary 224-byte records through submitEventCallback into a core with
// real test plugins attached: two that take events (one through "IOCTL"), one
// that serves searches with one result each. Release, cancel, search, crypto,
// IPC, log and configuration records take their own paths in the core.
//
// Input: a count byte (1..4 records), the records, then payload bytes. A
// record whose `data` word is non-zero gets a heap copy of exactly `length`
// payload bytes (shortened to what the input holds); the submitter's own
// promises (a `data` that points at `length` bytes, a `context` that only it
// reads) are kept that way. Release records carry a null `data`: releasing
// pointers the core never handed out is a known, separate matter (set
// KO_FUZZ_FOREIGN_RELEASE=1 to let them keep the payload copy's address).
//
// After the records the queue is drained on this thread by the dispatch loop
// (so runs repeat), the search threads are awaited, and the core is made
// ready for the next run.
//
// Checks: nothing crashes or reports; every search thread ends; every payload
// block the core allocated is freed again once the queue is drained.
#include <dlfcn.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <thread>
#include <vector>

#include "core/core_io.h"
#include "events/ref_block.h"
#include "fuzz/fuzz_support.h"
#include "plugins/bus/bus_probe.h"
#include "plugins/plugin.h"

extern "C" int32_t submitEventCallback(ko::core::EventParms* record) noexcept;

namespace {

using namespace ko::core;
using busprobe::Probe;

struct Harness {
  const std::filesystem::path& directory = ko::fuzz::runDirectory("submit");
  std::unique_ptr<DvrCore> core;
  std::vector<Probe*> probes;

  Harness() {
    // Configuration deltas republish core.xml into the working directory.
    if (chdir(directory.c_str()) != 0) std::abort();
    core = ko::fuzz::quietCore(directory.string() + "/dvrcore");
    for (const char* name : {"bus_a", "bus_b", "bus_searcher"}) attach(std::string(KO_FUZZ_BUS_DIR) + "/" + name + ".so");
  }

  void attach(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW);
    if (handle == nullptr) ko::fuzz::fail(__FILE__, __LINE__, dlerror());
    auto probe = reinterpret_cast<Probe* (*)()>(dlsym(handle, "busProbe"))();
    probe->reset();
    auto plugin = LoadPlugin(path, submitEventCallback, nullptr, 0);
    if (!plugin->loaded()) ko::fuzz::fail(__FILE__, __LINE__, plugin->errorText.c_str());
    plugin->Open();
    std::unique_lock lock(core->pluginsLock);
    core->plugins.push_back(plugin);
    probes.push_back(probe);
  }

  // Each run starts with the probes as configured here and empty.
  void resetProbes() {
    for (Probe* probe : probes) {
      probe->reset();
      std::lock_guard guard(probe->lock);
      probe->keepDeliveries = false;
      probe->searchResults = 1;
      probe->resultLength = 8;
    }
  }
};

Harness& harness() {
  static Harness* h = new Harness;
  return *h;
}

void awaitSearchThreads(DvrCore& core) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (core.liveSearchThreads() != 0) {
    if (std::chrono::steady_clock::now() > deadline) ko::fuzz::fail(__FILE__, __LINE__, "search threads never end");
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  harness().resetProbes();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness& h = harness();
  DvrCore& core = *h.core;
  coreInstance = &core;
  const int32_t blocksBefore = refBlockCount.load();

  ko::fuzz::Reader in(data, size);
  const size_t count = in.take<uint8_t>() % 4 + 1;
  std::vector<EventParms> records(count);
  for (auto& record : records) {
    const std::string_view bytes = in.bytes(sizeof record);
    std::memset(&record, 0, sizeof record);
    std::memcpy(&record, bytes.data(), bytes.size());
  }
  std::string_view payload = in.rest();

  for (auto& record : records) {
    std::unique_ptr<uint8_t[]> owned;
    static const bool foreignRelease = std::getenv("KO_FUZZ_FOREIGN_RELEASE") != nullptr;
    const bool release = baseType(record.type) == EventTypeDecref && !foreignRelease;
    if (record.data != nullptr && !release) {
      record.length = static_cast<uint32_t>(std::min<size_t>(record.length, payload.size()));
      if (record.length != 0) {
        owned.reset(new uint8_t[record.length]);
        std::memcpy(owned.get(), payload.data(), record.length);
        payload.remove_prefix(record.length);
      }
      record.data = owned.get();
    } else {
      record.data = nullptr;
    }
    record.body.context = nullptr;
    (void)submitEventCallback(&record);
  }

  // Drain: the loop returns once a stop is requested and the queue is empty.
  core.requestStop();
  core.dispatchLoop();
  awaitSearchThreads(core);
  core.io->context.restart();
  core.io->context.poll();
  core.stopRequested = false;
  {
    std::lock_guard lock(core.searchLock);
    core.cancelledSearches.clear();
  }
  h.resetProbes();
  KO_FUZZ_CHECK(core.queuedEvents() == 0);
  KO_FUZZ_CHECK(refBlockCount.load() == blocksBefore);
  return 0;
}
