// Reference-counted payload blocks. A queued record's payload lives in one
// block that the queue and every plugin retaining the record share; the
// pointer that travels in records is the payload address, 16 bytes past the
// block header.
//
// The counters are process-wide atomics: blocks are allocated by submitting
// threads and released from the dispatch loop and from plugins' threads.
// Relaxed ordering suffices for the tallies; the block's own count uses
// acquire/release so the freeing thread sees every user's writes; the
// holders' words pair as ref_block.cpp says beside each.
//
// Who holds a block is kept in front of its header, so that a release record
// is checked exactly: a source gives back only references it was lent and
// has not given back yet. A pointer a plugin hands back is first looked up
// among the listed blocks (a registry under sharded locks), so a stale or
// foreign pointer is refused before any memory is read. A block is listed by
// the thread that first lends it, not by its submitter: the dispatch loop
// then lists and (mostly) frees, and submitting threads never meet it on
// those locks.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "events/split_tally.h"

namespace ko::core {

// The plugins holding a block. `kept` has a 4-bit count per source index
// (0..255): the references that plugins of that index kept after their calls.
// Counts, not bits: the core and every plugin without an identifier share
// index 0, and the logging plugin may share its index with another plugin,
// so one index may hold a block more than once; a count per index accepts
// each of their releases exactly once. At most three plugins share an index
// (one speaking as the core, one with identifier 0, the logging plugin) in a
// plugin list the core builds, so four bits do not run out; a keep beyond 15
// is refused visibly (LendOutcome::Pinned). `inCall` is the reference lent for the call in
// progress (one at a time: only the thread that lends a block calls with
// it), kept apart from the counts so that a release during the call is known
// to be the callee's early give-back. The queue's own reference and other
// core references are not in here.
struct RefBlockHolders {
  std::array<std::atomic<uint64_t>, 16> kept;
  std::atomic<uint32_t> inCall;  // 0, or LentInCall/GivenBackInCall | index
  uint32_t zero;
  uint64_t zero2;
};
static_assert(sizeof(RefBlockHolders) == 144);
static_assert(sizeof(RefBlockHolders) % 16 == 0, "payloads stay 16-aligned");
inline constexpr uint32_t LentInCall = 0x100;
inline constexpr uint32_t GivenBackInCall = 0x200;

struct RefBlockHeader {
  uint64_t totalSize;              // length + 16
  std::atomic<int32_t> refCount;   // 0 when created
  uint32_t zero;
};
static_assert(sizeof(RefBlockHeader) == 16);

// Bytes malloc'ed beyond the payload.
inline constexpr size_t RefBlockOverhead = sizeof(RefBlockHolders) + sizeof(RefBlockHeader);

inline SplitTally<int32_t> refBlockCount;
inline SplitTally<int64_t> refBlockBytes;
inline std::array<std::atomic<int64_t>, 256> refsHeld{};

// Allocates a block holding a copy of `length` bytes at `data`; returns the
// payload address, or null when the allocation fails.
void* allocRefBlock(const void* data, uint32_t length) noexcept;
// Bytes of freed blocks the shared cache keeps for reuse at most (each thread
// keeps a few more of its own).
inline constexpr size_t RefBlockCacheLimit = 2 * 1024 * 1024;
// Gives the blocks kept for reuse back to malloc (the dispatch loop, once idle
// for a second); returns their bytes.
size_t trimRefBlockCache() noexcept;
// Lists a block so that releases of it can be checked; to be called once,
// before it is first lent. False when the registry could not grow: the block
// must then not be lent.
bool listRefBlock(void* payload) noexcept;
// Frees a block by its payload address and takes it off the tallies.
void freeRefBlock(void* payload) noexcept;
inline RefBlockHeader* refBlockHeader(void* payload) noexcept {
  return reinterpret_cast<RefBlockHeader*>(static_cast<uint8_t*>(payload) - sizeof(RefBlockHeader));
}
inline RefBlockHolders* refBlockHolders(void* payload) noexcept {
  return reinterpret_cast<RefBlockHolders*>(static_cast<uint8_t*>(payload) - RefBlockOverhead);
}

// The three steps of lending a reference for one plugin call; see
// events/lending.h, the only user. The caller holds the lent reference in the
// block's count (taken before the call) and a reference of its own.
void openLend(void* payload, uint8_t index) noexcept;
enum class LendOutcome : uint8_t {
  Returned,        // not kept and not given back: the caller drops the reference
  Kept,            // the plugin holds it until its release record
  ReleasedInCall,  // the plugin's release during the call already dropped it
  // Kept, but the index's count was full: the reference stays with the
  // block for good (one release of it is refused), so nothing is freed
  // under the plugin.
  Pinned,
};
LendOutcome settleLend(void* payload, uint8_t index, bool kept) noexcept;
// For a release record: true (and the reference marked given back) only when
// `payload` is a listed block that `index` holds: lent for the call in
// progress, or kept after an earlier call. Reads no memory of a pointer that
// is not a listed block.
bool takeLent(const void* payload, uint8_t index) noexcept;
// Slots of the listed-block tables, all shards (tests).
size_t listedBlockSlots() noexcept;
// The references `index` kept on a live block the caller holds (tests).
unsigned keptBy(void* payload, uint8_t index) noexcept;

}  // namespace ko::core
