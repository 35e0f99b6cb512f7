// Arbitrary 224-byte records through submitEventCallback into a core with
// real test plugins attached: two that take events (one through "IOCTL"), one
// that serves searches with one result each, a twin of the first (the same
// identifier, and the logging plugin) and one that speaks as the core. Release,
// cancel, search, crypto, IPC, log and configuration records take their own
// paths in the core.
//
// Input: a count byte, the records, then payload bytes. The count byte's low
// two bits give 1..4 records; with bit 3 set each is only the 56 bytes before
// the body (which gets its header and zeros). A record whose `data` word is non-zero gets a
// heap copy of exactly `length` payload bytes (shortened to what the input
// holds); the submitter's own promises (a `data` that points at `length`
// bytes, a `context` that only it reads) are kept that way. A release record
// keeps that copy's address: a pointer the core never handed out.
//
// With bit 2 of the count byte set, a release script follows the records,
// before the payload: a byte n and n behaviour bytes, taken in turn (and
// again from the first) by the deliveries of payload blocks (what the plugin
// answers, which releases it makes during the call: how many, of this block
// or the one before, as which source, from its own thread or another; a few
// bytes thus make many cases), then a byte m and m pairs (block,
// releaser) of releases made after the queue is drained: of any block seen in
// the run (kept, already given back or freed), of null, of a pointer that is
// no block and of one inside a block.
//
// The queue is drained on this thread by the dispatch loop with a stop
// requested (so runs repeat, and the core's log records reach the logging
// plugin at once, on the releasing thread), the search threads are awaited,
// what is still held is released, and the core is made ready for the next run.
//
// Checks: nothing crashes or reports. The release rule is written again
// below (ReleaseModel); every release's outcome, seen as the core's level-50
// line "decref from NN for a block it does not hold" arriving at the logging
// plugin during the release, follows it, and after the drain and after each
// later release the references held per source index (refsHeld) and the live
// blocks and their bytes match the model; every search thread ends; every
// block is freed once the last holder gives it back.
#include <dlfcn.h>

#include <algorithm>
#include <array>
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

// --- the release rule, as the plugin guide states it -----------------------
//
// A plugin is lent one reference to a block for each call that hands it the
// block. During the call it may give that reference back once. After the call
// it holds a reference only if it answered "kept" and had not given the lent
// one back. Later it gives back each reference it holds once. References are
// counted per source index (0 for the core's id, else the identifier byte),
// so plugins sharing an index share their count; the core's own references
// (the queue's) are never a plugin's to give back. Anything else (a second
// release, a block not held by that index, a freed block, a pointer that is
// no block) is refused with one level-50 line and changes nothing. A null
// pointer is no release at all. A block is freed once its dispatch is over
// and no index holds it any more.
// Which cases of the rule a run met, as libFuzzer's extra counters: the
// core's code paths are few and soon all covered, so without these an input
// that reaches a new combination (a release during the call of a block the
// same index also kept, say) looks like nothing new and is dropped. Outside
// libFuzzer the array is only written.
__attribute__((section("__libfuzzer_extra_counters"))) uint8_t ruleCases[512];
void noteCase(unsigned key) {
  uint8_t& counter = ruleCases[key % sizeof ruleCases];
  if (counter < 255) ++counter;
}

uint8_t indexOfSource(uint32_t source) { return source == 0x80000000u ? 0 : static_cast<uint8_t>(source >> 16); }

struct ModelBlock {
  void* address = nullptr;
  uint32_t length = 0;
  std::array<unsigned, 256> kept{};
  int lentTo = -1;         // the index lent the reference of the call in progress
  bool givenBack = false;  // that reference was given back during the call
  bool dispatching = true;
  bool live = true;
  int lastPosition = -1;   // the plugin-list position of the latest call

  unsigned held() const {
    unsigned sum = 0;
    for (unsigned k : kept) sum += k;
    return sum;
  }
};

class ReleaseModel {
 public:
  void clear() {
    blocks_.clear();
    current_ = -1;
  }
  std::vector<ModelBlock>& blocks() { return blocks_; }

  ModelBlock* liveAt(const void* address) {
    for (auto it = blocks_.rbegin(); it != blocks_.rend(); ++it) {
      if (it->live && it->address == address) return &*it;
    }
    return nullptr;
  }

  // A call at plugin-list `position` lends `block` to `index`: the same
  // record's dispatch while the positions rise, else the next record's.
  ModelBlock& lend(void* block, uint32_t length, int position, uint8_t index) {
    ModelBlock* b = current_ >= 0 ? &blocks_[static_cast<size_t>(current_)] : nullptr;
    if (b == nullptr || b->address != block || position <= b->lastPosition) {
      endDispatch();
      if (liveAt(block) != nullptr) ko::fuzz::fail(__FILE__, __LINE__, "a block still held is handed out again");
      blocks_.push_back(ModelBlock{});
      blocks_.back().address = block;
      blocks_.back().length = length;
      current_ = static_cast<int>(blocks_.size() - 1);
      b = &blocks_.back();
    }
    b->lastPosition = position;
    b->lentTo = index;
    b->givenBack = false;
    return *b;
  }

