// The packets the soak's parent and its load plugins exchange, kept in one
// place so that the two sides cannot drift apart.
#pragma once

#include <cstdint>

namespace ko::soak {

// Commands from the parent (payload word 0: the rate times 1000 for "go").
constexpr uint32_t CommandGo = 0x5000;
constexpr uint32_t CommandQuiet = 0x5001;
constexpr uint32_t CommandStall = 0x5002;
constexpr uint32_t CommandHog = 0x5003;
constexpr uint32_t CommandDelta = 0x5004;
constexpr uint32_t CommandSyslog = 0x5005;
// Packets to the parent: payload word 0 is the sequence number.
constexpr uint32_t StatusPacket = 0x5100;

}  // namespace ko::soak
