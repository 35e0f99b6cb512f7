// The channel to the parent daemon against the real process: framing of
// inbound records, routing to plugins, start-up texts, the stop paths, and
// outbound packets from plugin threads.
#include <signal.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "integration/ipc/ipc_fixture.h"

namespace ko::test {
namespace {

using core::buildIpcPacket;
using core::IpcCommandStartup;
using core::IpcCommandStop;

class IpcFraming : public IpcFixture {
 protected:
  void SetUp() override { startWith(KO_IPC_ECHO_PLUGIN, EchoPluginId); }
  void TearDown() override {
    if (core.running()) {
      core.sendPacket(buildIpcPacket(0, IpcCommandStop, 0));
      EXPECT_TRUE(core.exitsWith(0));
    }
  }
};

TEST_F(IpcFraming, TwoPacketsInOneRecordAreBothDelivered) {
  const auto first = echoRequest(EchoPluginId, "first");
  const auto second = echoRequest(EchoPluginId, "second, a little longer", 0xabcdef01);
  ASSERT_TRUE(core.sendPacket(concat({first, second})));
  EXPECT_TRUE(nextReplyWraps(first, IpcTestEchoReply));
  EXPECT_TRUE(nextReplyWraps(second, IpcTestEchoReply));
}

TEST_F(IpcFraming, PacketSplitInsideHeaderIsDeliveredWhole) {
  const auto packet = echoRequest(EchoPluginId, "split inside the header");
  ASSERT_TRUE(core.sendPacket(packet.data(), 10));
  ASSERT_TRUE(core.sendPacket(packet.data() + 10, packet.size() - 10));
  EXPECT_TRUE(nextReplyWraps(packet, IpcTestEchoReply));
}

TEST_F(IpcFraming, PacketSplitInsidePayloadIsDeliveredWholeWithTheNextOne) {
  const auto packet = echoRequest(EchoPluginId, std::string(3000, 'p'));
  const auto next = echoRequest(EchoPluginId, "next");
  ASSERT_TRUE(core.sendPacket(packet.data(), 1000));
  // The second record completes the first packet and carries another.
  std::vector<uint8_t> rest(packet.begin() + 1000, packet.end());
  ASSERT_TRUE(core.sendPacket(concat({rest, next})));
  EXPECT_TRUE(nextReplyWraps(packet, IpcTestEchoReply));
  EXPECT_TRUE(nextReplyWraps(next, IpcTestEchoReply));
}

TEST_F(IpcFraming, LargestPacketIsDeliveredWhole) {
  const auto packet = echoRequest(EchoPluginId, std::string(core::IpcMaxPacket - core::IpcHeaderSize, 'L'));
  ASSERT_TRUE(core.sendPacket(packet));
  // The reply is longer than one outbound record, so it leaves in two.
  auto head = core.waitForPacket(5s);
  auto tail = core.waitForPacket(5s);
  ASSERT_TRUE(head && tail);
  EXPECT_EQ(head->size(), core::IpcMaxPacket);
  EXPECT_EQ(head->size() + tail->size(), core::IpcHeaderSize + packet.size());
  EXPECT_EQ(core::readIpcHeader(head->data()).length, core::IpcHeaderSize + packet.size());
}

TEST_F(IpcFraming, RecordCutShortByTheBufferDoesNotMisframeTheNextRecord) {
  // A nearly full-size packet arrives in two records; the second also
  // carries the start of another packet, which the buffer cannot hold and
  // the socket cuts off. That remnant must not swallow the next record.
  const auto big = echoRequest(EchoPluginId, std::string(65500 - core::IpcHeaderSize, 'B'));
  const auto cutOff = echoRequest(EchoPluginId, std::string(200, 'C'));
  constexpr size_t FirstPart = 30000;
  ASSERT_TRUE(core.sendPacket(big.data(), FirstPart));
  std::vector<uint8_t> rest(big.begin() + FirstPart, big.end());
  ASSERT_TRUE(core.sendPacket(concat({rest, cutOff})));
  const auto after = echoRequest(EchoPluginId, "after the cut");
  ASSERT_TRUE(core.sendPacket(after));

  EXPECT_TRUE(nextReplyWraps(big, IpcTestEchoReply));
  EXPECT_TRUE(nextReplyWraps(after, IpcTestEchoReply));
  EXPECT_TRUE(core.waitForOutput("ipc record truncated", 2s, Stream::Stdout));
}

class IpcBadLength : public IpcFraming, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(IpcBadLength, IsReportedAndTheNextRecordParses) {
  auto bad = echoRequest(EchoPluginId, "bad length word");
  core::storeLe32(bad.data(), GetParam());
  ASSERT_TRUE(core.sendPacket(bad));
  EXPECT_TRUE(core.waitForOutput("bad ipc packet length", 5s, Stream::Stdout));
  const auto good = echoRequest(EchoPluginId, "after the bad one");
  ASSERT_TRUE(core.sendPacket(good));
  EXPECT_TRUE(nextReplyWraps(good, IpcTestEchoReply));
}

// 65537 could never fit the buffer; 0 could never advance the parser. The
// parser's unit tests cover the other out-of-bounds values.
INSTANTIATE_TEST_SUITE_P(OutOfBounds, IpcBadLength, ::testing::Values(65537u, 0u));

TEST_F(IpcFraming, PacketForAnotherIdentifierIsDropped) {
  ASSERT_TRUE(core.sendPacket(echoRequest(0x06, "not for the echo plugin")));
  const auto mine = echoRequest(EchoPluginId, "mine");
  ASSERT_TRUE(core.sendPacket(mine));
  EXPECT_TRUE(nextReplyWraps(mine, IpcTestEchoReply));
}

TEST_F(IpcFraming, TargetBitsOutsideTheIdentifierAreIgnored) {
  const auto packet = buildIpcPacket(core::ipcTargetFor(EchoPluginId) | 0xf00fffffu, IpcTestEcho, 0, "extra bits");
  ASSERT_TRUE(core.sendPacket(packet));
  EXPECT_TRUE(nextReplyWraps(packet, IpcTestEchoReply));
}

TEST_F(IpcFraming, StartupPacketDoesNotStopRouting) {
  using namespace std::string_literals;
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, IpcCommandStartup, 0, "norvad\0"s "1.2.3\0"s)));
  const auto packet = echoRequest(EchoPluginId, "after start-up");
  ASSERT_TRUE(core.sendPacket(packet));
  EXPECT_TRUE(nextReplyWraps(packet, IpcTestEchoReply));
}

