// The buffer transform: a byte buffer to its enciphered stored form and back.
// The stored form is one 16-byte IV block followed by the AES-128-CBC
// enciphering of the data, zero-padded; no header, length or magic number.
// Deciphering removes the padding as text, so the form suits zero-free data.
//
// Threads: one Transform per job, used by one thread; distinct transforms run
// concurrently. Nothing is allocated: results go to the caller's output
// buffer.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>

namespace ko::core {

enum class TransformStatus : int32_t {
  Ok = 0,
  NoOutputBuffer = -20,  // no output buffer, or output capacity 0
  OutputTooSmall = -21,  // output capacity too small for the operation
  NoInput = -22,         // input missing or empty, or not a whole stored form
};

// The fixed message of each status.
std::string_view transformStatusMessage(TransformStatus status) noexcept;

class Transform {
 public:
  static constexpr uint64_t BlockBytes = 16;

  // Starts with the built-in default key and no output buffer.
  Transform() noexcept;
  ~Transform();
  Transform(const Transform&) = delete;
  Transform& operator=(const Transform&) = delete;

  // The key becomes the first min(L, size) bytes of `keyText`, zero-filled to
  // L = 32 when `keyMode` is true, else 16. The cipher uses the first 16.
  void setKey(std::span<const uint8_t> keyText, bool keyMode) noexcept;

  // The caller owns the buffer; it must outlive the next operation.
  void setOutputBuffer(uint8_t* buffer, uint64_t capacity) noexcept {
    output_ = buffer;
    capacity_ = capacity;
  }

  // Zero bytes appended to n plain bytes: 16 - n up to 16 bytes, else
  // 16 - n mod 16, so exactly 16 bytes get none and 0, 32, 48... get 16.
  static constexpr uint64_t paddingFor(uint64_t n) noexcept { return n <= 16 ? 16 - n : 16 - n % 16; }

  // Output capacity encodeBuffer demands for `length` plain bytes.
  static constexpr uint64_t requiredOutputSize(uint64_t length) noexcept {
    constexpr uint64_t most = std::numeric_limits<uint64_t>::max();
    return length > most - 48 ? most : length + paddingFor(length) + 32;
  }

  // Enciphers `length` bytes at `input` into the output buffer (input may lie
  // inside it). On success returns the output buffer and sets `length` to the
  // stored size; on failure returns null with `length` 0.
  uint8_t* encodeBuffer(const uint8_t* input, uint64_t& length, TransformStatus& status) noexcept;

  // Deciphers a stored form of `length` bytes into the output buffer. The
  // stored form must be a whole number of blocks, at least one; anything else
  // is NoInput. On success `length` is the plain length and a zero byte
  // follows the plain bytes.
  uint8_t* decodeBuffer(const uint8_t* input, uint64_t& length, TransformStatus& status) noexcept;

  // The two steps behind the buffer operations.
  //
  // encipherInPlace: `plain` holds `length` bytes with room for the padding
  // after them; `ivSlot` (16 bytes) receives the enciphered IV. The stored
  // form is contiguous when plain == ivSlot + 16. `length` becomes the
  // padded length (without the IV block).
  void encipherInPlace(uint8_t* plain, uint8_t* ivSlot, uint64_t& length) noexcept;
  // encipherInPlace after the IV draw: `ivSlot` already holds the seed block.
  void encipherSeeded(uint8_t* plain, uint8_t* ivSlot, uint64_t& length) noexcept;
  // decipherInPlace: `input` is a stored form of `length` bytes; plain bytes
  // go to `output`, which may be `input` itself or any buffer of at least
  // `length` bytes not overlapping it otherwise. Returns NoInput, touching
  // nothing, unless `length` is a non-zero multiple of 16.
  [[nodiscard]] TransformStatus decipherInPlace(const uint8_t* input, uint8_t* output, uint64_t& length) noexcept;

  // A fresh IV seed: bytes 0..7 of a random identifier, then its bytes 6..9
  // twice.
  static void ivSeedBlock(uint8_t* block);

 private:
  uint8_t* output_ = nullptr;
  uint64_t capacity_ = 0;
  std::array<uint8_t, 32> key_{};
  uint32_t keyLength_ = 16;
};

}  // namespace ko::core
