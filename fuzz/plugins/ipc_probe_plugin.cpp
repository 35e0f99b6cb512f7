// A plugin that only notes the IPC packets the core hands it: where each one
// starts, how long the core says it is, and the length word of its header.
// Built twice: with "OnIpcResult", and (FUZZ_VIA_IOCTL) with only "IOCTL".
// The fuzz target reads the notes through the exported fuzzIpcProbe.
#include <cstdint>

#include "fuzz/plugins/ipc_probe.h"
#include "ko/core/event.hpp"

#define FUZZ_EXPORT extern "C" __attribute__((visibility("default")))

using namespace ko::core;

namespace {

ko::fuzz::IpcProbe probe;

void note(const void* packet, uint64_t length) {
  if (probe.count >= ko::fuzz::IpcProbe::Capacity) {
    ++probe.overflow;
    return;
  }
  auto& seen = probe.seen[probe.count++];
  seen.packet = packet;
  seen.length = length;
  seen.headerLength = seen.target = seen.command = 0;
  seen.checksum = 0;
  const auto* bytes = static_cast<const uint8_t*>(packet);
  // Every byte is read, as a real handler may.
  for (uint64_t i = 0; i < length; ++i) seen.checksum = seen.checksum * 31 + bytes[i];
  auto word = [&](uint64_t at) {
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
  };
  if (length >= 12) {
    seen.headerLength = word(0);
    seen.target = word(4);
    seen.command = word(8);
  }
}

}  // namespace

FUZZ_EXPORT ko::fuzz::IpcProbe* fuzzIpcProbe() { return &probe; }

FUZZ_EXPORT int32_t Load(LoadParms*, PluginInfo* info) {
  info->sourceId = static_cast<uint64_t>(FUZZ_PLUGIN_ID) << 16;
  return 0;
}

FUZZ_EXPORT void Open(OpenParms*, OpenResult*) {}

#ifndef FUZZ_VIA_IOCTL
FUZZ_EXPORT void OnIpcResult(const void* packet, uint64_t length) { note(packet, length); }
#else
FUZZ_EXPORT void IOCTL(IoctlParms* parms, IoctlResult*) {
  if (parms->code == IoctlIpcPacket) note(parms->data, parms->dataLength);
}
#endif

FUZZ_EXPORT void Close(CloseParms*, CloseResult*) {}
FUZZ_EXPORT void Unload(UnloadParms*, UnloadResult*) {}
