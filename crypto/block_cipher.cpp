// AES-128 with 32-bit table lookups. The tables are computed by the compiler
// from the field arithmetic of FIPS 197 and land in read-only data, so there
// is no start-up work and no typed-in constant that could be mistyped.
//
// Word layout: byte 0 of a column sits in the most significant byte, so a
// column loads from the block big-endian on every target.
//
// Threads: any; nothing here is mutable.
#include "crypto/block_cipher.h"

#include <bit>
#include <cassert>
#include <utility>

namespace ko::core::BlockCipher {

namespace {

using ByteTable = std::array<uint8_t, 256>;
using WordTable = std::array<uint32_t, 256>;

// --- GF(2^8) arithmetic, modulus x^8 + x^4 + x^3 + x + 1 ------------------

constexpr uint8_t xtime(uint8_t x) noexcept {
  return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) != 0 ? 0x1b : 0x00));
}

constexpr uint8_t gfMul(uint8_t a, uint8_t b) noexcept {
  uint8_t product = 0;
  while (b != 0) {
    if ((b & 1) != 0) product ^= a;
    a = xtime(a);
    b = static_cast<uint8_t>(b >> 1);
  }
  return product;
}

constexpr uint8_t rotl8(uint8_t x, int n) noexcept {
  return static_cast<uint8_t>((x << n) | (x >> (8 - n)));
}

constexpr uint32_t rotr32(uint32_t x, int n) noexcept { return std::rotr(x, n); }

constexpr uint32_t word(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) noexcept {
  return (uint32_t{b0} << 24) | (uint32_t{b1} << 16) | (uint32_t{b2} << 8) | uint32_t{b3};
}

// The S-box walks the multiplicative group with generator 3 (p) and its
// inverse (q), so q is always p's inverse; the affine map finishes each entry.
constexpr ByteTable makeSbox() noexcept {
  ByteTable box{};
  uint8_t p = 1;
  uint8_t q = 1;
  do {
    p = static_cast<uint8_t>(p ^ xtime(p));
    q = static_cast<uint8_t>(q ^ (q << 1));
    q = static_cast<uint8_t>(q ^ (q << 2));
    q = static_cast<uint8_t>(q ^ (q << 4));
    if ((q & 0x80) != 0) q ^= 0x09;
    box[p] = static_cast<uint8_t>(q ^ rotl8(q, 1) ^ rotl8(q, 2) ^ rotl8(q, 3) ^ rotl8(q, 4) ^ 0x63);
  } while (p != 1);
  box[0] = 0x63;
  return box;
}

constexpr ByteTable makeInverse(const ByteTable& box) noexcept {
  ByteTable inverse{};
  for (int i = 0; i < 256; ++i) inverse[box[i]] = static_cast<uint8_t>(i);
  return inverse;
}

constexpr ByteTable Sbox = makeSbox();
constexpr ByteTable InvSbox = makeInverse(Sbox);

static_assert(Sbox[0x00] == 0x63 && Sbox[0x01] == 0x7c && Sbox[0x53] == 0xed && Sbox[0xff] == 0x16);
static_assert(InvSbox[0x63] == 0x00 && InvSbox[0x00] == 0x52);

// Column (2s, s, s, 3s): SubBytes and MixColumns for a byte in row 0, rotated
// for the other rows.
constexpr WordTable makeEncipherRound(int row) noexcept {
  WordTable table{};
  for (int i = 0; i < 256; ++i) {
    const uint8_t s = Sbox[i];
    table[i] = rotr32(word(gfMul(s, 2), s, s, gfMul(s, 3)), 8 * row);
  }
  return table;
}

// Column (14t, 9t, 13t, 11t) of an inverse-S-box byte, or of the byte itself
// for the InvMixColumns tables that prepare deciphering schedules.
constexpr WordTable makeInvMix(int row, bool throughInvSbox) noexcept {
  WordTable table{};
  for (int i = 0; i < 256; ++i) {
    const uint8_t t = throughInvSbox ? InvSbox[i] : static_cast<uint8_t>(i);
    table[i] = rotr32(word(gfMul(t, 14), gfMul(t, 9), gfMul(t, 13), gfMul(t, 11)), 8 * row);
  }
  return table;
}

