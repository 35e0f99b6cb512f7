// A plugin that has its buffers enciphered and deciphered by the core through
// the submit callback it received at load. The test drives it from several
// threads through CryptoRoundTrips and reads back what went wrong.
#include <atomic>
#include <cstring>
#include <random>
#include <vector>

#include "ko/core/event.hpp"

using namespace ko::core;

namespace {

constexpr uint64_t SourceId = 0x00c70000u;
std::atomic<SubmitEventFn> submit{nullptr};

// The first failed check of a round, or 0.
int roundTrip(SubmitEventFn fn, std::mt19937& rng) {
  const size_t n = std::uniform_int_distribution<size_t>(1, 300)(rng);
  const size_t room = n + 32 + std::uniform_int_distribution<size_t>(0, 16)(rng);
  std::vector<uint8_t> plain(n);
  for (auto& b : plain) b = static_cast<uint8_t>(std::uniform_int_distribution<int>(1, 255)(rng));
  std::vector<uint8_t> buffer(room, 0x77);
  std::memcpy(buffer.data(), plain.data(), n);

  auto record = makeEvent(EventTypeCrypto, EventClassLive | 2u, SourceId, buffer.data(), static_cast<uint32_t>(room));
  record.body.bodyParam = n;
  if (fn(&record) != 0) return 1;
  const uint64_t stored = n + (n <= 16 ? 16 - n : 16 - n % 16) + 16;
  if (record.flags != 1024 || record.body.bodyParam != stored) return 2;
  // Against the whole zero-padded text, not just its n bytes: a one-byte text
  // matches its cipher byte once in 256 rounds.
  std::vector<uint8_t> padded(stored - 16, 0);
  std::memcpy(padded.data(), plain.data(), n);
  if (std::memcmp(buffer.data() + 16, padded.data(), padded.size()) == 0) return 3;
  if (fn(&record) != 0) return 4;
  if (record.flags != 2 || record.body.bodyParam != n) return 5;
  if (std::memcmp(buffer.data(), plain.data(), n) != 0) return 6;
  for (size_t i = n; i < room; ++i) {
    if (buffer[i] != 0) return 7;
  }

  // A record claiming more data than its buffer holds is refused untouched.
  auto bogus = makeEvent(EventTypeCrypto, 1024u, SourceId, buffer.data(), 16);
  bogus.body.bodyParam = 17;
  if (fn(&bogus) != -2 || bogus.flags != 1024) return 8;
  return 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t Load(LoadParms* in, PluginInfo* out) {
  submit.store(in->submitEvent);
  out->sourceId = SourceId;
  return 0;
}

__attribute__((visibility("default"))) void Unload(UnloadParms*, UnloadResult*) { submit.store(nullptr); }

// Runs `rounds` encipher/decipher round trips; returns 0, or the round
// (from 1) and the failed check as round * 100 + check.
__attribute__((visibility("default"))) int32_t CryptoRoundTrips(uint32_t seed, uint32_t rounds) {
  const SubmitEventFn fn = submit.load();
  if (fn == nullptr) return -1;
  std::mt19937 rng(seed);
  for (uint32_t i = 0; i < rounds; ++i) {
    if (const int failed = roundTrip(fn, rng); failed != 0) return static_cast<int32_t>((i + 1) * 100 + failed);
  }
  return 0;
}

}  // extern "C"