class IpcRouting : public IpcFixture {};

TEST_F(IpcRouting, PluginWithoutOnIpcResultGetsWholePacketAsIoctl) {
  startWith(KO_IPC_IOCTL_PLUGIN, IoctlPluginId);
  const auto packet = echoRequest(IoctlPluginId, "by ioctl", 77);
  ASSERT_TRUE(core.sendPacket(packet));
  EXPECT_TRUE(nextReplyWraps(packet, IpcTestIoctlReply));
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, IpcCommandStop, 0)));
  EXPECT_TRUE(core.exitsWith(0));
}

TEST_F(IpcRouting, FirstPluginWithTheIdentifierGetsThePacket) {
  // Both report identifier 05; the discovered plugin precedes the logging
  // plugin in the list and answers through IOCTL.
  core.installPlugin(KO_IPC_IOCTL5_PLUGIN, PluginFolder::Plugins, "first.so");
  core.installPlugin(KO_IPC_ECHO_PLUGIN, PluginFolder::Plugins, "LogPI.so");
  ASSERT_TRUE(core.start());
  ASSERT_TRUE(waitUntilRouted(EchoPluginId));
  const auto packet = echoRequest(EchoPluginId, "to the first 05");
  ASSERT_TRUE(core.sendPacket(packet));
  EXPECT_TRUE(nextReplyWraps(packet, IpcTestIoctlReply));
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, IpcCommandStop, 0)));
  EXPECT_TRUE(core.exitsWith(0));
}

TEST_F(IpcRouting, PluginWithCoreSourceIdIsPassedOverForIdentifierZero) {
  // The core-id plugin comes first and its identifier bits are 0, but only
  // the logging plugin with identifier 00 may get the packet.
  core.installPlugin(KO_IPC_CORE_ID_PLUGIN, PluginFolder::Plugins, "core.so");
  core.installPlugin(KO_IPC_IOCTL0_PLUGIN, PluginFolder::Plugins, "LogPI.so");
  ASSERT_TRUE(core.start());
  ASSERT_TRUE(waitUntilRouted(0x00));
  const auto packet = echoRequest(0x00, "to identifier 00");
  ASSERT_TRUE(core.sendPacket(packet));
  EXPECT_TRUE(nextReplyWraps(packet, IpcTestIoctlReply));
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, IpcCommandStop, 0)));
  EXPECT_TRUE(core.exitsWith(0));
}

class IpcCoreIdPlugin : public IpcFixture {};

