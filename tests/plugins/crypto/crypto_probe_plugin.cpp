// Has the core's crypto service work on files in the working directory, at
// "Load" (the device key is fixed by then): the text of "encipher-this" is
// enciphered and its stored form written in hex to "enciphered"; the hex
// stored form in "decipher-this" is deciphered into "deciphered". A failed
// request writes "error <result>" instead. Each result is written under
// another name, then renamed, so a reader never sees half of it.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ko/core/event.hpp"

#define KO_EXPORT extern "C" __attribute__((visibility("default")))

using namespace ko::core;

namespace {

constexpr uint64_t SourceId = 0x00c80000u;

bool readWhole(const char* path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text.assign(std::istreambuf_iterator<char>(in), {});
  return true;
}

void publish(const char* name, const std::string& text) {
  const std::string part = std::string(name) + ".part";
  {
    std::ofstream out(part, std::ios::binary);
    out << text;
  }
  std::rename(part.c_str(), name);
}

std::string hex(const uint8_t* bytes, size_t count) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    out += Digits[bytes[i] >> 4];
    out += Digits[bytes[i] & 15];
  }
  return out;
}

// Submits one crypto record over `buffer`, whose first `used` bytes are the
// data; the result text is the hex stored form or the plain text.
void transform(SubmitEventFn submit, uint64_t operation, std::vector<uint8_t> buffer, size_t used, bool asHex,
               const char* resultName) {
  buffer.resize(used + CryptoMaxGrowth);
  auto record = makeEvent(EventTypeCrypto, operation, SourceId, buffer.data(), static_cast<uint32_t>(buffer.size()));
  record.body.bodyParam = used;
  const int32_t result = submit(&record);
  if (result != CryptoOk) {
    publish(resultName, "error " + std::to_string(result));
    return;
  }
  const auto* out = buffer.data();
  const auto n = static_cast<size_t>(record.body.bodyParam);
  publish(resultName, asHex ? hex(out, n) : std::string(reinterpret_cast<const char*>(out), n));
}

}  // namespace

KO_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  info->sourceId = SourceId;
  std::string text;
  if (readWhole("encipher-this", text)) {
    transform(parms->submitEvent, CryptoOpEncipher, std::vector<uint8_t>(text.begin(), text.end()), text.size(), true,
              "enciphered");
  }
  if (readWhole("decipher-this", text)) {
    std::vector<uint8_t> stored;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
      stored.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    const size_t used = stored.size();
    transform(parms->submitEvent, CryptoOpDecipher, std::move(stored), used, false, "deciphered");
  }
  return 0;
}

KO_EXPORT void Unload(UnloadParms*, UnloadResult*) {}
KO_EXPORT void Open(OpenParms*, OpenResult*) {}
KO_EXPORT void Close(CloseParms*, CloseResult*) {}
