// The record vocabulary shared with plugins: names, source rules and views.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace ko::core
