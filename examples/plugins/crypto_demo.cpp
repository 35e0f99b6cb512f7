// CryptoDemo.so — enciphers and deciphers a text through the core.
//
// What it shows: the crypto service works in place on the caller's buffer,
// on the submitting thread, and never queues the record.
//  * flags = CryptoOpEncipher asks to encipher the first bodyParam bytes;
//    length is the buffer's capacity, which must leave room for the IV block
//    and padding (plain size + CryptoMaxGrowth is always enough). On success
//    bodyParam holds the enciphered size and flags becomes CryptoOpDecipher,
//    so the same record can simply be submitted again.
//  * A positive result n means "the buffer needs n bytes"; nothing changed.
//  * Deciphered data ends at its first zero byte, so the service suits text.
#include <array>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "ko/core/event.hpp"

namespace {

using namespace ko::core;

constexpr uint64_t MySourceId = koSourceId(0x30, 0);  // identifier 0x30

SubmitEventFn submit = nullptr;

std::mutex stateLock;
std::condition_variable stateChanged;
bool opened = false, closed = false;  // guarded by stateLock

void log(int32_t level, const std::string& text) {
  auto record = makeLogEvent(MySourceId, level, text);
  submit(&record);
}

std::string hex(const unsigned char* bytes, size_t count) {
  static constexpr char Digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    out += Digits[bytes[i] >> 4];
    out += Digits[bytes[i] & 15];
  }
  return out;
}

void roundTrip() {
  constexpr std::string_view Plain = "Frames 1 to 125 of camera 1 are evidence";
  std::array<unsigned char, Plain.size() + CryptoMaxGrowth> buffer{};
  std::memcpy(buffer.data(), Plain.data(), Plain.size());

  auto record = makeEvent(EventTypeCrypto, CryptoOpEncipher, MySourceId, buffer.data(),
                          static_cast<uint32_t>(buffer.size()));
  record.body.bodyParam = Plain.size();
  if (const int32_t result = submit(&record); result != CryptoOk) {
    log(75, "crypto: encipher failed with " + std::to_string(result));
    return;
  }
  log(25, "crypto: enciphered " + std::to_string(Plain.size()) + " bytes into " +
              std::to_string(record.body.bodyParam) + ", starting " + hex(buffer.data(), 8));

  // flags now reads CryptoOpDecipher: the same record asks for the way back.
  if (const int32_t result = submit(&record); result != CryptoOk) {
    log(75, "crypto: decipher failed with " + std::to_string(result));
    return;
  }
  const PayloadBytes data = cryptoData(record);
  const std::string_view back(reinterpret_cast<const char*>(data.data()), data.size());
  log(back == Plain ? 25 : 75, std::string("crypto round trip ") + (back == Plain ? "matched" : "DIFFERS") +
                                   ": \"" + std::string(back) + "\"");
}

void run() {
  {
    std::unique_lock lock(stateLock);
    stateChanged.wait(lock, [] { return opened || closed; });
    if (closed) return;
  }
  roundTrip();
  // Returning early is fine: the worker thread simply ends.
}

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
  info->sourceId = MySourceId;
  info->wantsWorkerThread = 1;
  return 0;
}

KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {}

KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {
  std::lock_guard lock(stateLock);
  opened = true;
  stateChanged.notify_all();
}

KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {
  std::lock_guard lock(stateLock);
  closed = true;
  stateChanged.notify_all();
}

KO_PLUGIN_EXPORT void IOCTL(IoctlParms* parms, IoctlResult*) {
  if (parms->code == IoctlWorkerThread) run();
}
