// SHA-256 over a 64-byte block buffer. Words are read and written big-endian
// whatever the target's byte order.
//
// Threads: any, each on its own context.
#include "crypto/digest.h"

#include <string.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "crypto/byte_order.h"

namespace ko::core {

namespace {

constexpr std::array<uint32_t, 8> InitialState = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr std::array<uint32_t, 64> RoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr uint32_t rotr(uint32_t x, int n) noexcept { return std::rotr(x, n); }

inline uint32_t bigSigma0(uint32_t x) noexcept { return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22); }
inline uint32_t bigSigma1(uint32_t x) noexcept { return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25); }

// One round with the working variables named where they stand in it: the
// caller rotates the names instead of the values, so nothing is moved. Ch in
// its shorter equivalent form; Maj as b ^ ((a ^ b) & (b ^ c)), where b ^ c is
// the a ^ b of the round before (`bc`), carried over.
inline void round(uint32_t a, uint32_t b, uint32_t& d, uint32_t e, uint32_t f, uint32_t g, uint32_t& h, uint32_t& bc,
                  uint32_t constantPlusWord) noexcept {
  // Sums grouped so that what waits on e, and then on a, is added last:
  // the next e is ready four steps after this one, the next a five.
  const uint32_t early = h + constantPlusWord;
  const uint32_t ch = g ^ (e & (f ^ g));
  const uint32_t s1 = bigSigma1(e);
  d = ((d + early) + ch) + s1;
  const uint32_t t1 = (early + ch) + s1;
  const uint32_t ab = a ^ b;
  h = (t1 + (b ^ (ab & bc))) + bigSigma0(a);
  bc = ab;
}

// Four words of the message schedule at a time, in the compiler's generic
// vectors (SSE2 on x86-64, NEON on Arm, plain words elsewhere): the schedule
// does not wait on the rounds, and four lanes cost little more than one.
using Lanes = uint32_t __attribute__((vector_size(16)));

template <int N>
inline Lanes rotr(Lanes x) noexcept {
  return (x >> N) | (x << (32 - N));
}
inline Lanes smallSigma0(Lanes x) noexcept { return rotr<7>(x) ^ rotr<18>(x) ^ (x >> 3); }
inline Lanes smallSigma1(Lanes x) noexcept { return rotr<17>(x) ^ rotr<19>(x) ^ (x >> 10); }

// The next four words after the 16 in x0..x3 (oldest first).
inline Lanes nextWords(Lanes x0, Lanes x1, Lanes x2, Lanes x3) noexcept {
  const Lanes zero = {0, 0, 0, 0};
  const Lanes w15 = __builtin_shufflevector(x0, x1, 1, 2, 3, 4);
  const Lanes w7 = __builtin_shufflevector(x2, x3, 1, 2, 3, 4);
  Lanes next = x0 + smallSigma0(w15) + w7;
  // The last two words need the first two of these four.
  next += __builtin_shufflevector(smallSigma1(x3), zero, 2, 3, 4, 5);
  next += __builtin_shufflevector(zero, smallSigma1(next), 0, 1, 4, 5);
  return next;
}

