#include "events/ref_block.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "events/queue_lock.h"

#if defined(__SANITIZE_ADDRESS__)
#define KO_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KO_ASAN 1
#endif
#endif
#ifdef KO_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace ko::core {

namespace {

// The listed blocks by payload address: open addressing with linear probing
// in a power-of-two table, one per shard so that the dispatch loop (listing,
// freeing) and plugin threads (releases) rarely meet on a lock. No allocation
// per block, and no tombstones: an erase moves the entries after it back
// into the gap, so a steady stream of blocks listed and freed never forces a
// rebuild. A table grows when half full and shrinks once fewer than an eighth
// of its slots are live, so a peak of retained blocks does not keep its table
// for good; between the two a table is never rebuilt twice in a row.
class LiveBlocks {
 public:
  void insert(uintptr_t key) {
    Shard& shard = shardOf(key);
    std::lock_guard guard(shard.lock);
    if ((shard.live + 1) * 2 > shard.slots.size()) shard.rebuild();
    const size_t at = shard.find(key);
    if (shard.slots[at] == key) return;
    shard.slots[at] = key;
    ++shard.live;
  }
  void erase(uintptr_t key) {
    Shard& shard = shardOf(key);
    std::lock_guard guard(shard.lock);
    if (shard.slots.empty()) return;
    const size_t at = shard.find(key);
    if (shard.slots[at] != key) return;
    shard.remove(at);
    --shard.live;
    if (shard.slots.size() > MinSlots && shard.live * ShrinkBelow < shard.slots.size()) {
      try {
        shard.rebuild();
      } catch (const std::bad_alloc&) {
        // No memory for the smaller table: the larger one stays.
      }
    }
  }
  size_t slots() {
    size_t total = 0;
    for (Shard& shard : shards_) {
      std::lock_guard guard(shard.lock);
      total += shard.slots.size();
    }
    return total;
  }
  // Runs `body` under the shard's lock when `key` is live, so the block
  // cannot be freed meanwhile (freeing erases it under the same lock first).
  template <typename Body>
  bool withLive(uintptr_t key, Body body) {
    Shard& shard = shardOf(key);
    std::lock_guard guard(shard.lock);
    if (shard.slots.empty() || shard.slots[shard.find(key)] != key) return false;
    return body();
  }

 private:
  static constexpr uintptr_t Empty = 0;  // payload addresses are never null
  static constexpr size_t Shards = 16;
  // A shard's smallest table; and a table with fewer live entries than
  // one in ShrinkBelow slots is rebuilt smaller.
  static constexpr size_t MinSlots = 64;
  static constexpr size_t ShrinkBelow = 8;

  static size_t hash(uintptr_t key) { return static_cast<size_t>((key >> 4) * 0x9e3779b97f4a7c15ull >> 20); }

  struct Shard {
    std::mutex lock;
    std::vector<uintptr_t> slots;
    size_t live = 0;

    // The slot holding `key`, or the empty one where it would go.
    size_t find(uintptr_t key) const { return probe(slots, key); }
    static size_t probe(const std::vector<uintptr_t>& table, uintptr_t key) {
      const size_t mask = table.size() - 1;
      for (size_t at = hash(key) & mask;; at = (at + 1) & mask) {
        if (table[at] == key || table[at] == Empty) return at;
      }
    }
    // Empties slot `gap`, moving back each later entry of the run whose
    // home slot lies at or before the gap, so every probe path stays whole.
    void remove(size_t gap) {
      const size_t mask = slots.size() - 1;
      for (size_t at = (gap + 1) & mask; slots[at] != Empty; at = (at + 1) & mask) {
        const size_t home = hash(slots[at]) & mask;
        // Movable unless its home lies cyclically in (gap, at].
        if (((at - home) & mask) >= ((at - gap) & mask)) {
          slots[gap] = slots[at];
          gap = at;
        }
      }
      slots[gap] = Empty;
    }
    // The new table is built in full before it replaces the old one: a
    // bad_alloc leaves every listed block listed.
    void rebuild() {
      size_t size = MinSlots;
      while (size < (live + 1) * 4) size *= 2;
      std::vector<uintptr_t> fresh(size, Empty);
      for (uintptr_t key : slots) {
        if (key != Empty) fresh[probe(fresh, key)] = key;
      }
      slots.swap(fresh);
    }
  };