TEST_F(IpcCoreIdPlugin, IsNeverChosenEvenForIdentifierZero) {
  // The plugin reports the core's source id, whose identifier bits are 0.
  core.installPlugin(KO_IPC_CORE_ID_PLUGIN, PluginFolder::Plugins, "LogPI.so");
  ASSERT_TRUE(core.start());
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(core.sendPacket(echoRequest(0x00, "for id 0")));
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, IpcCommandStop, 0)));
  EXPECT_TRUE(core.exitsWith(0));
  while (auto packet = core.waitForPacket(0ms)) {
    EXPECT_NE(core::readIpcHeader(packet->data()).command, IpcTestEchoReply);
  }
  EXPECT_NE(closeReport(0x00).find("received=0\n"), std::string::npos) << closeReport(0x00);
}

class IpcStop : public IpcFixture {};

// Packets a plugin submits in "Close" and "Unload" were taken over with 0:
// they reach the parent before the core ends.
TEST_F(IpcStop, StopCommandStopsWithExitZeroAfterSendingThePacketsOfTheStop) {
  startWith(KO_IPC_ECHO_PLUGIN, EchoPluginId);
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, IpcCommandStop, 0)));
  EXPECT_TRUE(core.exitsWith(0));
  const std::string report = closeReport(EchoPluginId);
  EXPECT_NE(report.find("late-send=0\nunload-send=0\n"), std::string::npos) << report;
  std::vector<std::string> payloads;
  while (auto packet = core.waitForPacket(0ms)) payloads.emplace_back(packet->begin() + core::IpcHeaderSize, packet->end());
  EXPECT_EQ(payloads, (std::vector<std::string>{"late", "unload"}));
}

// The logging plugin's own "Close" and "Unload" come once nothing sends
// packets any more: its packets are refused, not taken over and lost.
TEST_F(IpcStop, PacketsOfTheLoggingPluginsOwnEndAreRefused) {
  startWith(KO_IPC_ECHO8_PLUGIN, 0x08);
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, IpcCommandStop, 0)));
  EXPECT_TRUE(core.exitsWith(0));
  const std::string report = closeReport(0x08);
  EXPECT_NE(report.find("late-send=1\nunload-send=1\n"), std::string::npos) << report;
}

TEST_F(IpcStop, ParentClosingItsEndStopsWithExitZeroAndRefusesLaterSends) {
  startWith(KO_IPC_ECHO_PLUGIN, EchoPluginId);
  core.closeParentEnd();
  EXPECT_TRUE(core.exitsWith(0));
  EXPECT_TRUE(core.waitForOutput("norvad ipc pipe disconnected", 2s, Stream::Stdout));
  // The plugin's send from "Close" comes after the channel closed.
  EXPECT_NE(closeReport(EchoPluginId).find("late-send=1\n"), std::string::npos) << closeReport(EchoPluginId);
}

TEST(IpcNoChannel, DescriptorMinusOneRunsUntilSignal) {
  CoreProcess core;
  ASSERT_TRUE(core.start(CoreOptions().arguments({})));
  ASSERT_TRUE(core.waitUntilRunning()) << core.allOutput();
  // Nothing to disconnect: the core is still running once fully started.
  EXPECT_FALSE(core.waitForOutput("disconnected", 200ms));
  ASSERT_TRUE(core.signal(SIGTERM));
  EXPECT_TRUE(core.exitsWith(0));
}

struct StartupCase {
  std::string third;
  bool quiet;
};

class IpcStartupTexts : public IpcFixture, public ::testing::WithParamInterface<StartupCase> {};

TEST_P(IpcStartupTexts, OnlyExactBackgroundTextQuietsTheConsole) {
  startWith(KO_IPC_ECHO_PLUGIN, EchoPluginId);
  std::string payload = std::string("norvad") + '\0' + "9.9" + '\0' + GetParam().third + '\0';
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, IpcCommandStartup, 0, payload)));
  // A warning the core always prints, then a packet whose reply shows the
  // warning has been handled.
  auto bad = echoRequest(EchoPluginId, "");
  core::storeLe32(bad.data(), 65537);
  ASSERT_TRUE(core.sendPacket(bad));
  const auto marker = echoRequest(EchoPluginId, "marker");
  ASSERT_TRUE(core.sendPacket(marker));
  ASSERT_TRUE(nextReplyWraps(marker, IpcTestEchoReply));
  EXPECT_EQ(core.waitForOutput("bad ipc packet length", GetParam().quiet ? 200ms : 5s, Stream::Stdout),
            !GetParam().quiet);
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, IpcCommandStop, 0)));
  EXPECT_TRUE(core.exitsWith(0));
}

