// The AES round machinery behind block_cipher.h, inline so that the buffer
// transform can keep a chained block in registers from one block to the
// next and run several independent blocks side by side. Not part of any
// interface: only the crypto sources include it.
//
// The tables are computed by the compiler from the field arithmetic of
// FIPS 197 and land in read-only data, so there is no start-up work and no
// typed-in constant that could be mistyped.
//
// Word layout: byte 0 of a column sits in the most significant byte, so a
// column loads from the block big-endian on every target.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "crypto/block_cipher.h"
#include "crypto/byte_order.h"

namespace ko::core::BlockCipher::rounds {

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

inline constexpr ByteTable Sbox = makeSbox();
inline constexpr ByteTable InvSbox = makeInverse(Sbox);

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

inline constexpr std::array<WordTable, 4> Te = {makeEncipherRound(0), makeEncipherRound(1), makeEncipherRound(2),
                                         makeEncipherRound(3)};
inline constexpr std::array<WordTable, 4> Td = {makeInvMix(0, true), makeInvMix(1, true), makeInvMix(2, true),
                                         makeInvMix(3, true)};
inline constexpr std::array<WordTable, 4> SboxWide = {makeWidened(Sbox, 0), makeWidened(Sbox, 1), makeWidened(Sbox, 2),
                                               makeWidened(Sbox, 3)};
inline constexpr std::array<WordTable, 4> InvSboxWide = {makeWidened(InvSbox, 0), makeWidened(InvSbox, 1),
                                                  makeWidened(InvSbox, 2), makeWidened(InvSbox, 3)};
inline constexpr std::array<WordTable, 4> InvMix = {makeInvMix(0, false), makeInvMix(1, false), makeInvMix(2, false),
                                             makeInvMix(3, false)};

inline constexpr std::array<uint8_t, 10> RoundConstants = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1b, 0x36};

static_assert(Te[0][0x00] == 0xc66363a5u && Td[0][0x00] == 0x51f4a750u);

inline uint32_t b0(uint32_t w) noexcept { return w >> 24; }
inline uint32_t b1(uint32_t w) noexcept { return (w >> 16) & 0xffu; }
inline uint32_t b2(uint32_t w) noexcept { return (w >> 8) & 0xffu; }
inline uint32_t b3(uint32_t w) noexcept { return w & 0xffu; }

// One block as its four columns.
struct Block {
  uint32_t c0, c1, c2, c3;

  Block operator^(const Block& o) const noexcept { return {c0 ^ o.c0, c1 ^ o.c1, c2 ^ o.c2, c3 ^ o.c3}; }
};

inline Block loadBlock(const uint8_t* p) noexcept {
  return {loadBigEndian32(p), loadBigEndian32(p + 4), loadBigEndian32(p + 8), loadBigEndian32(p + 12)};
}

inline void storeBlock(uint8_t* p, const Block& b) noexcept {
  storeBigEndian32(p, b.c0);
  storeBigEndian32(p + 4, b.c1);
  storeBigEndian32(p + 8, b.c2);
  storeBigEndian32(p + 12, b.c3);
}

inline Block roundKey(const uint32_t* rk) noexcept { return {rk[0], rk[1], rk[2], rk[3]}; }

// SubBytes, ShiftRows and MixColumns of one inner round, then the round key.
inline Block encipherRound(const Block& s, const uint32_t* rk) noexcept {
  const auto& t = Te;
  return {t[0][b0(s.c0)] ^ t[1][b1(s.c1)] ^ t[2][b2(s.c2)] ^ t[3][b3(s.c3)] ^ rk[0],
          t[0][b0(s.c1)] ^ t[1][b1(s.c2)] ^ t[2][b2(s.c3)] ^ t[3][b3(s.c0)] ^ rk[1],
          t[0][b0(s.c2)] ^ t[1][b1(s.c3)] ^ t[2][b2(s.c0)] ^ t[3][b3(s.c1)] ^ rk[2],
          t[0][b0(s.c3)] ^ t[1][b1(s.c0)] ^ t[2][b2(s.c1)] ^ t[3][b3(s.c2)] ^ rk[3]};
}

