// The packets the soak's parent and its load plugins exchange, kept in one
// place so that the two sides cannot drift apart.
#pragma once

#include <cstdint>

namespace ko::soak {

// Commands from the parent (payload word 0: the rate times 1000 for "go";
// a count of seconds for the stall, the holds and the flood; a count of
// lines or searches for those). Words are little-endian.
constexpr uint32_t CommandGo = 0x5000;
constexpr uint32_t CommandQuiet = 0x5001;
constexpr uint32_t CommandStall = 0x5002;
constexpr uint32_t CommandHog = 0x5003;
constexpr uint32_t CommandDelta = 0x5004;
constexpr uint32_t CommandSyslog = 0x5005;
// The recorder stops hogging and gives back what it hogged.
constexpr uint32_t CommandRelease = 0x5006;
// Every plugin of the load answers with a CountsPacket.
constexpr uint32_t CommandCounts = 0x5007;
// A camera logs as fast as it can for word 0 seconds.
constexpr uint32_t CommandFlood = 0x5008;
// A camera logs word 0 lines at once.
constexpr uint32_t CommandLogLines = 0x5009;
// A camera submits word 1 records of BigRecordBytes a second for word 0
// seconds from a thread of its own.
constexpr uint32_t CommandBig = 0x500a;
// The receiving plugin stays in "OnIpcResult" for word 0 seconds.
constexpr uint32_t CommandHoldIpc = 0x500b;
// The recorder holds every "OnSearch" call for word 0 seconds; word 1 not 0:
// even through "Close".
constexpr uint32_t CommandHoldSearch = 0x500c;
// The requester asks for word 0 searches, word 1 a second.
constexpr uint32_t CommandSearchBurst = 0x500d;

// Packets to the parent: payload word 0 is the sequence number.
constexpr uint32_t StatusPacket = 0x5100;
// Payload: "name=value" lines, the first "id=<identifier in hex>".
constexpr uint32_t CountsPacket = 0x5101;

constexpr uint32_t BigRecordBytes = 1024 * 1024;

}  // namespace ko::soak
