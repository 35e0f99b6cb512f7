// AES-128 with 32-bit table lookups; the tables and rounds are in
// block_cipher_rounds.h.
//
// Threads: any; nothing here is mutable.
#include "crypto/block_cipher.h"

#include <cassert>
#include <utility>

#include "crypto/block_cipher_rounds.h"

namespace ko::core::BlockCipher {

namespace {

using namespace rounds;

[[maybe_unused]] constexpr bool validRounds(int32_t count) noexcept { return count == 10 || count == 12 || count == 14; }

}  // namespace

int expandEncipherKey128(const uint8_t* key, KeySchedule& schedule) noexcept {
  uint32_t* rk = schedule.roundKeys.data();
  for (int i = 0; i < 4; ++i) rk[i] = loadBigEndian32(key + 4 * i);
  for (int i = 0; i < Key128Rounds; ++i, rk += 4) {
    const uint32_t last = rk[3];
    // SubWord(RotWord(last)) xor the round constant in the first byte.
    rk[4] = rk[0] ^ SboxWide[0][b1(last)] ^ SboxWide[1][b2(last)] ^ SboxWide[2][b3(last)] ^
            SboxWide[3][b0(last)] ^ (uint32_t{RoundConstants[i]} << 24);
    rk[5] = rk[1] ^ rk[4];
    rk[6] = rk[2] ^ rk[5];
    rk[7] = rk[3] ^ rk[6];
  }
  schedule.rounds = Key128Rounds;
  return 0;
}

int expandDecipherKey128(const uint8_t* key, KeySchedule& schedule) noexcept {
  expandEncipherKey128(key, schedule);
  auto& rk = schedule.roundKeys;
  const int count = schedule.rounds;
  for (int i = 0, j = 4 * count; i < j; i += 4, j -= 4) {
    for (int k = 0; k < 4; ++k) std::swap(rk[i + k], rk[j + k]);
  }
  for (int i = 4; i < 4 * count; ++i) {
    const uint32_t w = rk[i];
    rk[i] = InvMix[0][b0(w)] ^ InvMix[1][b1(w)] ^ InvMix[2][b2(w)] ^ InvMix[3][b3(w)];
  }
  return 0;
}

void encipherBlock(const uint8_t* input, uint8_t* output, const KeySchedule& schedule) noexcept {
  assert(validRounds(schedule.rounds));
  const uint32_t* rk = schedule.roundKeys.data();
  Block s = loadBlock(input) ^ roundKey(rk);
  for (int r = 1; r < schedule.rounds; ++r) s = encipherRound(s, rk + 4 * r);
  storeBlock(output, encipherLastRound(s, rk + 4 * schedule.rounds));
}

void decipherBlock(const uint8_t* input, uint8_t* output, const KeySchedule& schedule) noexcept {
  assert(validRounds(schedule.rounds));
  const uint32_t* rk = schedule.roundKeys.data();
  Block s = loadBlock(input) ^ roundKey(rk);
  for (int r = 1; r < schedule.rounds; ++r) s = decipherRound(s, rk + 4 * r);
  storeBlock(output, decipherLastRound(s, rk + 4 * schedule.rounds));
}

}  // namespace ko::core::BlockCipher