INSTANTIATE_TEST_SUITE_P(ThirdText, IpcStartupTexts,
                         ::testing::Values(StartupCase{"Background:true", true},
                                           StartupCase{"Background:true ", false},
                                           StartupCase{"background:true", false}),
                         [](const ::testing::TestParamInfo<StartupCase>& param) {
                           return "Case" + std::to_string(param.index);
                         });

class IpcConcurrency : public IpcFixture {};

TEST_F(IpcConcurrency, OutboundPacketsFromFourPluginThreadsArriveWholeAndInOrder) {
  startWith(KO_IPC_ECHO_PLUGIN, EchoPluginId);
  constexpr uint32_t PerThread = 400;
  std::string count(4, '\0');
  core::storeLe32(reinterpret_cast<uint8_t*>(count.data()), PerThread);
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(core::ipcTargetFor(EchoPluginId), IpcTestBurst, 0, count)));

  std::map<uint32_t, uint32_t> nextSeq;
  for (uint32_t i = 0; i < PerThread * IpcTestBurstThreads; ++i) {
    auto packet = core.waitForPacket(10s);
    ASSERT_TRUE(packet) << "after " << i << " packets";
    ASSERT_GE(packet->size(), core::IpcHeaderSize + 8);
    const auto header = core::readIpcHeader(packet->data());
    ASSERT_EQ(header.length, packet->size());
    ASSERT_EQ(header.command, IpcTestBurstReply);
    const uint32_t thread = core::loadLe32(packet->data() + core::IpcHeaderSize);
    const uint32_t seq = core::loadLe32(packet->data() + core::IpcHeaderSize + 4);
    ASSERT_LT(thread, IpcTestBurstThreads);
    ASSERT_EQ(seq, nextSeq[thread]) << "thread " << thread << " out of order";
    ASSERT_EQ(packet->size(), core::IpcHeaderSize + 8 + seq % 97);
    for (size_t b = core::IpcHeaderSize + 8; b < packet->size(); ++b) {
      ASSERT_EQ((*packet)[b], 'a' + thread);
    }
    ++nextSeq[thread];
  }
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, IpcCommandStop, 0)));
  EXPECT_TRUE(core.exitsWith(0));
}

TEST_F(IpcConcurrency, NoPacketReachesAPluginWhileItsCloseRuns) {
  startWith(KO_IPC_ECHO_PLUGIN, EchoPluginId);
  // The parent keeps sending plugin packets through the stop and shutdown.
  std::atomic<bool> done{false};
  std::thread parent([&] {
    const auto packet = core::buildIpcPacket(core::ipcTargetFor(EchoPluginId), 0x150, 0, "keep coming");
    for (int i = 0; !done.load(); ++i) {
      if (i == 200) core.sendPacket(buildIpcPacket(0, IpcCommandStop, 0), 100ms);
      if (!core.sendPacket(packet, 100ms)) break;
    }
  });
  EXPECT_TRUE(core.exitsWith(0));
  done.store(true);
  parent.join();
  const std::string report = closeReport(EchoPluginId);
  EXPECT_NE(report.find("during-close=0\n"), std::string::npos) << report;
}

// A parent that stops reading while a plugin floods it: the core holds at most
// the send queue's bound, answers the rest with 1, says so once, delivers what
// it accepted in order once the parent reads, and accepts again only once the
// queue has drained below half the bound. Flooding from "OnIpcResult" keeps
// the io thread busy, so the packets wait as posted jobs, not in the queue.
class IpcSendQueue : public IpcFixture, public ::testing::WithParamInterface<bool> {
 protected:
  static constexpr uint32_t FloodCount = 3000;
  static constexpr uint32_t FloodSize = 32768;
#ifdef __SANITIZE_THREAD__
  static constexpr bool RunsUnderThreadSanitizer = true;
#else
  static constexpr bool RunsUnderThreadSanitizer = false;
#endif

  void flood(uint32_t count, uint32_t size, bool onIoThread) {
    std::string words(12, '\0');
    auto* p = reinterpret_cast<uint8_t*>(words.data());
    core::storeLe32(p, count);
    core::storeLe32(p + 4, size);
    core::storeLe32(p + 8, onIoThread ? 1 : 0);
    std::filesystem::remove(core.workDir() / "05.ipc-flood");
    ASSERT_TRUE(core.sendPacket(buildIpcPacket(core::ipcTargetFor(EchoPluginId), IpcTestFlood, 0, words)));
  }

  // accepted, refused and other results of the last flood.
  std::array<long, 3> floodResults() {
    const auto path = core.workDir() / "05.ipc-flood";
    if (!eventually([&] { return std::filesystem::exists(path); }, 30s)) return {-1, -1, -1};
    std::array<long, 3> results{};
    if (std::sscanf(readFile(path).c_str(), "accepted=%ld\nrefused=%ld\nother=%ld", &results[0], &results[1],
                    &results[2]) != 3) {
      return {-1, -1, -1};
    }
    return results;
  }

