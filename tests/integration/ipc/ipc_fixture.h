// Shared set-up of the IPC integration tests: a core with one IPC test plugin
// and helpers to talk to it through the channel.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "integration/harness/core_process.h"
#include "ipc/ipc_packet.h"
#include "plugins/ipc/ipc_test_protocol.h"

namespace ko::test {

inline constexpr uint8_t EchoPluginId = 0x05;
inline constexpr uint8_t IoctlPluginId = 0x07;

inline std::vector<uint8_t> echoRequest(uint8_t id, std::string_view payload, uint32_t word3 = 0) {
  return core::buildIpcPacket(core::ipcTargetFor(id), IpcTestEcho, word3, payload);
}

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> pieces) {
  std::vector<uint8_t> all;
  for (const auto& piece : pieces) all.insert(all.end(), piece.begin(), piece.end());
  return all;
}

class IpcFixture : public ::testing::Test {
 protected:
  // Installs `plugin` as the logging plugin (the one plugin every core
  // loads), starts the core and waits until packets reach the plugin.
  void startWith(const char* plugin, uint8_t id) {
    core.installPlugin(plugin, PluginFolder::Plugins, "LogPI.so");
    ASSERT_TRUE(core.start());
    ASSERT_TRUE(waitUntilRouted(id)) << core.allOutput();
  }

  // Plugin packets are dropped until the plugin list holds the plugin; ping
  // it until it answers.
  bool waitUntilRouted(uint8_t id) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (int attempt = 0; std::chrono::steady_clock::now() < deadline; ++attempt) {
      const std::string tag = "ping-" + std::to_string(attempt);
      if (!core.sendPacket(echoRequest(id, tag))) return false;
      if (auto reply = waitForReplyContaining(tag, 50ms)) return true;
    }
    return false;
  }

  // The next reply whose bytes contain `marker`, skipping others.
  std::optional<std::vector<uint8_t>> waitForReplyContaining(std::string_view marker, Millis timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto packet = core.waitForPacket(left);
      if (!packet) return std::nullopt;
      if (std::string_view(reinterpret_cast<const char*>(packet->data()), packet->size()).find(marker) !=
          std::string_view::npos) {
        return packet;
      }
    }
  }

  // Expects the next reply to wrap exactly `sent`, received by `entry`.
  ::testing::AssertionResult nextReplyWraps(const std::vector<uint8_t>& sent, uint32_t entry) {
    auto reply = core.waitForPacket(5s);
    if (!reply) return ::testing::AssertionFailure() << "no reply";
    if (reply->size() < core::IpcHeaderSize) return ::testing::AssertionFailure() << "short reply";
    const auto header = core::readIpcHeader(reply->data());
    if (header.length != reply->size()) return ::testing::AssertionFailure() << "reply length word wrong";
    if (header.command != entry) return ::testing::AssertionFailure() << "reply command " << header.command;
    const std::vector<uint8_t> wrapped(reply->begin() + core::IpcHeaderSize, reply->end());
    if (wrapped != sent) {
      return ::testing::AssertionFailure() << "plugin got " << wrapped.size() << " bytes, sent " << sent.size();
    }
    return ::testing::AssertionSuccess();
  }

  std::string closeReport(uint8_t id) const {
    char name[32];
    std::snprintf(name, sizeof name, "%02x.ipc-close", id);
    return readFile(core.workDir() / name);
  }

  CoreProcess core;
};

}  // namespace ko::test
