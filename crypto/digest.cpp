// SHA-256 over a 64-byte block buffer. Words are read and written big-endian
// byte by byte, so the code is the same on every target.
//
// Threads: any, each on its own context.
#include "crypto/digest.h"

#include <algorithm>
#include <bit>
#include <cstring>

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

inline uint32_t loadBigEndian(const uint8_t* p) noexcept {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void storeBigEndian(uint8_t* p, uint32_t w) noexcept {
  p[0] = static_cast<uint8_t>(w >> 24);
  p[1] = static_cast<uint8_t>(w >> 16);
  p[2] = static_cast<uint8_t>(w >> 8);
  p[3] = static_cast<uint8_t>(w);
}

void compress(std::array<uint32_t, 8>& state, const uint8_t* block) noexcept {
  std::array<uint32_t, 64> w;
  for (int i = 0; i < 16; ++i) w[i] = loadBigEndian(block + 4 * i);
  for (int i = 16; i < 64; ++i) {
    const uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + RoundConstants[i] + w[i];
    const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
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
  storeBigEndian(context.buffer.data() + 56, bitsHigh);
  storeBigEndian(context.buffer.data() + 60, bitsLow);
  compress(context.state, context.buffer.data());

  for (int i = 0; i < 8; ++i) storeBigEndian(output + 4 * i, context.state[i]);
}

void sha256(uint8_t* output, const void* bytes, size_t length) noexcept {
  Sha256Context context;
  sha256Init(context);
  sha256Update(context, bytes, length);
  sha256Final(context, output);
}

}  // namespace ko::core
