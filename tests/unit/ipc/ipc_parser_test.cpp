// The receive parser in process: what one record does to the core's state
// (parent texts, quiet console, stop request, fill count, counters), without
// a socket. Records are fed on the core's I/O service exactly as a receive
// completion would run.
#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <cstring>
#include <string>

#include "core/core_io.h"
#include "core/dvr_core.h"
#include "ipc/ipc_packet.h"
#include "monitor/counters.h"
#include "plugins/ipc/ipc_test_protocol.h"
#include "plugins/plugin.h"
#include "support/core_test_support.h"

extern "C" int32_t submitEventCallback(ko::core::EventParms* record) noexcept;

namespace ko::core {
namespace {

using namespace std::string_literals;

class IpcParser : public ::testing::Test {
 protected:
  // Copies `record` behind the buffered bytes and completes a receive of it.
  void receive(const std::vector<uint8_t>& record) {
    ASSERT_LE(record.size(), IpcBufferSize - core.ipcFill);
    boost::asio::post(core.io->context, [&] {
      std::memcpy(core.ipcBuffer.data() + core.ipcFill, record.data(), record.size());
      core.onIpcReceive({}, record.size());
    });
    core.io->context.restart();
    core.io->context.run();
  }
  void receiveStartup(const std::string& payload) { receive(buildIpcPacket(0, IpcCommandStartup, 0, payload)); }

