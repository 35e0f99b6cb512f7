// SHA-256 (FIPS 180-4): the incremental form and the one-shot form that the
// crypto service uses to turn the device key into a cipher key.
//
// Threads: a context belongs to one caller at a time; the functions share
// only constant tables, so any thread may use them on its own context.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ko::core {

inline constexpr size_t Sha256DigestBytes = 32;

struct Sha256Context {
  // Message length in bytes: low word, then the carry word above it.
  std::array<uint32_t, 2> count{};
  std::array<uint32_t, 8> state{};
  std::array<uint8_t, 64> buffer{};
};

void sha256Init(Sha256Context& context) noexcept;
void sha256Update(Sha256Context& context, const void* bytes, size_t length) noexcept;
// Writes 32 bytes. The context must be initialised again before reuse.
void sha256Final(Sha256Context& context, uint8_t* output) noexcept;
void sha256(uint8_t* output, const void* bytes, size_t length) noexcept;

}  // namespace ko::core
