// 32-bit words as the cipher and the digest lay them out: big-endian on
// every target.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace ko::core {

inline uint32_t loadBigEndian32(const uint8_t* p) noexcept {
  uint32_t w;
  std::memcpy(&w, p, 4);
  if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap32(w);
  return w;
}

inline void storeBigEndian32(uint8_t* p, uint32_t w) noexcept {
  if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap32(w);
  std::memcpy(p, &w, 4);
}

}  // namespace ko::core
