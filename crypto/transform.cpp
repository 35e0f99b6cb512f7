// The buffer transform: CBC over the core's own AES-128 behind an enciphered
// random IV block, zero padding, and the text-style padding removal.
//
// Threads: one Transform per job (see transform.h).
#include "crypto/transform.h"

#include <string.h>

#include <algorithm>
#include <cstring>

#include "crypto/block_cipher.h"
#include "crypto/block_cipher_rounds.h"
#include "crypto/guid.h"

namespace ko::core {

namespace {

using BlockCipher::KeySchedule;
using BlockCipher::rounds::Block;
using BlockCipher::rounds::loadBlock;
using BlockCipher::rounds::roundKey;
using BlockCipher::rounds::storeBlock;

constexpr int Rounds = BlockCipher::Key128Rounds;
// Independent blocks deciphered side by side.
constexpr int DecipherLanes = 4;

// The default key is `defaultKeyPattern` twice. The pattern exists in the
// program only as two shares whose XOR it is; the volatile share keeps the
// compiler from folding them back into one stored constant.
constexpr std::array<uint8_t, 8> PatternShareA = {0x35, 0x9c, 0x41, 0xe8, 0x77, 0x0d, 0xb2, 0x6a};
volatile const uint8_t PatternShareB[8] = {0xab, 0xea, 0xea, 0x4d, 0x7c, 0x5e, 0x4e, 0x5e};

std::array<uint8_t, 8> defaultKeyPattern() noexcept {
  std::array<uint8_t, 8> pattern;
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = PatternShareA[i] ^ PatternShareB[7 - i];
  return pattern;
}

// Key material is wiped when its holder goes out of scope.
struct ScheduleWiper {
  KeySchedule& schedule;
  ~ScheduleWiper() { explicit_bzero(&schedule, sizeof schedule); }
};

}  // namespace

std::string_view transformStatusMessage(TransformStatus status) noexcept {
  switch (status) {
    case TransformStatus::Ok: return "success";
    case TransformStatus::NoOutputBuffer: return "no output buffer";
    case TransformStatus::OutputTooSmall: return "output buffer too small";
    case TransformStatus::NoInput: return "no input data";
  }
  return "unknown transform status";
}

Transform::Transform() noexcept {
  const auto pattern = defaultKeyPattern();
  std::copy(pattern.begin(), pattern.end(), key_.begin());
  std::copy(pattern.begin(), pattern.end(), key_.begin() + 8);
  keyLength_ = 16;
}

Transform::~Transform() { explicit_bzero(key_.data(), key_.size()); }

void Transform::setKey(std::span<const uint8_t> keyText, bool keyMode) noexcept {
  keyLength_ = keyMode ? 32 : 16;
  key_.fill(0);
  std::copy_n(keyText.begin(), std::min<size_t>(keyLength_, keyText.size()), key_.begin());
}

void Transform::ivSeedBlock(uint8_t* block) {
  Guid guid;
  CoCreateGuid(guid);
  std::memcpy(block, guid.data(), 8);
  std::memcpy(block + 8, guid.data() + 6, 4);
  std::memcpy(block + 12, guid.data() + 6, 4);
}

void Transform::encipherInPlace(uint8_t* plain, uint8_t* ivSlot, uint64_t& length) noexcept {
  ivSeedBlock(ivSlot);
  encipherSeeded(plain, ivSlot, length);
}

void Transform::encipherSeeded(uint8_t* plain, uint8_t* ivSlot, uint64_t& length) noexcept {
  const uint64_t padding = paddingFor(length);
  std::memset(plain + length, 0, padding);
  length += padding;

  KeySchedule schedule;
  ScheduleWiper wiper{schedule};
  BlockCipher::expandEncipherKey128(key_.data(), schedule);
  const uint32_t* rk = schedule.roundKeys.data();
  const Block firstKey = roundKey(rk);
  // The chained block stays in registers; only the XOR with it waits on the
  // block before.
  Block chain = BlockCipher::rounds::encipherFromKeyed<Rounds>(loadBlock(ivSlot) ^ firstKey, rk);
  storeBlock(ivSlot, chain);
  for (uint64_t k = 0; k < length; k += BlockBytes) {
    chain = BlockCipher::rounds::encipherFromKeyed<Rounds>((loadBlock(plain + k) ^ firstKey) ^ chain, rk);
    storeBlock(plain + k, chain);
  }
}

TransformStatus Transform::decipherInPlace(const uint8_t* input, uint8_t* output, uint64_t& length) noexcept {
  const uint64_t m = length;
  if (m < BlockBytes || m % BlockBytes != 0) return TransformStatus::NoInput;

  KeySchedule schedule;
  ScheduleWiper wiper{schedule};
  BlockCipher::expandDecipherKey128(key_.data(), schedule);
  const uint32_t* rk = schedule.roundKeys.data();
  // Each group of blocks is read whole before any of its plain blocks is
  // written, and a plain block lands 16 bytes before its own enciphered
  // block, so output may overwrite the input it has already consumed.
  Block previous = loadBlock(input);
  uint64_t k = BlockBytes;
  for (; m - k >= DecipherLanes * BlockBytes; k += DecipherLanes * BlockBytes) {
    Block enciphered[DecipherLanes];
    Block s[DecipherLanes];
    for (int i = 0; i < DecipherLanes; ++i) s[i] = enciphered[i] = loadBlock(input + k + i * BlockBytes);
    BlockCipher::rounds::decipherBlocks<Rounds>(s, rk);
    storeBlock(output + k - BlockBytes, s[0] ^ previous);
    for (int i = 1; i < DecipherLanes; ++i) storeBlock(output + k - BlockBytes + i * BlockBytes, s[i] ^ enciphered[i - 1]);
    previous = enciphered[DecipherLanes - 1];
  }
  for (; k < m; k += BlockBytes) {
    const Block enciphered = loadBlock(input + k);
    Block s[1] = {enciphered};
    BlockCipher::rounds::decipherBlocks<Rounds>(s, rk);
    storeBlock(output + k - BlockBytes, s[0] ^ previous);
    previous = enciphered;
  }

  const uint64_t padded = m - BlockBytes;
  if (padded <= 1) {
    length = padded;
    return TransformStatus::Ok;
  }
  uint64_t result;
  const uint8_t tail = output[padded - 1];
  if (output[padded - 2] == 0 && tail >= 1 && tail <= 127) {
    result = tail < padded ? padded - tail : padded;
  } else {
    const auto* zero = static_cast<const uint8_t*>(std::memchr(output, 0, padded));
    result = zero != nullptr ? static_cast<uint64_t>(zero - output) : padded;
  }
  // padded < m, so the terminating zero stays inside the output buffer.
  output[result] = 0;
  length = result;
  return TransformStatus::Ok;
}

uint8_t* Transform::encodeBuffer(const uint8_t* input, uint64_t& length, TransformStatus& status) noexcept {
  const uint64_t n = length;
  length = 0;
  if (output_ == nullptr || capacity_ == 0) {
    status = TransformStatus::NoOutputBuffer;
    return nullptr;
  }
  if (input == nullptr || n == 0) {
    status = TransformStatus::NoInput;
    return nullptr;
  }
  if (capacity_ < requiredOutputSize(n)) {
    status = TransformStatus::OutputTooSmall;
    return nullptr;
  }
  std::memmove(output_ + BlockBytes, input, n);
  uint64_t padded = n;
  encipherInPlace(output_ + BlockBytes, output_, padded);
  length = padded + BlockBytes;
  status = TransformStatus::Ok;
  return output_;
}

uint8_t* Transform::decodeBuffer(const uint8_t* input, uint64_t& length, TransformStatus& status) noexcept {
  const uint64_t m = length;
  length = 0;
  if (output_ == nullptr || capacity_ == 0) {
    status = TransformStatus::NoOutputBuffer;
    return nullptr;
  }
  if (input == nullptr || m == 0) {
    status = TransformStatus::NoInput;
    return nullptr;
  }
  if (capacity_ < m) {
    status = TransformStatus::OutputTooSmall;
    return nullptr;
  }
  uint64_t plain = m;
  status = decipherInPlace(input, output_, plain);
  if (status != TransformStatus::Ok) return nullptr;
  length = plain;
  return output_;
}

}  // namespace ko::core