// A box widened into one byte position of a word, for the last round and the
// key schedule.
constexpr WordTable makeWidened(const ByteTable& box, int row) noexcept {
  WordTable table{};
  for (int i = 0; i < 256; ++i) table[i] = uint32_t{box[i]} << (24 - 8 * row);
  return table;
}

constexpr std::array<WordTable, 4> Te = {makeEncipherRound(0), makeEncipherRound(1), makeEncipherRound(2),
                                         makeEncipherRound(3)};
constexpr std::array<WordTable, 4> Td = {makeInvMix(0, true), makeInvMix(1, true), makeInvMix(2, true),
                                         makeInvMix(3, true)};
constexpr std::array<WordTable, 4> SboxWide = {makeWidened(Sbox, 0), makeWidened(Sbox, 1), makeWidened(Sbox, 2),
                                               makeWidened(Sbox, 3)};
constexpr std::array<WordTable, 4> InvSboxWide = {makeWidened(InvSbox, 0), makeWidened(InvSbox, 1),
                                                  makeWidened(InvSbox, 2), makeWidened(InvSbox, 3)};
constexpr std::array<WordTable, 4> InvMix = {makeInvMix(0, false), makeInvMix(1, false), makeInvMix(2, false),
                                             makeInvMix(3, false)};

constexpr std::array<uint8_t, 10> RoundConstants = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1b, 0x36};

static_assert(Te[0][0x00] == 0xc66363a5u && Td[0][0x00] == 0x51f4a750u);

inline uint32_t loadWord(const uint8_t* p) noexcept {
  return word(p[0], p[1], p[2], p[3]);
}

inline void storeWord(uint8_t* p, uint32_t w) noexcept {
  p[0] = static_cast<uint8_t>(w >> 24);
  p[1] = static_cast<uint8_t>(w >> 16);
  p[2] = static_cast<uint8_t>(w >> 8);
  p[3] = static_cast<uint8_t>(w);
}

inline uint32_t b0(uint32_t w) noexcept { return w >> 24; }
inline uint32_t b1(uint32_t w) noexcept { return (w >> 16) & 0xffu; }
inline uint32_t b2(uint32_t w) noexcept { return (w >> 8) & 0xffu; }
inline uint32_t b3(uint32_t w) noexcept { return w & 0xffu; }

[[maybe_unused]] constexpr bool validRounds(int32_t rounds) noexcept { return rounds == 10 || rounds == 12 || rounds == 14; }

}  // namespace

int expandEncipherKey128(const uint8_t* key, KeySchedule& schedule) noexcept {
  uint32_t* rk = schedule.roundKeys.data();
  for (int i = 0; i < 4; ++i) rk[i] = loadWord(key + 4 * i);
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
  const int rounds = schedule.rounds;
  for (int i = 0, j = 4 * rounds; i < j; i += 4, j -= 4) {
    for (int k = 0; k < 4; ++k) std::swap(rk[i + k], rk[j + k]);
  }
  for (int i = 4; i < 4 * rounds; ++i) {
    const uint32_t w = rk[i];
    rk[i] = InvMix[0][b0(w)] ^ InvMix[1][b1(w)] ^ InvMix[2][b2(w)] ^ InvMix[3][b3(w)];
  }
  return 0;
}

