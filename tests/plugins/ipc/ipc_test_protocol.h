// The commands the IPC test plugins understand and answer with; shared by the
// plugins and the tests that drive them.
#pragma once

#include <cstdint>

namespace ko::test {

inline constexpr uint32_t IpcTestEcho = 0x100;
inline constexpr uint32_t IpcTestBurst = 0x101;
// Payload words: count, packet size, 1 = send on the io thread inside
// "OnIpcResult" (else on a thread of the plugin's own).
inline constexpr uint32_t IpcTestFlood = 0x102;
// Reply commands: which entry point received the echoed packet.
inline constexpr uint32_t IpcTestEchoReply = 0x201;
inline constexpr uint32_t IpcTestIoctlReply = 0x202;
inline constexpr uint32_t IpcTestBurstReply = 0x300;
inline constexpr uint32_t IpcTestBurstThreads = 4;
inline constexpr uint32_t IpcTestFloodReply = 0x301;

}  // namespace ko::test
