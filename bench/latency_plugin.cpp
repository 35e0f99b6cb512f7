// A plugin for the latency benchmark: "OnEvent" notes how long ago the
// record was submitted. The submitter writes its steady-clock time in
// nanoseconds into the first 8 bytes of typeSpecificB; the benchmark reaches
// the samples through the exported latencyProbe() on its own handle of the
// same library.
#include <atomic>
#include <chrono>
#include <cstring>

#include "latency_probe.h"

using namespace ko::core;

namespace {

LatencyProbe probe;

}  // namespace

KO_PLUGIN_EXPORT LatencyProbe* latencyProbe() { return &probe; }

KO_PLUGIN_EXPORT int32_t Load(LoadParms* in, PluginInfo* out) {
  (void)in;
  const uint32_t size = out->size, version = out->version;
  *out = ko::core::makeRecord<PluginInfo>();
  out->size = size;
  out->version = version;
  out->sourceId = 0x00310000u;
  out->alarmWord = ko::core::WantBit;
  return 0;
}

KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {}
KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {}
KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {}

KO_PLUGIN_EXPORT int OnEvent(EventParms* record) {
  const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  int64_t submitted;
  std::memcpy(&submitted, record->body.typeSpecificB, sizeof submitted);
  const uint64_t at = probe.count.fetch_add(1, std::memory_order_relaxed);
  if (at < probe.capacity) probe.samples[at] = now - submitted;
  probe.delivered.fetch_add(1, std::memory_order_release);
  return 0;
}
