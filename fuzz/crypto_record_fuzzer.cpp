// Crypto records as a plugin submits them, through submitEventCallback.
//
// Input: a control byte (bit 0: a device key is set), the operation flags
// (64 bits), the buffer capacity `length` (16 bits, taken modulo 4097), `bodyParam` (64 bits;
// kept within the capacity unless control bit 1 is set), then the buffer's
// bytes. The buffer is a heap block of exactly `length` bytes, so
// the address sanitizer sees any touch outside it.
//
// Checks: a refused request changes neither the record nor the buffer; a
// successful one leaves a result within the buffer and zeros after a
// deciphered result; enciphering and then deciphering the same record gives
// back the plain bytes up to their first zero byte.
#include <vector>

#include "fuzz/fuzz_support.h"

extern "C" int32_t submitEventCallback(ko::core::EventParms* record) noexcept;

namespace {

using namespace ko::core;

constexpr uint64_t Encipher = 2;
constexpr uint64_t Decipher = 1024;

DvrCore& coreWithKey(bool keyed) {
  static std::unique_ptr<DvrCore> plain = ko::fuzz::quietCore();
  static std::unique_ptr<DvrCore> withKey = [] {
    auto core = ko::fuzz::quietCore();
    core->deviceKey = "fuzz-device-0001";
    return core;
  }();
  DvrCore& core = keyed ? *withKey : *plain;
  coreInstance = &core;
  return core;
}

// What deciphering gives back for `plain`: its bytes up to the first zero,
// except for the one form the zero padding cannot tell apart (exactly 16
// bytes whose last two are a zero and a count c of 1..127).
bool matchesPlain(std::string_view plain, std::string_view result) {
  if (plain.size() == 16 && plain[14] == 0 && plain[15] > 0) return true;
  return result == plain.substr(0, plain.find('\0'));
}

int32_t submit(EventParms& record) { return submitEventCallback(&record); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ko::fuzz::Reader in(data, size);
  const auto control = in.take<uint8_t>();
  coreWithKey((control & 1) != 0);
  const auto flags = in.take<uint64_t>();
  // Up to 4 KiB: larger buffers take no other path, only longer.
  const auto capacity = static_cast<uint16_t>(in.take<uint16_t>() % 4097);
  auto bodyParam = in.take<uint64_t>();
  // Mostly data that fits the buffer, sometimes any value at all.
  if ((control & 2) == 0 && capacity != 0) bodyParam %= capacity + 1u;
  const std::string_view bytes = in.rest();

  // Exactly the capacity, on the heap: one byte more is a sanitizer report.
  std::unique_ptr<uint8_t[]> buffer(capacity != 0 ? new uint8_t[capacity] : nullptr);
  for (size_t i = 0; i < capacity; ++i) buffer[i] = i < bytes.size() ? static_cast<uint8_t>(bytes[i]) : 0xa5;
  const std::vector<uint8_t> before(buffer.get(), buffer.get() + capacity);

  auto record = makeEvent(EventTypeCrypto, flags, 0x00310000u, buffer.get(), capacity);
  record.body.bodyParam = bodyParam;
  const EventParms original = record;

  const int32_t result = submit(record);
  const std::string_view now(reinterpret_cast<const char*>(buffer.get()), capacity);
  const std::string_view was(reinterpret_cast<const char*>(before.data()), capacity);
  if (result != 0) {
    KO_FUZZ_CHECK(std::memcmp(&record, &original, sizeof record) == 0);
    KO_FUZZ_CHECK(now == was);
    // A positive result is the capacity that would do.
    if (result > 0) KO_FUZZ_CHECK(static_cast<uint64_t>(result) > capacity);
    return 0;
  }

  const uint64_t operation = flags & 0xffffff;
  KO_FUZZ_CHECK(operation == Encipher || operation == Decipher);
  KO_FUZZ_CHECK(record.body.bodyParam <= capacity);
  KO_FUZZ_CHECK(record.flags == (operation == Encipher ? Decipher : Encipher));
  if (operation == Decipher) {
    for (uint64_t i = record.body.bodyParam; i < capacity; ++i) KO_FUZZ_CHECK(buffer[i] == 0);
    return 0;
  }

  // Enciphered: the stored form is an IV block plus 16..32 bytes more than
  // the data, whole blocks; now the same record the other way.
  const std::string_view plain = was.substr(0, bodyParam);
  if (bodyParam == 0) {
    KO_FUZZ_CHECK(record.body.bodyParam == 0);
    return 0;
  }
  KO_FUZZ_CHECK(record.body.bodyParam % 16 == 0);
  KO_FUZZ_CHECK(record.body.bodyParam >= bodyParam + 16 && record.body.bodyParam <= bodyParam + 32);
  const int32_t back = submit(record);
  const std::string_view result_bytes(reinterpret_cast<const char*>(buffer.get()), record.body.bodyParam);
  if (back == -13) {
    // Nothing came back: only data that starts with a zero byte.
    KO_FUZZ_CHECK(plain[0] == 0 || (plain.size() == 16 && plain[14] == 0));
    return 0;
  }
  KO_FUZZ_CHECK(back == 0);
  KO_FUZZ_CHECK(record.flags == Encipher);
  KO_FUZZ_CHECK(matchesPlain(plain, result_bytes));
  for (uint64_t i = record.body.bodyParam; i < capacity; ++i) KO_FUZZ_CHECK(buffer[i] == 0);
  return 0;
}