inline Lanes loadLanes(const uint32_t* p) noexcept {
  Lanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void storeLanes(uint32_t* p, Lanes v) noexcept { std::memcpy(p, &v, sizeof v); }

// Four rounds from round i on, each with its round constant plus message
// word from `kw`.
inline void fourRounds(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d, uint32_t& e, uint32_t& f, uint32_t& g,
                       uint32_t& h, uint32_t& bc, const uint32_t* kw) noexcept {
  round(a, b, d, e, f, g, h, bc, kw[0]);
  round(h, a, c, d, e, f, g, bc, kw[1]);
  round(g, h, b, c, d, e, f, bc, kw[2]);
  round(f, g, a, b, c, d, e, bc, kw[3]);
}

void compress(std::array<uint32_t, 8>& state, const uint8_t* block) noexcept {
  uint32_t words[16];
  for (int i = 0; i < 16; ++i) words[i] = loadBigEndian32(block + 4 * i);
  Lanes x[4] = {loadLanes(words), loadLanes(words + 4), loadLanes(words + 8), loadLanes(words + 12)};
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  uint32_t bc = b ^ c;
  // Round constant plus message word for every round, written four at a
  // time 16 rounds ahead of their use and read back one at a time: through
  // memory, the vector and scalar halves do not wait on lane moves.
  alignas(16) uint32_t kw[64];
  for (int j = 0; j < 4; ++j) storeLanes(kw + 4 * j, x[j] + loadLanes(RoundConstants.data() + 4 * j));
  // Rounds 4j..4j+3 use x[j % 4]; meanwhile it becomes the words 16
  // further on. Eight rounds per step keep the names in place.
#pragma GCC unroll 16
  for (int j = 0; j < 16; j += 2) {
    if (j < 12) {
      x[j % 4] = nextWords(x[j % 4], x[(j + 1) % 4], x[(j + 2) % 4], x[(j + 3) % 4]);
      storeLanes(kw + 4 * (j + 4), x[j % 4] + loadLanes(RoundConstants.data() + 4 * (j + 4)));
    }
    fourRounds(a, b, c, d, e, f, g, h, bc, kw + 4 * j);
    if (j + 1 < 12) {
      x[(j + 1) % 4] = nextWords(x[(j + 1) % 4], x[(j + 2) % 4], x[(j + 3) % 4], x[j % 4]);
      storeLanes(kw + 4 * (j + 5), x[(j + 1) % 4] + loadLanes(RoundConstants.data() + 4 * (j + 5)));
    }
    fourRounds(e, f, g, h, a, b, c, d, bc, kw + 4 * (j + 1));
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

}  // namespace

void sha256Init(Sha256Context& context) noexcept {
  context.count = {0, 0};
  context.state = InitialState;
}

void sha256Update(Sha256Context& context, const void* bytes, size_t length) noexcept {
  if (length == 0) return;
  auto* in = static_cast<const uint8_t*>(bytes);
  size_t used = context.count[0] & 63u;

  const uint32_t low = context.count[0];
  context.count[0] = low + static_cast<uint32_t>(length);
  context.count[1] += static_cast<uint32_t>(static_cast<uint64_t>(length) >> 32) + (context.count[0] < low ? 1u : 0u);

  if (used != 0) {
    const size_t take = std::min(length, 64 - used);
    std::memcpy(context.buffer.data() + used, in, take);
    in += take;
    length -= take;
    used += take;
    if (used < 64) return;
    compress(context.state, context.buffer.data());
  }
  for (; length >= 64; in += 64, length -= 64) compress(context.state, in);
  if (length != 0) std::memcpy(context.buffer.data(), in, length);
}

void sha256Final(Sha256Context& context, uint8_t* output) noexcept {
  const uint32_t bitsHigh = (context.count[1] << 3) | (context.count[0] >> 29);
  const uint32_t bitsLow = context.count[0] << 3;
  size_t used = context.count[0] & 63u;

  context.buffer[used++] = 0x80;
  if (used > 56) {
    std::memset(context.buffer.data() + used, 0, 64 - used);
    compress(context.state, context.buffer.data());
    used = 0;
  }
  std::memset(context.buffer.data() + used, 0, 56 - used);
  storeBigEndian32(context.buffer.data() + 56, bitsHigh);
  storeBigEndian32(context.buffer.data() + 60, bitsLow);
  compress(context.state, context.buffer.data());

  for (int i = 0; i < 8; ++i) storeBigEndian32(output + 4 * i, context.state[i]);
}

void sha256(uint8_t* output, const void* bytes, size_t length) noexcept {
  Sha256Context context;
  sha256Init(context);
  sha256Update(context, bytes, length);
  sha256Final(context, output);
  // The one-shot form hashes the device key: its last block and the state
  // it left are not kept on the stack.
  explicit_bzero(&context, sizeof context);
}

}  // namespace ko::core
