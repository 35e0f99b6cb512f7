// AES-128 on single 16-byte blocks: key expansion for each direction and the
// one-block transforms. No mode lives here; chaining, IV and padding belong to
// the buffer transform (transform.h).
//
// Threads: every function is pure over its arguments and the shared constant
// tables, so any thread may call them at the same time on its own schedule.
#pragma once

#include <array>
#include <cstdint>

namespace ko::core::BlockCipher {

inline constexpr int BlockBytes = 16;
inline constexpr int Key128Bytes = 16;
inline constexpr int Key128Rounds = 10;

// Round keys for one direction. An enciphering schedule holds the expanded
// key in cipher order; a deciphering schedule holds the round keys of the
// equivalent inverse cipher (reverse order, inner rounds passed through
// InvMixColumns), so both directions share one table-driven round structure.
// Room for 60 words keeps the layout of the larger key sizes.
struct KeySchedule {
  std::array<uint32_t, 60> roundKeys{};
  int32_t rounds = 0;
};

// Both return 0. `key` is 16 bytes in FIPS 197 order.
int expandEncipherKey128(const uint8_t* key, KeySchedule& schedule) noexcept;
int expandDecipherKey128(const uint8_t* key, KeySchedule& schedule) noexcept;

// One block each; `input` and `output` may be the same 16 bytes. The schedule
// must come from the matching expand function.
void encipherBlock(const uint8_t* input, uint8_t* output, const KeySchedule& schedule) noexcept;
void decipherBlock(const uint8_t* input, uint8_t* output, const KeySchedule& schedule) noexcept;

}  // namespace ko::core::BlockCipher
