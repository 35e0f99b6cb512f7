#include "events/ref_block.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace ko::core {

namespace {

// The listed blocks by payload address: open addressing in a power-of-two
// table, one per shard so that the dispatch loop (listing, freeing) and
// plugin threads (releases) rarely meet on a lock. No allocation per block; a table grows (or is rebuilt to drop
// tombstones) when half full, and shrinks once fewer than an eighth of its
// slots are live, so a peak of retained blocks does not keep its table for
// good; between the two a table is never rebuilt twice in a row.
class LiveBlocks {
 public:
  void insert(uintptr_t key) {
    Shard& shard = shardOf(key);
    std::lock_guard guard(shard.lock);
    if ((shard.used + 1) * 2 > shard.slots.size()) shard.rebuild();
    size_t at = shard.find(key, true);
    if (shard.slots[at] == Empty) ++shard.used;
    shard.slots[at] = key;
    ++shard.live;
  }
  void erase(uintptr_t key) {
    Shard& shard = shardOf(key);
    std::lock_guard guard(shard.lock);
    const size_t at = shard.find(key, false);
    if (shard.slots.empty() || shard.slots[at] != key) return;
    shard.slots[at] = Tombstone;
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
    if (shard.slots.empty() || shard.slots[shard.find(key, false)] != key) return false;
    return body();
  }

 private:
  static constexpr uintptr_t Empty = 0;
  static constexpr uintptr_t Tombstone = 1;  // payload addresses are 16-aligned
  static constexpr size_t Shards = 16;
  // A shard's smallest table; and a table with fewer live entries than
  // one in ShrinkBelow slots is rebuilt smaller.
  static constexpr size_t MinSlots = 64;
  static constexpr size_t ShrinkBelow = 8;

  static size_t hash(uintptr_t key) { return static_cast<size_t>((key >> 4) * 0x9e3779b97f4a7c15ull >> 20); }

  struct Shard {
    std::mutex lock;
    std::vector<uintptr_t> slots;
    size_t used = 0;  // live entries and tombstones
    size_t live = 0;

    // The slot holding `key`, or where it goes (forInsert: the first
    // tombstone or empty slot on its probe path).
    size_t find(uintptr_t key, bool forInsert) const { return probe(slots, key, forInsert); }
    static size_t probe(const std::vector<uintptr_t>& table, uintptr_t key, bool forInsert) {
      if (table.empty()) return 0;
      const size_t mask = table.size() - 1;
      size_t reuse = SIZE_MAX;
      for (size_t at = hash(key) & mask;; at = (at + 1) & mask) {
        if (table[at] == key) return at;
        if (table[at] == Tombstone && forInsert && reuse == SIZE_MAX) reuse = at;
        if (table[at] == Empty) return reuse != SIZE_MAX ? reuse : at;
      }
    }
    // The new table is built in full before it replaces the old one: a
    // bad_alloc leaves every listed block listed.
    void rebuild() {
      size_t size = MinSlots;
      while (size < (live + 1) * 4) size *= 2;
      std::vector<uintptr_t> fresh(size, Empty);
      size_t kept = 0;
      for (uintptr_t key : slots) {
        if (key == Empty || key == Tombstone) continue;
        fresh[probe(fresh, key, true)] = key;
        ++kept;
      }
      slots.swap(fresh);
      used = kept;
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

}  // namespace

void* allocRefBlock(const void* data, uint32_t length) noexcept {
  const uint64_t total = uint64_t{length} + sizeof(RefBlockHeader);
  void* raw = std::malloc(length + RefBlockOverhead);
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
  header->~RefBlockHeader();
  holders->~RefBlockHolders();
  std::free(holders);
}

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