  long residentKib() const { return std::atol(core.procStatus("VmRSS").c_str()); }

  // The next flood packet, skipping late answers to the start-up pings.
  std::optional<std::vector<uint8_t>> nextFloodPacket() {
    for (;;) {
      auto packet = core.waitForPacket(5s);
      if (!packet || packet->size() < core::IpcHeaderSize + 4) return packet;
      if (core::readIpcHeader(packet->data()).command == IpcTestFloodReply) return packet;
    }
  }
};

TEST_P(IpcSendQueue, StalledParentBoundsMemoryAndGetsEveryAcceptedPacketInOrder) {
  startWith(KO_IPC_ECHO_PLUGIN, EchoPluginId);
  const long before = residentKib();
  flood(FloodCount, FloodSize, GetParam());
  const auto [accepted, refused, other] = floodResults();
  ASSERT_GE(accepted, 1) << core.allOutput();
  EXPECT_EQ(accepted + refused, FloodCount);
  EXPECT_EQ(other, 0);
  // The socket itself holds a few packets beyond the queue's bound.
  EXPECT_LE(accepted * FloodSize, core::IpcSendQueueLimit + (1 << 20));
  // (ThreadSanitizer's shadow memory multiplies what every copy costs.)
  if (!RunsUnderThreadSanitizer) {
    EXPECT_LT(residentKib() - before, 3 * static_cast<long>(core::IpcSendQueueLimit >> 10));
  }
  EXPECT_TRUE(core.waitForOutput("ipc send queue full, refusing packets", 5s, Stream::Stdout));

  // A few packets read leave the queue above half its bound: still refusing.
  constexpr long Drained = 16;
  ASSERT_GT(accepted, Drained + static_cast<long>(core::IpcSendQueueLimit / 2 / FloodSize));
  for (long seq = 0; seq < Drained; ++seq) {
    auto packet = nextFloodPacket();
    ASSERT_TRUE(packet) << "packet " << seq;
    ASSERT_EQ(core::loadLe32(packet->data() + core::IpcHeaderSize), seq);
  }
  flood(1, 64, true);
  const auto late = floodResults();
  EXPECT_EQ(late[1], 1) << "accepted above half the bound";

  for (long seq = Drained; seq < accepted; ++seq) {
    auto packet = nextFloodPacket();
    ASSERT_TRUE(packet) << "packet " << seq << " of " << accepted;
    ASSERT_EQ(packet->size(), FloodSize);
    ASSERT_EQ(core::loadLe32(packet->data() + core::IpcHeaderSize), seq);
  }
  const std::string resumed =
      "ipc send queue accepting packets again, " + std::to_string(refused + late[1]) + " refused";
  EXPECT_TRUE(core.waitForOutput(resumed, 5s, Stream::Stdout)) << core.stdoutText();
  const auto good = echoRequest(EchoPluginId, "after the flood");
  ASSERT_TRUE(core.sendPacket(good));
  EXPECT_TRUE(nextReplyWraps(good, IpcTestEchoReply));
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, IpcCommandStop, 0)));
  EXPECT_TRUE(core.exitsWith(0));
}

INSTANTIATE_TEST_SUITE_P(Sender, IpcSendQueue, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                           return param.param ? "IoThread" : "PluginThread";
                         });

TEST_F(IpcSendQueue, PacketLargerThanTheBoundGoesWhenNothingWaits) {
  startWith(KO_IPC_ECHO_PLUGIN, EchoPluginId);
  constexpr auto Size = static_cast<uint32_t>(core::IpcSendQueueLimit + 4096);
  flood(2, Size, false);
  const auto [accepted, refused, other] = floodResults();
  EXPECT_EQ(accepted, 1);
  EXPECT_EQ(refused, 1);
  // It leaves as records of at most the largest packet.
  size_t received = 0;
  while (received < Size) {
    auto record = core.waitForPacket(5s);
    ASSERT_TRUE(record) << received << " of " << Size << " bytes";
    if (received == 0 && core::readIpcHeader(record->data()).command != IpcTestFloodReply) continue;
    received += record->size();
  }
  EXPECT_EQ(received, Size);
  EXPECT_TRUE(core.waitForOutput("ipc send queue accepting packets again, 1 refused", 5s, Stream::Stdout));
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, IpcCommandStop, 0)));
  EXPECT_TRUE(core.exitsWith(0));
}

}  // namespace
}  // namespace ko::test
