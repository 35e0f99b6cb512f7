// Reference-counted payload blocks. A queued record's payload lives in one
// block that the queue and every plugin retaining the record share; the
// pointer that travels in records is the payload address, 16 bytes past the
// block header.
//
// The counters are process-wide atomics: blocks are allocated by submitting
// threads and released from the dispatch loop and from plugins' threads.
// Relaxed ordering suffices for the tallies; the block's own count uses
// acquire/release so the freeing thread sees every user's writes.
//
// Which plugins hold a block is kept in front of its header, so that a
// release record is checked exactly: a source can give back only a reference
// it was lent and has not given back yet. A pointer a plugin hands back is
// first looked up among the listed blocks (a registry under sharded locks),
// so a stale or foreign pointer is refused before any memory is read. A
// block is listed by the thread that first lends it, not by its submitter:
// the dispatch loop then lists and (mostly) frees, and submitting threads
// never meet it on those locks.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace ko::core {

// The plugins holding a block: bit i of `lent` for plugin index 1..255 (a
// plugin receives a given record once), and a count for index 0, which the
// core and plugins without an identifier share. The queue's own reference
// and other core references are not in here.
struct RefBlockHolders {
  std::array<std::atomic<uint64_t>, 4> lent;
  std::atomic<int32_t> lentToIndex0;
  uint32_t zero;
  uint64_t zero2;
};
static_assert(sizeof(RefBlockHolders) == 48);

struct RefBlockHeader {
  uint64_t totalSize;              // length + 16
  std::atomic<int32_t> refCount;   // 0 when created
  uint32_t zero;
};
static_assert(sizeof(RefBlockHeader) == 16);

// Bytes malloc'ed beyond the payload.
inline constexpr size_t RefBlockOverhead = sizeof(RefBlockHolders) + sizeof(RefBlockHeader);

inline std::atomic<int32_t> refBlockCount{0};
inline std::atomic<int64_t> refBlockBytes{0};
inline std::array<std::atomic<int64_t>, 256> refsHeld{};

// Allocates a block holding a copy of `length` bytes at `data`; returns the
// payload address, or null when the allocation fails.
void* allocRefBlock(const void* data, uint32_t length) noexcept;
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

// Notes that plugin index `index` was lent a reference to a live block the
// caller holds a reference to; unnoteLent undoes it (the plugin did not keep
// the record).
void noteLent(void* payload, uint8_t index) noexcept;
void unnoteLent(void* payload, uint8_t index) noexcept;
// unnoteLent for index 1..255, telling whether the note was still there
// (false: the plugin has given the reference back already).
bool takeBackLent(void* payload, uint8_t index) noexcept;
// For a release record: true (and the note cleared) only when `payload` is a
// listed block that `index` was lent and has not given back. Reads no memory
// of a pointer that is not a listed block.
bool takeLent(const void* payload, uint8_t index) noexcept;

}  // namespace ko::core