  DvrCore core{"/nonexistent/bin/dvrcore"};
};

TEST_F(IpcParser, StartupTextsSetFileNameVersionAndQuietConsole) {
  receiveStartup("A\0B\0Background:true\0"s);
  EXPECT_EQ(core.parentIdentity(), std::make_pair("A"s, "B"s));
  EXPECT_TRUE(core.consoleQuiet.load());
  EXPECT_EQ(core.ipcFill, 0u);
}

TEST_F(IpcParser, SingleTextChangesOnlyTheFileName) {
  receiveStartup("old\0v1"s);
  receiveStartup("A"s);
  EXPECT_EQ(core.parentIdentity(), std::make_pair("A"s, "v1"s));
  EXPECT_FALSE(core.consoleQuiet.load());
}

TEST_F(IpcParser, EmptyStartupPayloadChangesNothing) {
  receiveStartup("name\0ver"s);
  receiveStartup("");
  EXPECT_EQ(core.parentIdentity(), std::make_pair("name"s, "ver"s));
}

TEST_F(IpcParser, QuietConsoleNeverReturnsToOff) {
  receiveStartup("A\0B\0Background:true"s);
  receiveStartup("A\0B\0Background:false"s);
  EXPECT_TRUE(core.consoleQuiet.load());
}

class IpcParserNearMiss : public IpcParser, public ::testing::WithParamInterface<std::string> {};

TEST_P(IpcParserNearMiss, DoesNotQuietTheConsole) {
  receiveStartup("A\0B\0"s + GetParam() + '\0');
  EXPECT_FALSE(core.consoleQuiet.load());
  EXPECT_EQ(core.parentIdentity(), std::make_pair("A"s, "B"s));
}

INSTANTIATE_TEST_SUITE_P(ThirdText, IpcParserNearMiss,
                         ::testing::Values("Background:true "s, "background:true"s, "Background:tru"s, ""s));

TEST_F(IpcParser, BackgroundAsSecondTextIsOnlyTheVersion) {
  receiveStartup("A\0Background:true"s);
  EXPECT_FALSE(core.consoleQuiet.load());
}

TEST_F(IpcParser, PacketSplitAcrossReceivesWaitsForItsSecondPart) {
  const auto packet = buildIpcPacket(0, IpcCommandStartup, 0, "split\0ok"s);
  receive({packet.begin(), packet.begin() + 20});
  EXPECT_EQ(core.ipcFill, 20u);
  EXPECT_EQ(core.parentIdentity().first, "");
  receive({packet.begin() + 20, packet.end()});
  EXPECT_EQ(core.ipcFill, 0u);
  EXPECT_EQ(core.parentIdentity(), std::make_pair("split"s, "ok"s));
}

TEST_F(IpcParser, StopCommandRequestsStopAndParsingGoesOn) {
  auto record = buildIpcPacket(0, IpcCommandStop, 0);
  const auto startup = buildIpcPacket(0, IpcCommandStartup, 0, "after"s);
  record.insert(record.end(), startup.begin(), startup.end());
  receive(record);
  EXPECT_TRUE(core.stopping());
  EXPECT_EQ(core.parentIdentity().first, "after");
}

class IpcParserBadLength : public IpcParser, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(IpcParserBadLength, DiscardsTheBufferAndTheNextRecordParses) {
  auto bad = buildIpcPacket(0, IpcCommandStartup, 0, "never\0applied"s);
  storeLe32(bad.data(), GetParam());
  receive(bad);
  EXPECT_EQ(core.ipcFill, 0u);
  EXPECT_EQ(core.parentIdentity().first, "");
  receiveStartup("next"s);
  EXPECT_EQ(core.parentIdentity().first, "next");
}

INSTANTIATE_TEST_SUITE_P(OutOfBounds, IpcParserBadLength, ::testing::Values(0u, 1u, 15u, 65537u, 0xffffffffu));

TEST_F(IpcParser, LengthInBoundsButNotYetBufferedWaits) {
  auto head = buildIpcPacket(0, IpcCommandStartup, 0, "x"s);
  storeLe32(head.data(), 65536);
  receive(head);
  EXPECT_EQ(core.ipcFill, head.size());
}

class IpcRouting : public IpcParser {
 protected:
  void SetUp() override {
    plugin = LoadPlugin(KO_IPC_ECHO_PLUGIN, submitEventCallback, nullptr, 0);
    ASSERT_TRUE(plugin->loaded()) << plugin->errorText;
    std::unique_lock lock(core.pluginsLock);
    core.plugins.push_back(plugin);
  }
  void TearDown() override {
    std::unique_lock lock(core.pluginsLock);
    core.plugins.clear();
  }
  std::shared_ptr<Plugin> plugin;
};

TEST_F(IpcRouting, DeliveredPacketIsCountedWithItsBytes) {
  const int64_t packets = counters.ipcPackets.load();
  const int64_t bytes = counters.ipcBytes.load();
  const auto packet = buildIpcPacket(ipcTargetFor(0x05), 0x150, 0, "counted");
  receive(packet);
  EXPECT_EQ(counters.ipcPackets.load() - packets, 1);
  EXPECT_EQ(counters.ipcBytes.load() - bytes, static_cast<int64_t>(packet.size()));
}

TEST_F(IpcRouting, PacketsAfterOddLengthsArriveAligned) {
  std::vector<uint8_t> record;
  for (size_t extra : {1u, 3u, 5u, 7u, 2u}) {
    const auto packet = buildIpcPacket(ipcTargetFor(0x05), 0x150, 0, std::string(extra, 'x'));
    record.insert(record.end(), packet.begin(), packet.end());
  }
  const int64_t packets = counters.ipcPackets.load();
  receive(record);
  EXPECT_EQ(counters.ipcPackets.load() - packets, 5);
  const auto misaligned = reinterpret_cast<int (*)()>(plugin->handle.symbol("ipcTestMisaligned"));
  ASSERT_NE(misaligned, nullptr);
  EXPECT_EQ(misaligned(), 0);
}

TEST_F(IpcRouting, PacketForAbsentPluginIsNotCounted) {
  const int64_t packets = counters.ipcPackets.load();
  receive(buildIpcPacket(ipcTargetFor(0x06), 0x150, 0, "nobody"));
  EXPECT_EQ(counters.ipcPackets.load(), packets);
}

TEST_F(IpcRouting, ClosedPluginStillGetsPacketsUntilItIsUnloaded) {
  const int64_t packets = counters.ipcPackets.load();
  const int64_t dropped = counters.ipcDropped.load();
  plugin->Retire(Plugin::Retired::Closed);
  receive(buildIpcPacket(ipcTargetFor(0x05), 0x150, 0, "closed"));
  EXPECT_EQ(counters.ipcPackets.load(), packets + 1);
  plugin->Retire(Plugin::Retired::Unloaded);
  receive(buildIpcPacket(ipcTargetFor(0x05), 0x150, 0, "too late"));
  EXPECT_EQ(counters.ipcPackets.load(), packets + 1);
  EXPECT_EQ(counters.ipcDropped.load(), dropped + 1);
}

// The logging plugin out of the list (identifier 0x08 at closing) lives on
// until the core goes; packets for it are lost, and the stop says how many.
TEST_F(IpcRouting, PacketForTheLoggingPluginOutOfTheListIsCountedAndReported) {
  {
    std::unique_lock lock(core.pluginsLock);
    core.plugins.clear();
    core.logPlugin = plugin;
  }
  const int64_t packets = counters.ipcPackets.load();
  const int64_t dropped = counters.ipcDropped.load();
  receive(buildIpcPacket(ipcTargetFor(0x05), 0x150, 0, "nowhere"));
  receive(buildIpcPacket(ipcTargetFor(0x06), 0x150, 0, "nobody's"));
  EXPECT_EQ(counters.ipcPackets.load(), packets);
  EXPECT_EQ(counters.ipcDropped.load(), dropped + 1);

  coreInstance = &core;
  core.consoleQuiet = true;
  (void)ko::test::takeQueue(core);
  core.reportDroppedPackets();
  coreInstance = nullptr;
  std::vector<std::string> lines;
  for (auto& [record, text] : ko::test::takeQueue(core)) {
    if (record.type == EventTypeLog && static_cast<int>(record.body.bodyParam) == 50) lines.push_back(text);
  }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind(std::to_string(counters.ipcDropped.load()) + " IPC packet(s)", 0), 0u) << lines[0];
}

TEST_F(IpcRouting, SubmissionWithoutChannelIsRefused) {
  const char bytes[] = "0123456789abcdef";
  auto record = makeEvent(EventTypeIpc, EventClassLive, 0x050000, bytes, 16);
  EXPECT_EQ(core.sendIpcPacket(record), 1);
}

}  // namespace
}  // namespace ko::core