  // The call's answer.
  void settle(ModelBlock& b, bool kept) {
    noteCase(256 + (kept ? 1u : 0u) + (b.givenBack ? 2u : 0u) + 4u * std::min(b.kept[static_cast<size_t>(b.lentTo)], 2u));
    if (kept && !b.givenBack) ++b.kept[static_cast<size_t>(b.lentTo)];
    b.lentTo = -1;
    b.givenBack = false;
  }

  void endDispatch() {
    if (current_ < 0) return;
    ModelBlock& b = blocks_[static_cast<size_t>(current_)];
    b.dispatching = false;
    if (b.held() == 0) b.live = false;
    current_ = -1;
  }

  // True when the release is taken.
  bool release(const void* pointer, uint8_t index, bool otherThread) {
    ModelBlock* b = liveAt(pointer);
    noteCase(caseOf(pointer, b, index) * 2 + (otherThread ? 1u : 0u));
    if (b == nullptr) return false;
    if (b->lentTo == index && !b->givenBack) {
      b->givenBack = true;
      return true;
    }
    if (b->kept[index] == 0) return false;
    --b->kept[index];
    if (!b->dispatching && b->held() == 0) b->live = false;
    return true;
  }

  // The situation a release meets: no block, or the call's reference (lent
  // to this index, given back, lent to another, none) by the index's kept
  // count and whether other indices hold the block.
  unsigned caseOf(const void* pointer, const ModelBlock* b, uint8_t index) const {
    if (b == nullptr) return pointer == nullptr ? 0 : 1;
    const unsigned call = b->lentTo < 0 ? 0 : b->lentTo != index ? 1 : b->givenBack ? 2 : 3;
    const unsigned kept = std::min(b->kept[index], 2u);
    const unsigned others = b->held() > b->kept[index] ? 1 : 0;
    return 2 + call + 4 * (kept + 3 * others) + (b->dispatching ? 24 : 0);
  }

  int64_t heldBy(uint8_t index) const {
    int64_t sum = 0;
    for (const auto& b : blocks_) {
      if (b.live) sum += b.kept[index];
    }
    return sum;
  }

 private:
  std::vector<ModelBlock> blocks_;
  int current_ = -1;
};

// The sources releases are made as: the plugins' own, the core's, an
// identifier no plugin has, and identifier 0 (the core's index).
constexpr std::array<uint32_t, 6> ReleaseSources = {0x00110000u, 0x00120000u, 0x00210000u,
                                                    0x80000000u, 0x00770000u, 0x00000005u};
// The indices whose references are compared with the model.
constexpr std::array<uint8_t, 5> WatchedIndices = {0x00, 0x11, 0x12, 0x21, 0x77};

struct Harness;

// One attached plugin: where its calls come from.
struct Slot {
  Harness* harness = nullptr;
  int position = 0;
  uint32_t sourceId = 0;
  bool logging = false;
};

struct Harness {
  const std::filesystem::path& directory = ko::fuzz::runDirectory("submit");
  std::unique_ptr<DvrCore> core;
  std::vector<Probe*> probes;
  std::array<Slot, 5> slots;

  // This run's script and model.
  ReleaseModel model;
  std::vector<uint8_t> behaviour;
  size_t nextBehaviour = 0;
  bool draining = false;
  alignas(64) uint8_t foreign[64] = {};

  // Lines the logging plugin received during a release; written on the
  // releasing thread, read after it.
  std::mutex linesLock;
  std::vector<int> lines;  // the index each line names
  std::atomic<bool> releasing{false};

  Harness() {
    // Configuration deltas republish core.xml into the working directory.
    if (chdir(directory.c_str()) != 0) std::abort();
    core = ko::fuzz::quietCore(directory.string() + "/dvrcore");
    const std::string dir = KO_FUZZ_BUS_DIR;
    const char* names[] = {"bus_a", "bus_b", "bus_searcher", "bus_a_twin", "bus_core_id"};
    const uint32_t ids[] = {0x00110000u, 0x00120000u, 0x00210000u, 0x00110000u, 0x80000000u};
    for (int i = 0; i < 5; ++i) {
      slots[static_cast<size_t>(i)] = Slot{this, i, ids[i], i == 3};
      auto plugin = attach(dir + "/" + names[i] + ".so");
      // The twin is the logging plugin too, sharing bus_a's index as the
      // logging plugin may share another's.
      if (i == 3) {
        std::unique_lock lock(core->pluginsLock);
        core->logPlugin = plugin;
      }
    }
  }

