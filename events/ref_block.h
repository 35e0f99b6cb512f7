// Reference-counted payload blocks. A queued record's payload lives in one
// block that the queue and every plugin retaining the record share; the
// pointer that travels in records is the payload address, 16 bytes past the
// block start.
//
// The counters are process-wide atomics: blocks are allocated by submitting
// threads and released from the dispatch loop and from plugins' threads.
// Relaxed ordering suffices for the tallies; the block's own count uses
// acquire/release so the freeing thread sees every user's writes.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace ko::core {

struct RefBlockHeader {
  uint64_t totalSize;              // length + 16
  std::atomic<int32_t> refCount;   // 0 when created
  uint32_t zero;
};
static_assert(sizeof(RefBlockHeader) == 16);

inline std::atomic<int32_t> refBlockCount{0};
inline std::atomic<int64_t> refBlockBytes{0};
inline std::array<std::atomic<int64_t>, 256> refsHeld{};

// Allocates a block holding a copy of `length` bytes at `data`; returns the
// payload address, or null when the allocation fails.
void* allocRefBlock(const void* data, uint32_t length) noexcept;
// Frees a block by its payload address and takes it off the tallies.
void freeRefBlock(void* payload) noexcept;
inline RefBlockHeader* refBlockHeader(void* payload) noexcept {
  return reinterpret_cast<RefBlockHeader*>(static_cast<uint8_t*>(payload) - sizeof(RefBlockHeader));
}

}  // namespace ko::core