  Shard& shardOf(uintptr_t key) { return shards_[(key >> 6) % Shards]; }

  Shard shards_[Shards];
};

LiveBlocks& liveBlocks() {
  // Never destroyed: blocks are still released while static objects go.
  static LiveBlocks* blocks = new LiveBlocks();
  return *blocks;
}

std::atomic<uint64_t>& keptWord(RefBlockHolders& holders, uint8_t index) { return holders.kept[index / 16]; }
unsigned keptShift(uint8_t index) { return (index % 16u) * 4u; }

// One more kept reference for `index`; false (nothing changed) when its count
// is full. Relaxed: the count's own read-modify-writes are ordered among
// themselves, and what a release must see of them is ordered by the in-call
// word (settleLend's exchange, takeLent's compare-exchange).
bool addKept(RefBlockHolders& holders, uint8_t index) noexcept {
  auto& word = keptWord(holders, index);
  const unsigned shift = keptShift(index);
  uint64_t value = word.load(std::memory_order_relaxed);
  do {
    if (((value >> shift) & 0xfu) == 0xfu) return false;
  } while (!word.compare_exchange_weak(value, value + (uint64_t{1} << shift), std::memory_order_relaxed));
  return true;
}

// One kept reference of `index` fewer; false (nothing changed) when it has
// none. Relaxed, as addKept: a caller that must see a particular addKept has
// acquired the in-call word after it.
bool takeKept(RefBlockHolders& holders, uint8_t index) noexcept {
  auto& word = keptWord(holders, index);
  const unsigned shift = keptShift(index);
  uint64_t value = word.load(std::memory_order_relaxed);
  do {
    if (((value >> shift) & 0xfu) == 0) return false;
  } while (!word.compare_exchange_weak(value, value - (uint64_t{1} << shift), std::memory_order_relaxed));
  return true;
}


// Blocks of the common payload sizes are not given back to malloc when freed
// but kept for the next block of their size class. The dispatch loop frees
// what submitting threads allocate, and handing every block back across
// malloc's arena lock had the two threads queue on it (and a burst of 4 KiB
// blocks freed at once had the heap trimmed and faulted back in every time).
// Each thread keeps a few blocks per class of its own and trades them by
// the handful with one depot; what the depot has no room for goes to malloc.
// Held at most: RefBlockCacheLimit, and MagazineBlocks blocks per class in each
// thread that submits or frees.
constexpr int CacheClasses = 7;  // payload capacities 64 B to 4 KiB, doubling
constexpr uint32_t SmallestClass = 64;
constexpr int MagazineBlocks = 8;

// The class whose capacity `length` fits, or -1 for a block too large to keep.
int sizeClass(uint32_t length) noexcept {
  if (length <= SmallestClass) return 0;
  if (length > SmallestClass << (CacheClasses - 1)) return -1;
  return 32 - __builtin_clz(length - 1) - 6;
}
size_t classBytes(int sizeClass) noexcept { return (size_t{SmallestClass} << sizeClass) + RefBlockOverhead; }

// A kept block's link is its first word; the rest of it is off limits to
// the sanitizer until it is handed out again, so a use after free is still
// caught.
void*& linkOf(void* raw) noexcept { return *static_cast<void**>(raw); }
void retire([[maybe_unused]] void* raw, [[maybe_unused]] int sizeClass) noexcept {
#ifdef KO_ASAN
  ASAN_POISON_MEMORY_REGION(static_cast<uint8_t*>(raw) + sizeof(void*), classBytes(sizeClass) - sizeof(void*));
#endif
}
void revive([[maybe_unused]] void* raw, [[maybe_unused]] int sizeClass) noexcept {
#ifdef KO_ASAN
  ASAN_UNPOISON_MEMORY_REGION(raw, classBytes(sizeClass));
#endif
}

class Depot {
 public:
  // Keeps what fits of `blocks` and frees the rest, outside the lock.
  void put(int sizeClass, void* const* blocks, int count) noexcept {
    Class& shelf = classes_[sizeClass];
    const size_t size = classBytes(sizeClass);
    int kept = 0;
    {
      lockQueue(shelf.lock);
      std::lock_guard guard(shelf.lock, std::adopt_lock);
      for (; kept < count; ++kept) {
        if (bytes_.fetch_add(size, std::memory_order_relaxed) + size > RefBlockCacheLimit) {
          bytes_.fetch_sub(size, std::memory_order_relaxed);
          break;
        }
        linkOf(blocks[kept]) = shelf.head;
        shelf.head = blocks[kept];
      }
    }
    for (int i = kept; i < count; ++i) std::free(blocks[i]);
  }
  // Takes up to `most` blocks into `out`; returns how many.
  int take(int sizeClass, void** out, int most) noexcept {
    Class& shelf = classes_[sizeClass];
    int taken = 0;
    lockQueue(shelf.lock);
    std::lock_guard guard(shelf.lock, std::adopt_lock);
    while (taken < most && shelf.head != nullptr) {
      out[taken++] = shelf.head;
      shelf.head = linkOf(shelf.head);
    }
    bytes_.fetch_sub(taken * classBytes(sizeClass), std::memory_order_relaxed);
    return taken;
  }
  size_t trim() noexcept {
    size_t freed = 0;
    for (int c = 0; c < CacheClasses; ++c) {
      void* list = nullptr;
      {
        std::lock_guard guard(classes_[c].lock);
        list = classes_[c].head;
        classes_[c].head = nullptr;
      }
      while (list != nullptr) {
        void* next = linkOf(list);
        std::free(list);
        list = next;
        freed += classBytes(c);
      }
    }
    bytes_.fetch_sub(freed, std::memory_order_relaxed);
    return freed;
  }

