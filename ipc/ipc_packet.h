// The framing of the channel to the parent daemon, shared by the core, the
// parent simulator and the integration harness. Header-only, no allocation
// except in the packet builder; every word is little-endian on the wire.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "ko/core/plugin_api.h"

namespace ko::core {

inline constexpr size_t IpcHeaderSize = 16;
inline constexpr size_t IpcMaxPacket = 65536;
// Plugins frame packets with the SDK's numbers (IpcPacketHeaderSize and
// IpcPacketMaxSize in event.hpp are these macros).
static_assert(IpcHeaderSize == KO_IPC_HEADER_SIZE && IpcMaxPacket == KO_IPC_MAX_PACKET,
              "the core and the SDK frame packets alike");
// The bytes the core holds for a parent that does not read before it refuses
// further packets: 128 packets of the largest size, far above what a camera's
// plugins send in the seconds a busy parent may take, and small beside the
// memory-throttling limit.
inline constexpr size_t IpcSendQueueLimit = size_t{8} << 20;

inline constexpr uint32_t IpcCommandStartup = 7;
inline constexpr uint32_t IpcCommandStop = 8;

// The one text of the start-up packet that quiets the console.
inline constexpr std::string_view IpcBackgroundText = "Background:true";

constexpr uint32_t loadLe32(const uint8_t* p) noexcept {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

constexpr void storeLe32(uint8_t* p, uint32_t v) noexcept {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

struct IpcHeader {
  uint32_t length = 0;
  uint32_t target = 0;
  uint32_t command = 0;
  uint32_t word3 = 0;
};

// Reads the four header words; `p` must hold IpcHeaderSize bytes.
constexpr IpcHeader readIpcHeader(const uint8_t* p) noexcept {
  return {loadLe32(p), loadLe32(p + 4), loadLe32(p + 8), loadLe32(p + 12)};
}

// The plugin identifier a packet is addressed to: bits 20..27 of `target`.
constexpr uint8_t ipcTargetId(uint32_t target) noexcept { return static_cast<uint8_t>(target >> 20); }

// `target` word that addresses the plugin with identifier `id`.
constexpr uint32_t ipcTargetFor(uint8_t id) noexcept { return static_cast<uint32_t>(id) << 20; }

// A whole packet: header with the true length, then `payload`.
inline std::vector<uint8_t> buildIpcPacket(uint32_t target, uint32_t command, uint32_t word3,
                                           std::string_view payload = {}) {
  std::vector<uint8_t> packet(IpcHeaderSize + payload.size());
  storeLe32(packet.data(), static_cast<uint32_t>(packet.size()));
  storeLe32(packet.data() + 4, target);
  storeLe32(packet.data() + 8, command);
  storeLe32(packet.data() + 12, word3);
  if (!payload.empty()) std::copy(payload.begin(), payload.end(), packet.begin() + IpcHeaderSize);
  return packet;
}

}  // namespace ko::core