void encipherBlock(const uint8_t* input, uint8_t* output, const KeySchedule& schedule) noexcept {
  assert(validRounds(schedule.rounds));
  const uint32_t* rk = schedule.roundKeys.data();
  uint32_t s0 = loadWord(input) ^ rk[0];
  uint32_t s1 = loadWord(input + 4) ^ rk[1];
  uint32_t s2 = loadWord(input + 8) ^ rk[2];
  uint32_t s3 = loadWord(input + 12) ^ rk[3];
  for (int round = 1; round < schedule.rounds; ++round) {
    rk += 4;
    const uint32_t t0 = Te[0][b0(s0)] ^ Te[1][b1(s1)] ^ Te[2][b2(s2)] ^ Te[3][b3(s3)] ^ rk[0];
    const uint32_t t1 = Te[0][b0(s1)] ^ Te[1][b1(s2)] ^ Te[2][b2(s3)] ^ Te[3][b3(s0)] ^ rk[1];
    const uint32_t t2 = Te[0][b0(s2)] ^ Te[1][b1(s3)] ^ Te[2][b2(s0)] ^ Te[3][b3(s1)] ^ rk[2];
    const uint32_t t3 = Te[0][b0(s3)] ^ Te[1][b1(s0)] ^ Te[2][b2(s1)] ^ Te[3][b3(s2)] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  const auto& w = SboxWide;
  storeWord(output, w[0][b0(s0)] ^ w[1][b1(s1)] ^ w[2][b2(s2)] ^ w[3][b3(s3)] ^ rk[0]);
  storeWord(output + 4, w[0][b0(s1)] ^ w[1][b1(s2)] ^ w[2][b2(s3)] ^ w[3][b3(s0)] ^ rk[1]);
  storeWord(output + 8, w[0][b0(s2)] ^ w[1][b1(s3)] ^ w[2][b2(s0)] ^ w[3][b3(s1)] ^ rk[2]);
  storeWord(output + 12, w[0][b0(s3)] ^ w[1][b1(s0)] ^ w[2][b2(s1)] ^ w[3][b3(s2)] ^ rk[3]);
}

void decipherBlock(const uint8_t* input, uint8_t* output, const KeySchedule& schedule) noexcept {
  assert(validRounds(schedule.rounds));
  const uint32_t* rk = schedule.roundKeys.data();
  uint32_t s0 = loadWord(input) ^ rk[0];
  uint32_t s1 = loadWord(input + 4) ^ rk[1];
  uint32_t s2 = loadWord(input + 8) ^ rk[2];
  uint32_t s3 = loadWord(input + 12) ^ rk[3];
  for (int round = 1; round < schedule.rounds; ++round) {
    rk += 4;
    const uint32_t t0 = Td[0][b0(s0)] ^ Td[1][b1(s3)] ^ Td[2][b2(s2)] ^ Td[3][b3(s1)] ^ rk[0];
    const uint32_t t1 = Td[0][b0(s1)] ^ Td[1][b1(s0)] ^ Td[2][b2(s3)] ^ Td[3][b3(s2)] ^ rk[1];
    const uint32_t t2 = Td[0][b0(s2)] ^ Td[1][b1(s1)] ^ Td[2][b2(s0)] ^ Td[3][b3(s3)] ^ rk[2];
    const uint32_t t3 = Td[0][b0(s3)] ^ Td[1][b1(s2)] ^ Td[2][b2(s1)] ^ Td[3][b3(s0)] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  const auto& w = InvSboxWide;
  storeWord(output, w[0][b0(s0)] ^ w[1][b1(s3)] ^ w[2][b2(s2)] ^ w[3][b3(s1)] ^ rk[0]);
  storeWord(output + 4, w[0][b0(s1)] ^ w[1][b1(s0)] ^ w[2][b2(s3)] ^ w[3][b3(s2)] ^ rk[1]);
  storeWord(output + 8, w[0][b0(s2)] ^ w[1][b1(s1)] ^ w[2][b2(s0)] ^ w[3][b3(s3)] ^ rk[2]);
  storeWord(output + 12, w[0][b0(s3)] ^ w[1][b1(s2)] ^ w[2][b2(s1)] ^ w[3][b3(s0)] ^ rk[3]);
}

}  // namespace ko::core::BlockCipher