 private:
  struct Class {
    std::mutex lock;
    void* head = nullptr;
  };
  Class classes_[CacheClasses];
  std::atomic<size_t> bytes_{0};
};

Depot& depot() {
  // Never destroyed: blocks are still freed while static objects go.
  static Depot* blocks = new Depot();
  return *blocks;
}

enum class MagazineState : uint8_t { Unused, Armed, ThreadGone };
struct Magazine {
  void* blocks[CacheClasses][MagazineBlocks];
  uint8_t count[CacheClasses];
  MagazineState state;
};
constinit thread_local Magazine magazine{};

// Hands a thread's blocks to the depot when the thread ends; blocks freed on
// it after that go straight to the depot.
struct MagazineFlush {
  bool armed = false;
  ~MagazineFlush() {
    for (int c = 0; c < CacheClasses; ++c) depot().put(c, magazine.blocks[c], magazine.count[c]);
    magazine = Magazine{};
    magazine.state = MagazineState::ThreadGone;
  }
};
thread_local MagazineFlush magazineFlush;

void arm(Magazine& m) noexcept {
  m.state = MagazineState::Armed;
  magazineFlush.armed = true;
}

void* takeBlock(uint32_t length) noexcept {
  const int c = sizeClass(length);
  if (c < 0) return std::malloc(length + RefBlockOverhead);
  Magazine& m = magazine;
  if (m.state != MagazineState::ThreadGone) {
    if (m.count[c] == 0) {
      if (m.state == MagazineState::Unused) arm(m);
      m.count[c] = static_cast<uint8_t>(depot().take(c, m.blocks[c], MagazineBlocks));
    }
    if (m.count[c] != 0) {
      void* raw = m.blocks[c][--m.count[c]];
      revive(raw, c);
      return raw;
    }
  }
  return std::malloc(classBytes(c));
}

void giveBlock(void* raw, uint32_t length) noexcept {
  const int c = sizeClass(length);
  if (c < 0) {
    std::free(raw);
    return;
  }
  retire(raw, c);
  Magazine& m = magazine;
  if (m.state == MagazineState::ThreadGone) {
    depot().put(c, &raw, 1);
    return;
  }
  if (m.state == MagazineState::Unused) arm(m);
  if (m.count[c] == MagazineBlocks) {
    depot().put(c, m.blocks[c], MagazineBlocks);
    m.count[c] = 0;
  }
  m.blocks[c][m.count[c]++] = raw;
}

}  // namespace

void* allocRefBlock(const void* data, uint32_t length) noexcept {
  const uint64_t total = uint64_t{length} + sizeof(RefBlockHeader);
  void* raw = takeBlock(length);
  if (raw == nullptr) return nullptr;
  new (raw) RefBlockHolders{{}, {0}, 0, 0};
  auto* header = new (static_cast<uint8_t*>(raw) + sizeof(RefBlockHolders)) RefBlockHeader{total, {0}, 0};
  void* payload = header + 1;
  if (length != 0 && data != nullptr) std::memcpy(payload, data, length);
  refBlockCount.fetch_add(1, std::memory_order_relaxed);
  refBlockBytes.fetch_add(static_cast<int64_t>(total), std::memory_order_relaxed);
  return payload;
}