  std::shared_ptr<Plugin> attach(const std::string& path) {
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
    return plugin;
  }

  // Each run starts with the probes as configured here and empty.
  void resetProbes() {
    for (size_t i = 0; i < probes.size(); ++i) {
      Probe* probe = probes[i];
      probe->reset();
      std::lock_guard guard(probe->lock);
      probe->keepDeliveries = false;
      probe->searchResults = 1;
      probe->resultLength = 8;
      probe->onDelivery = &Harness::onDelivery;
      probe->onDeliveryContext = &slots[i];
    }
  }

  static uint32_t onDelivery(void* context, busprobe::Path, uint64_t source, uint32_t type, void* data,
                             uint32_t length) {
    auto& slot = *static_cast<Slot*>(context);
    return slot.harness->delivered(slot, static_cast<uint32_t>(source), type, data, length);
  }

  uint32_t delivered(const Slot& slot, uint32_t source, uint32_t type, void* data, uint32_t length) {
    // The core's own log records reaching the logging plugin: a line during
    // a release is its outcome; the rest are not the model's.
    if (slot.logging && source == CoreSourceId && type == EventTypeLog) {
      if (releasing.load()) noteLine(data, length);
      return 0;
    }
    // Outside the drain only log records are handed over.
    if (!draining) ko::fuzz::fail(__FILE__, __LINE__, "a delivery outside the drain");
    const uint8_t b = behaviour.empty() ? 0 : behaviour[nextBehaviour++ % behaviour.size()];
    const bool keep = (b & 1) != 0;
    if (data == nullptr) return keep ? 1 : 0;

    ModelBlock& block = model.lend(data, length, slot.position, indexOfSource(slot.sourceId));
    const size_t self = static_cast<size_t>(&block - model.blocks().data());
    // The block before this one, when the script asks for it (kept, given
    // back or freed by now).
    void* target = data;
    if ((b & 0x80) != 0) target = self > 0 ? model.blocks()[self - 1].address : nullptr;
    const unsigned releases = (b >> 1) & 3u;
    const unsigned who = (b >> 3) & 7u;
    uint32_t as = slot.sourceId;
    if (who == 4) as = slots[static_cast<size_t>(slot.position + 1) % slots.size()].sourceId;
    if (who >= 5) as = ReleaseSources[who - 2];
    for (unsigned i = 0; i < releases; ++i) release(target, as, (b & 0x40) != 0);
    // `block` may have moved: releases of other blocks never add to the model.
    model.settle(model.blocks()[self], keep);
    return keep ? 1 : 0;
  }

  void noteLine(const void* data, uint32_t length) {
    static constexpr std::string_view Head = "decref from ";
    static constexpr std::string_view Tail = " for a block it does not hold";
    if (data == nullptr) return;
    std::string_view text(static_cast<const char*>(data), length);
    while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
    if (text.size() != Head.size() + 2 + Tail.size() || text.substr(0, Head.size()) != Head ||
        text.substr(Head.size() + 2) != Tail) {
      return;
    }
    int index = 0;
    for (char c : text.substr(Head.size(), 2)) {
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      KO_FUZZ_CHECK(digit >= 0);
      index = index * 16 + digit;
    }
    std::lock_guard guard(linesLock);
    lines.push_back(index);
  }

  // One release record as `source`, from this thread or another; its
  // outcome must be the model's.
  void release(void* pointer, uint32_t source, bool otherThread) {
    const uint8_t index = indexOfSource(source);
    const bool taken = model.release(pointer, index, otherThread);
    const bool refused = pointer != nullptr && !taken;
    {
      std::lock_guard guard(linesLock);
      lines.clear();
    }
    // The line is level 50: let it through for this release only, whatever
    // threshold the run's configuration records left.
    const int32_t threshold = core->logLevels[0].exchange(50);
    releasing = true;
    int32_t result = -1;
    auto submit = [&] {
      auto decref = makeEvent(EventTypeDecref, 0, source, pointer, 0);
      result = submitEventCallback(&decref);
    };
    if (otherThread) {
      std::thread(submit).join();
    } else {
      submit();
    }
    releasing = false;
    core->logLevels[0] = threshold;
    KO_FUZZ_CHECK(result == 0);
    std::lock_guard guard(linesLock);
    KO_FUZZ_CHECK(lines.size() == (refused ? 1u : 0u));
    if (refused) KO_FUZZ_CHECK(lines[0] == index);
  }