inline Block encipherLastRound(const Block& s, const uint32_t* rk) noexcept {
  const auto& w = SboxWide;
  return {w[0][b0(s.c0)] ^ w[1][b1(s.c1)] ^ w[2][b2(s.c2)] ^ w[3][b3(s.c3)] ^ rk[0],
          w[0][b0(s.c1)] ^ w[1][b1(s.c2)] ^ w[2][b2(s.c3)] ^ w[3][b3(s.c0)] ^ rk[1],
          w[0][b0(s.c2)] ^ w[1][b1(s.c3)] ^ w[2][b2(s.c0)] ^ w[3][b3(s.c1)] ^ rk[2],
          w[0][b0(s.c3)] ^ w[1][b1(s.c0)] ^ w[2][b2(s.c1)] ^ w[3][b3(s.c2)] ^ rk[3]};
}

inline Block decipherRound(const Block& s, const uint32_t* rk) noexcept {
  const auto& t = Td;
  return {t[0][b0(s.c0)] ^ t[1][b1(s.c3)] ^ t[2][b2(s.c2)] ^ t[3][b3(s.c1)] ^ rk[0],
          t[0][b0(s.c1)] ^ t[1][b1(s.c0)] ^ t[2][b2(s.c3)] ^ t[3][b3(s.c2)] ^ rk[1],
          t[0][b0(s.c2)] ^ t[1][b1(s.c1)] ^ t[2][b2(s.c0)] ^ t[3][b3(s.c3)] ^ rk[2],
          t[0][b0(s.c3)] ^ t[1][b1(s.c2)] ^ t[2][b2(s.c1)] ^ t[3][b3(s.c0)] ^ rk[3]};
}

inline Block decipherLastRound(const Block& s, const uint32_t* rk) noexcept {
  const auto& w = InvSboxWide;
  return {w[0][b0(s.c0)] ^ w[1][b1(s.c3)] ^ w[2][b2(s.c2)] ^ w[3][b3(s.c1)] ^ rk[0],
          w[0][b0(s.c1)] ^ w[1][b1(s.c0)] ^ w[2][b2(s.c3)] ^ w[3][b3(s.c2)] ^ rk[1],
          w[0][b0(s.c2)] ^ w[1][b1(s.c1)] ^ w[2][b2(s.c0)] ^ w[3][b3(s.c3)] ^ rk[2],
          w[0][b0(s.c3)] ^ w[1][b1(s.c2)] ^ w[2][b2(s.c1)] ^ w[3][b3(s.c0)] ^ rk[3]};
}

// A whole block after its first round key; Rounds is fixed so the rounds
// unroll with constant key offsets.
template <int Rounds>
inline Block encipherFromKeyed(Block s, const uint32_t* rk) noexcept {
#pragma GCC unroll 16
  for (int r = 1; r < Rounds; ++r) s = encipherRound(s, rk + 4 * r);
  return encipherLastRound(s, rk + 4 * Rounds);
}

// N independent blocks, round by round, so the lookups of one block fill the
// time another waits on its loads.
template <int Rounds, int N>
inline void decipherBlocks(Block (&s)[N], const uint32_t* rk) noexcept {
#pragma GCC unroll 16
  for (int i = 0; i < N; ++i) s[i] = s[i] ^ roundKey(rk);
#pragma GCC unroll 16
  for (int r = 1; r < Rounds; ++r) {
#pragma GCC unroll 16
    for (int i = 0; i < N; ++i) s[i] = decipherRound(s[i], rk + 4 * r);
  }
#pragma GCC unroll 16
  for (int i = 0; i < N; ++i) s[i] = decipherLastRound(s[i], rk + 4 * Rounds);
}

}  // namespace ko::core::BlockCipher::rounds