bool listRefBlock(void* payload) noexcept {
  try {
    liveBlocks().insert(reinterpret_cast<uintptr_t>(payload));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void freeRefBlock(void* payload) noexcept {
  // A block never lent was never listed; the lookup finds nothing to drop.
  liveBlocks().erase(reinterpret_cast<uintptr_t>(payload));
  RefBlockHeader* header = refBlockHeader(payload);
  refBlockCount.fetch_sub(1, std::memory_order_relaxed);
  refBlockBytes.fetch_sub(static_cast<int64_t>(header->totalSize), std::memory_order_relaxed);
  RefBlockHolders* holders = refBlockHolders(payload);
  const auto length = static_cast<uint32_t>(header->totalSize - sizeof(RefBlockHeader));
  header->~RefBlockHeader();
  holders->~RefBlockHolders();
  giveBlock(holders, length);
}

size_t trimRefBlockCache() noexcept { return depot().trim(); }

void openLend(void* payload, uint8_t index) noexcept {
  // Release: pairs with takeLent's compare-exchange (acquire), so a release
  // that finds the call open also finds the block as it was lent.
  refBlockHolders(payload)->inCall.store(LentInCall | index, std::memory_order_release);
}

LendOutcome settleLend(void* payload, uint8_t index, bool kept) noexcept {
  RefBlockHolders& holders = *refBlockHolders(payload);
  if (!kept) {
    // Whichever comes first, this or a release racing the return, takes the
    // lent reference; the other finds it gone. Acquire pairs with takeLent's
    // successful compare-exchange (release).
    const uint32_t was = holders.inCall.exchange(0, std::memory_order_acq_rel);
    return was == (LentInCall | index) ? LendOutcome::Returned : LendOutcome::ReleasedInCall;
  }
  // Counted as kept before the call's reference is closed, so that a release
  // racing the return always finds one of the two.
  const bool counted = addKept(holders, index);
  // Release: publishes the count above to a release whose compare-exchange
  // then fails on the cleared word (its acquire on failure), so it finds the
  // kept reference. Acquire: pairs with that compare-exchange's success.
  const uint32_t was = holders.inCall.exchange(0, std::memory_order_acq_rel);
  if (was == (LentInCall | index)) return counted ? LendOutcome::Kept : LendOutcome::Pinned;
  // Given back during the call: a plugin that answers "kept" after its
  // release holds nothing.
  if (counted) (void)takeKept(holders, index);
  return LendOutcome::ReleasedInCall;
}

bool takeLent(const void* payload, uint8_t index) noexcept {
  const auto key = reinterpret_cast<uintptr_t>(payload);
  // Alignment first: a pointer the core never handed out is refused without
  // even a lookup when it cannot be a payload address.
  if (payload == nullptr || key % alignof(std::max_align_t) != 0) return false;
  return liveBlocks().withLive(key, [&] {
    RefBlockHolders& holders = *refBlockHolders(const_cast<void*>(payload));
    // The reference lent for the call in progress goes first: a plugin that
    // shares its index with another holder gives back its own, never the
    // other's, and the call's end then takes nothing more.
    // Success: acquire pairs with openLend's store, release with
    // settleLend's exchange. Failure: acquire pairs with settleLend's
    // exchange, so a cleared word comes with the kept count it published.
    uint32_t lent = LentInCall | index;
    if (holders.inCall.compare_exchange_strong(lent, GivenBackInCall | index, std::memory_order_acq_rel,
                                               std::memory_order_acquire)) {
      return true;
    }
    return takeKept(holders, index);
  });
}

size_t listedBlockSlots() noexcept { return liveBlocks().slots(); }

unsigned keptBy(void* payload, uint8_t index) noexcept {
  RefBlockHolders& holders = *refBlockHolders(payload);
  return static_cast<unsigned>((keptWord(holders, index).load(std::memory_order_relaxed) >> keptShift(index)) & 0xfu);
}

}  // namespace ko::core
