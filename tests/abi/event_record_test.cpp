// The record vocabulary shared with plugins: names, source rules and views.
#include <gtest/gtest.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "ipc/ipc_packet.h"
#include "ko/core/event.hpp"

namespace ko::core {
namespace {

TEST(EventTypeName, MasksModifierAndRejectsCombinedBits) {
  EXPECT_EQ(eventTypeName(0x4001), "video");
  EXPECT_EQ(eventTypeName(3), "unknown");
  EXPECT_EQ(eventTypeName(0), "unspecified");
  EXPECT_EQ(eventTypeName(0x4000), "unspecified");
  EXPECT_EQ(eventTypeName(128), "unknown");
  EXPECT_EQ(eventTypeName(0x10000), "analytic");
  // Only the low 32 bits name the type.
  EXPECT_EQ(eventTypeName(0x100000000ull | 0x8000), "crypto");
}

TEST(SourceRules, CoreAndPluginZeroShareIndexButNotOrigin) {
  EXPECT_EQ(sourceIndex(0x80000000u), 0);
  EXPECT_EQ(originKey(0x80000000u), 0x80000000u);
  EXPECT_EQ(sourceIndex(0x00000005u), 0);
  EXPECT_EQ(originKey(0x00000005u), 0u);
  EXPECT_NE(originKey(0x00000005u), originKey(CoreSourceId));
  EXPECT_EQ(originKey(0x00120001u), originKey(0x0012ff00u));
  EXPECT_EQ(sourceIndex(0x00120001u), 0x12);
  // Upper 32 bits of the source field carry no meaning.
  EXPECT_EQ(originKey(0xffffffff80000000ull), CoreSourceId);
}

TEST(EventView, StoredWinsOverOutputAndModifierIsNotOutput) {
  auto record = makeEvent(EventTypeVideo, EventClassStored, 0x00100000u);
  record.body.mediaFlags = MediaFlagOutput;
  EXPECT_EQ(eventView(record), EventView::StoredVideo);

  record.flags = EventClassLive;
  EXPECT_EQ(eventView(record), EventView::VideoOut);
  record.type = 0x4001;
  EXPECT_EQ(eventView(record), EventView::Video);
  record.type = EventTypeAudio;
  EXPECT_EQ(eventView(record), EventView::AudioOut);
  record.type = EventTypePos;
  EXPECT_EQ(eventView(record), EventView::POS);
  record.flags = EventClassStored;
  EXPECT_EQ(eventView(record), EventView::StoredPOS);
  record.type = 3;
  EXPECT_EQ(eventView(record), EventView::None);
}

TEST(MakeRecord, StampsHeadersAndZeroesTheRest) {
  const auto record = makeRecord<EventParms>();
  uint64_t head = 0, body = 0;
  std::memcpy(&head, &record, 8);
  std::memcpy(&body, reinterpret_cast<const char*>(&record) + 56, 8);
  EXPECT_EQ(head, 0x1000000e0ull);
  EXPECT_EQ(body, 0x1000000a8ull);
  EXPECT_EQ(record.body.context, nullptr);
  const auto info = makeRecord<PluginInfo>();
  EXPECT_EQ(info.size, 112u);
  EXPECT_EQ(info.version, 3u);
  EXPECT_EQ(info.sourceId, 0u);
}

// The SDK's helpers must agree with the rules the core itself applies.
TEST(SdkHelpers, AgreeWithTheCoresOwnRules) {
  for (unsigned id = 0; id < 256; ++id) {
    for (const uint16_t channel : {0, 1, 0x7fff, 0xffff}) {
      const uint32_t source = koSourceId(static_cast<uint8_t>(id), channel);
      EXPECT_EQ(sourceIndex(source), id);
      EXPECT_EQ(originKey(source), id << 16);
      EXPECT_EQ(koSourceIdentifier(source), id);
      EXPECT_EQ(koSourceChannel(source), channel);
    }
    EXPECT_EQ(koIpcTarget(static_cast<uint8_t>(id)), ipcTargetFor(static_cast<uint8_t>(id)));
    EXPECT_EQ(koIpcTargetIdentifier(koIpcTarget(static_cast<uint8_t>(id)) | 0xf00fffffu), id);
  }
  auto record = makeEvent(EventTypeAlarm, EventClassLive, 0xffffffff80000000ull);
  EXPECT_TRUE(koIsCoreRecord(&record));
  record.source = 0x00000005u;
  EXPECT_FALSE(koIsCoreRecord(&record));
  EXPECT_EQ(koEventBaseType(0x100004004ull), EventTypeAlarm);

  // The C log builder makes the record makeLogEvent makes, byte for byte.
  for (const int32_t level : {-7, 0, 25, 100}) {
    const std::string_view text = "a line";
    EventParms fromC;
    std::memset(&fromC, 0xa5, sizeof fromC);
    koLogEventInit(&fromC, 0x00120003u, level, text.data(), static_cast<uint32_t>(text.size()));
    const auto fromCxx = makeLogEvent(0x00120003u, level, text);
    EXPECT_EQ(std::memcmp(&fromC, &fromCxx, sizeof fromC), 0) << level;
  }

  // A release is a stamped decref record that carries the payload pointer
  // and nothing else; the C and C++ builders agree byte for byte.
  int payload = 0;
  EventParms fromC;
  std::memset(&fromC, 0xa5, sizeof fromC);
  koDecrefEventInit(&fromC, 0x00120000u, &payload);
  const auto decref = makeDecrefEvent(0x00120000u, &payload);
  EXPECT_EQ(std::memcmp(&fromC, &decref, sizeof decref), 0);
  auto expected = makeRecord<EventParms>();
  expected.type = EventTypeDecref;
  expected.source = 0x00120000u;
  expected.data = &payload;
  EXPECT_EQ(std::memcmp(&decref, &expected, sizeof decref), 0);

  static_assert(IpcPacketHeaderSize == IpcHeaderSize && IpcPacketMaxSize == IpcMaxPacket);
}

TEST(SdkHelpers, PayloadViewsStayWithinTheRecordsSizeWords) {
  const std::string_view text = "<Alarm/>";
  auto record = makeEvent(EventTypeAlarm, EventClassLive | EventFlagXml, 0x00100001u, text.data(),
                          static_cast<uint32_t>(text.size()));
  EXPECT_TRUE(isLive(record));
  EXPECT_FALSE(isStored(record));
  EXPECT_EQ(payloadText(record), text);
  EXPECT_EQ(payloadBytes(record).size(), text.size());
  EXPECT_EQ(payloadBytes(record)[1], 'A');
  record.length = 3;
  EXPECT_EQ(payloadText(record), "<Al");
  record.data = nullptr;
  EXPECT_TRUE(payloadText(record).empty()) << "no pointer, nothing to view whatever length says";
  EXPECT_TRUE(payloadBytes(record).empty());

  // A crypto record's data is `bodyParam` bytes of its `length`-byte buffer.
  unsigned char buffer[48] = {1, 2, 3};
  auto crypto = makeEvent(EventTypeCrypto, CryptoOpEncipher, 0x00300000u, buffer, sizeof buffer);
  crypto.body.bodyParam = 3;
  EXPECT_EQ(cryptoData(crypto).size(), 3u);
  EXPECT_EQ(cryptoData(crypto).data(), buffer);
  crypto.body.bodyParam = sizeof buffer + 1;
  EXPECT_TRUE(cryptoData(crypto).empty()) << "data beyond the buffer";

  // A packet's payload ends where its length word says, within the record.
  auto packet = buildIpcPacket(ipcTargetFor(0x40), 0x101, 0, "payload");
  packet.push_back('!');
  auto ipc = makeEvent(EventTypeIpc, 0, 0x00400000u, packet.data(), static_cast<uint32_t>(packet.size()));
  EXPECT_EQ(ipcPacketPayload(ipc), "payload");
  ipc.length = static_cast<uint32_t>(packet.size() - 2);
  EXPECT_TRUE(ipcPacketPayload(ipc).empty()) << "length word beyond the record";
  ipc.length = static_cast<uint32_t>(packet.size());
  packet[0] = 15;
  EXPECT_TRUE(ipcPacketPayload(ipc).empty()) << "length word below the header";
  packet[0] = 16;
  EXPECT_TRUE(ipcPacketPayload(ipc).empty()) << "a header alone";
  ipc.data = nullptr;
  EXPECT_TRUE(ipcPacketPayload(ipc).empty());
}

TEST(SdkHelpers, PacketHeadersMatchTheWireAndRefuseWhatIsNotAWholePacket) {
  const auto wire = buildIpcPacket(ipcTargetFor(0x40), 0x101, 0xdeadbeef, "payload");
  std::vector<uint8_t> written(wire.size());
  koIpcWriteHeader(written.data(), static_cast<uint32_t>(wire.size()), koIpcTarget(0x40), 0x101, 0xdeadbeef);
  std::memcpy(written.data() + KO_IPC_HEADER_SIZE, "payload", 7);
  EXPECT_EQ(written, wire);

  IpcPacketHeader header{};
  ASSERT_EQ(koIpcReadHeader(wire.data(), wire.size(), &header), 1);
  const IpcHeader core = readIpcHeader(wire.data());
  EXPECT_EQ(header.length, core.length);
  EXPECT_EQ(header.target, core.target);
  EXPECT_EQ(header.command, core.command);
  EXPECT_EQ(header.word3, core.word3);

  EXPECT_EQ(koIpcReadHeader(wire.data(), 15, &header), 0) << "shorter than a header";
  EXPECT_EQ(koIpcReadHeader(wire.data(), wire.size() - 1, &header), 0) << "length word beyond the bytes";
  EXPECT_EQ(koIpcReadHeader(nullptr, 64, &header), 0);
  auto shortWord = wire;
  shortWord[0] = 15;
  EXPECT_EQ(koIpcReadHeader(shortWord.data(), shortWord.size(), &header), 0) << "length word below 16";
  EXPECT_EQ(header.length, 15u);
}

}  // namespace
}  // namespace ko::core
