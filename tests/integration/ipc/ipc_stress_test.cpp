// A seeded storm of random records against the real process: valid packets
// for present and absent plugins, several packets per record, packets split
// over records, out-of-bounds and misleading length words, start-up texts.
// The channel must recover and the stop command must end the core cleanly.
#include <random>

#include "integration/ipc/ipc_fixture.h"

namespace ko::test {
namespace {

constexpr uint32_t StormSeed = 20261208;
constexpr int StormRecords = 3000;

class IpcStress : public IpcFixture {
 protected:
  std::vector<uint8_t> randomPacket(std::mt19937& rng) {
    std::uniform_int_distribution<int> size(0, 1500);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string payload(static_cast<size_t>(size(rng)), '\0');
    for (char& c : payload) c = static_cast<char>(byte(rng));
    const uint8_t ids[] = {EchoPluginId, 0x00, 0x06, static_cast<uint8_t>(byte(rng))};
    const uint32_t commands[] = {IpcTestEcho, 0x150, core::IpcCommandStartup, static_cast<uint32_t>(rng()) | 0x1000u};
    const uint8_t id = ids[rng() % 4];
    const uint32_t command = commands[rng() % 4];
    return core::buildIpcPacket(core::ipcTargetFor(id), command, static_cast<uint32_t>(rng()), payload);
  }

  // After garbage the parser may be waiting inside a misread packet; records
  // of 0xff bytes end that (any length word read from them is out of
  // bounds), and an echo in a fresh record shows the channel is in step.
  bool resynchronise() {
    const std::vector<uint8_t> filler(4096, 0xff);
    for (int round = 0; round < 40; ++round) {
      const std::string tag = "resync-" + std::to_string(round);
      if (!core.sendPacket(filler) || !core.sendPacket(echoRequest(EchoPluginId, tag))) return false;
      if (waitForReplyContaining(tag, 200ms)) return true;
    }
    return false;
  }
};

TEST_F(IpcStress, RandomPacketStormThenStopCommandExitsZero) {
  startWith(KO_IPC_ECHO_PLUGIN, EchoPluginId);
  std::mt19937 rng(StormSeed);
  SCOPED_TRACE("seed " + std::to_string(StormSeed));
  for (int i = 0; i < StormRecords; ++i) {
    auto packet = randomPacket(rng);
    switch (rng() % 10) {
      case 0:  // several packets in one record
        packet = concat({packet, randomPacket(rng), randomPacket(rng)});
        ASSERT_TRUE(core.sendPacket(packet));
        break;
      case 1: {  // split over two records
        const size_t cut = 1 + rng() % (packet.size() - 1);
        ASSERT_TRUE(core.sendPacket(packet.data(), cut));
        ASSERT_TRUE(core.sendPacket(packet.data() + cut, packet.size() - cut));
        break;
      }
      case 2: {  // a length word that lies
        const uint32_t lies[] = {0, 7, 15, 65537, 0xffffffffu, static_cast<uint32_t>(rng() % 70000)};
        core::storeLe32(packet.data(), lies[rng() % 6]);
        ASSERT_TRUE(core.sendPacket(packet));
        break;
      }
      default:
        ASSERT_TRUE(core.sendPacket(packet));
        break;
    }
    // Drain echoes now and then so the core's outbound queue keeps moving.
    while (core.waitForPacket(0ms)) {
    }
  }
  ASSERT_TRUE(resynchronise()) << core.allOutput();
  ASSERT_TRUE(core.sendPacket(core::buildIpcPacket(0, core::IpcCommandStop, 0)));
  EXPECT_TRUE(core.exitsWith(0, 10s));
}

}  // namespace
}  // namespace ko::test