  // The counts once no call is in progress.
  void checkCounts(int32_t blocksBefore, int64_t bytesBefore, const std::array<int64_t, 256>& heldBefore) {
    int32_t live = 0;
    int64_t bytes = 0;
    for (const auto& b : model.blocks()) {
      if (!b.live) continue;
      ++live;
      bytes += int64_t{b.length} + 16;
    }
    KO_FUZZ_CHECK(refBlockCount.load() - blocksBefore == live);
    KO_FUZZ_CHECK(refBlockBytes.load() - bytesBefore == bytes);
    for (uint8_t index : WatchedIndices) KO_FUZZ_CHECK(refsHeld[index].load() - heldBefore[index] == model.heldBy(index));
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
  // The core's own lines stay out of the queue unless a record asks.
  core.logLevels[0] = 100;
  const int32_t blocksBefore = refBlockCount.load();
  const int64_t bytesBefore = refBlockBytes.load();
  std::array<int64_t, 256> heldBefore{};
  for (uint8_t index : WatchedIndices) heldBefore[index] = refsHeld[index].load();

  ko::fuzz::Reader in(data, size);
  const auto head = in.take<uint8_t>();
  const size_t count = head % 4 + 1;
  std::vector<EventParms> records(count);
  // Short records (bit 3) end before the body, which gets its header: the
  // release script is then most of the input.
  const bool shortRecords = (head & 8) != 0;
  for (auto& record : records) {
    const std::string_view bytes = in.bytes(shortRecords ? offsetof(EventParms, body) : sizeof record);
    std::memset(&record, 0, sizeof record);
    std::memcpy(&record, bytes.data(), bytes.size());
    if (shortRecords) {
      record.body.size = sizeof record.body;
      record.body.version = 1;
    }
  }
  h.model.clear();
  h.behaviour.clear();
  h.nextBehaviour = 0;
  std::vector<std::pair<uint8_t, uint8_t>> later;
  if ((head & 4) != 0) {
    const std::string_view bytes = in.bytes(in.take<uint8_t>() % 32);
    h.behaviour.assign(bytes.begin(), bytes.end());
    for (size_t n = in.take<uint8_t>() % 32; n > 0; --n) {
      const auto block = in.take<uint8_t>();
      later.emplace_back(block, in.take<uint8_t>());
    }
  }
  std::string_view payload = in.rest();

  for (auto& record : records) {
    std::unique_ptr<uint8_t[]> owned;
    if (record.data != nullptr) {
      record.length = static_cast<uint32_t>(std::min<size_t>(record.length, payload.size()));
      if (record.length != 0) {
        owned.reset(new uint8_t[record.length]);
        std::memcpy(owned.get(), payload.data(), record.length);
        payload.remove_prefix(record.length);
      }
      record.data = owned.get();
    }
    record.body.context = nullptr;
    (void)submitEventCallback(&record);
  }

  // Drain: the loop returns once a stop is requested and the queue is empty.
  core.requestStop();
  h.draining = true;
  core.dispatchLoop();
  h.draining = false;
  h.model.endDispatch();
  awaitSearchThreads(core);
  h.checkCounts(blocksBefore, bytesBefore, heldBefore);

  // Releases after the calls, then whatever is still held, each once.
  for (const auto& [which, who] : later) {
    auto& blocks = h.model.blocks();
    const size_t choice = which % (blocks.size() + 3);
    void* pointer = nullptr;
    if (choice < blocks.size()) {
      pointer = blocks[choice].address;
    } else if (choice == blocks.size() + 1) {
      pointer = h.foreign;
    } else if (choice == blocks.size() + 2) {
      pointer = static_cast<uint8_t*>(blocks.empty() ? h.foreign : blocks[0].address) + 8;
    }
    h.release(pointer, ReleaseSources[(who & 0x7f) % ReleaseSources.size()], (who & 0x80) != 0);
    h.checkCounts(blocksBefore, bytesBefore, heldBefore);
  }
  for (size_t i = 0; i < h.model.blocks().size(); ++i) {
    for (size_t index = 0; index < 256; ++index) {
      while (h.model.blocks()[i].live && h.model.blocks()[i].kept[index] != 0) {
        const uint32_t source = index == 0 ? CoreSourceId : static_cast<uint32_t>(index) << 16;
        h.release(h.model.blocks()[i].address, source, false);
      }
    }
  }
  h.checkCounts(blocksBefore, bytesBefore, heldBefore);

  core.io->context.restart();
  core.io->context.poll();
  core.stopRequested = false;
  {
    // The loop's return closed the queue; the next run's records must be
    // queued, not refused.
    std::lock_guard lock(core.queueLock);
    core.dispatchEnded = false;
  }
  {
    std::lock_guard lock(core.searchLock);
    core.cancelledSearches.clear();
  }
  h.resetProbes();
  KO_FUZZ_CHECK(core.queuedEvents() == 0);
  KO_FUZZ_CHECK(refBlockCount.load() == blocksBefore);
  return 0;
}
