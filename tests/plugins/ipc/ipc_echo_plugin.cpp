// Test plugin for the IPC channel. What it does with a packet from the parent
// depends on the packet's command word:
//   IpcTestEcho  - sends the whole packet back, wrapped in a reply whose
//                  command says which entry point received it;
//   IpcTestBurst - starts four threads that each send `count` numbered
//                  packets (count = first payload word);
//   IpcTestFlood - sends `count` packets of `size` bytes numbered in their
//                  first payload word, and then writes "<id>.ipc-flood": how
//                  many were accepted and refused, and the other results;
//   anything else is only counted.
// At "Close" it joins its threads and tries one more send, and one more at
// "Unload", where it writes "<id>.ipc-close" in the working directory: the
// results of those sends,
// the number of packets received, how many arrived while "Close" ran (which
// the core must prevent) and how many after it had returned (which the core
// still delivers until it unloads the plugin).
//
// Build-time switches: KO_TEST_PLUGIN_ID (identifier), KO_TEST_VIA_IOCTL (no
// "OnIpcResult": packets arrive as IOCTL code 4), KO_TEST_CORE_ID (reports the
// core's source id).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ipc/ipc_packet.h"
#include "ko/core/event.hpp"
#include "plugins/ipc/ipc_test_protocol.h"

#define KO_EXPORT extern "C" __attribute__((visibility("default")))

using namespace ko::core;
using namespace ko::test;

namespace {

SubmitEventFn submit = nullptr;
uint64_t sourceId = 0;
std::atomic<int> received{0};
std::atomic<bool> closing{false};
std::atomic<bool> closed{false};
std::atomic<int> duringClose{0};
std::atomic<int> afterClose{0};
int32_t lateSend = -1;
std::vector<std::thread> burst;

int32_t sendToParent(const std::vector<uint8_t>& packet) {
  auto record = makeEvent(EventTypeIpc, EventClassLive, sourceId, packet.data(), static_cast<uint32_t>(packet.size()));
  return submit(&record);
}

std::atomic<int> misaligned{0};

void flood(uint32_t count, uint32_t size) {
  int accepted = 0;
  int refused = 0;
  int other = 0;
  std::vector<uint8_t> packet = buildIpcPacket(ipcTargetFor(KO_TEST_PLUGIN_ID), IpcTestFloodReply, 0);
  packet.resize(std::max<size_t>(size, IpcHeaderSize + 4), 'f');
  storeLe32(packet.data(), static_cast<uint32_t>(packet.size()));
  for (uint32_t seq = 0; seq < count; ++seq) {
    storeLe32(packet.data() + IpcHeaderSize, seq);
    const int32_t result = sendToParent(packet);
    (result == 0 ? accepted : result == 1 ? refused : other)++;
  }
  char name[32];
  std::snprintf(name, sizeof name, "%02x.ipc-flood", KO_TEST_PLUGIN_ID);
  const std::string temporary = std::string(name) + ".new";
  if (FILE* f = std::fopen(temporary.c_str(), "w")) {
    std::fprintf(f, "accepted=%d\nrefused=%d\nother=%d\n", accepted, refused, other);
    if (std::fclose(f) == 0) std::rename(temporary.c_str(), name);
  }
}

void onPacket(const void* data, uint64_t length, uint32_t entry) {
  received.fetch_add(1);
  if (reinterpret_cast<uintptr_t>(data) % 8 != 0) misaligned.fetch_add(1);
  if (closing.load()) {
    duringClose.fetch_add(1);
    return;
  }
  if (closed.load()) {
    afterClose.fetch_add(1);
    return;
  }
  if (length < IpcHeaderSize) return;
  const auto* bytes = static_cast<const uint8_t*>(data);
  const IpcHeader header = readIpcHeader(bytes);
  if (header.command == IpcTestEcho) {
    sendToParent(buildIpcPacket(ipcTargetFor(KO_TEST_PLUGIN_ID), entry, static_cast<uint32_t>(length),
                                std::string_view(static_cast<const char*>(data), length)));
  } else if (header.command == IpcTestFlood && length >= IpcHeaderSize + 12) {
    const uint32_t count = loadLe32(bytes + IpcHeaderSize);
    const uint32_t size = loadLe32(bytes + IpcHeaderSize + 4);
    for (auto& t : burst) t.join();
    burst.clear();
    if (loadLe32(bytes + IpcHeaderSize + 8) == 1) {
      flood(count, size);
    } else {
      burst.emplace_back([count, size] { flood(count, size); });
    }
  } else if (header.command == IpcTestBurst && length >= IpcHeaderSize + 4) {
    const uint32_t count = loadLe32(bytes + IpcHeaderSize);
    for (auto& t : burst) t.join();
    burst.clear();
    for (uint32_t thread = 0; thread < IpcTestBurstThreads; ++thread) {
      burst.emplace_back([thread, count] {
        for (uint32_t seq = 0; seq < count; ++seq) {
          uint8_t payload[8];
          storeLe32(payload, thread);
          storeLe32(payload + 4, seq);
          // Lengths vary so that a packet cut short or merged shows.
          std::string body(reinterpret_cast<const char*>(payload), sizeof payload);
          body.append(seq % 97, static_cast<char>('a' + thread));
          sendToParent(buildIpcPacket(ipcTargetFor(KO_TEST_PLUGIN_ID), IpcTestBurstReply, thread, body));
        }
      });
    }
  }
}

}  // namespace

KO_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
#ifdef KO_TEST_CORE_ID
  sourceId = CoreSourceId;
#else
  sourceId = static_cast<uint64_t>(KO_TEST_PLUGIN_ID) << 16;
#endif
  info->sourceId = sourceId;
  return 0;
}

KO_EXPORT void Open(OpenParms*, OpenResult*) {}

KO_EXPORT void Close(CloseParms*, CloseResult*) {
  closing.store(true);
  for (auto& t : burst) t.join();
  burst.clear();
  lateSend = sendToParent(buildIpcPacket(ipcTargetFor(KO_TEST_PLUGIN_ID), IpcTestEcho, 0, "late"));
  closed.store(true);
  closing.store(false);
}

KO_EXPORT void Unload(UnloadParms*, UnloadResult*) {
  const int32_t unloadSend = sendToParent(buildIpcPacket(ipcTargetFor(KO_TEST_PLUGIN_ID), IpcTestEcho, 0, "unload"));
  char name[32];
  std::snprintf(name, sizeof name, "%02x.ipc-close", KO_TEST_PLUGIN_ID);
  if (FILE* f = std::fopen(name, "w")) {
    std::fprintf(f, "late-send=%d\nunload-send=%d\nreceived=%d\nduring-close=%d\nafter-close=%d\n", lateSend,
                 unloadSend, received.load(), duringClose.load(), afterClose.load());
    std::fclose(f);
  }
}

#ifndef KO_TEST_VIA_IOCTL
KO_EXPORT void OnIpcResult(const void* packet, uint64_t length) { onPacket(packet, length, IpcTestEchoReply); }
#endif

KO_EXPORT void IOCTL(IoctlParms* parms, IoctlResult*) {
  if (parms->code == IoctlIpcPacket) onPacket(parms->data, parms->dataLength, IpcTestIoctlReply);
}

// Packets that arrived at an address not aligned to 8.
KO_EXPORT int ipcTestMisaligned() { return misaligned.load(); }
