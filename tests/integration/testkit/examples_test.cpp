// Two example plugins tested as their authors would, on the kit: the
// recorder (retained frames, searches answered newest first, everything
// released at close) and the C plugin IpcEcho (packets to and from the
// parent).
#include <gtest/gtest.h>

#include <string>

#include "ko/testkit/core.hpp"

namespace {

using namespace ko::testkit;
using ko::core::EventTypeAlarm;
using ko::core::EventTypeVideo;

TEST(ExampleRecorder, KeepsFramesAnswersNewestFirstAndReleasesEverything) {
  Core core(KO_RECORDER_PLUGIN);
  ASSERT_EQ(core.identifier(), 0x20);
  for (const char* frame : {"frame 1", "frame 2", "frame 3"}) EXPECT_EQ(core.inject(video(frame)), 0);

  const uint32_t id = core.startSearch(EventTypeVideo, "<Search Type=\"video\" Newest=\"8\"/>");
  const auto results = core.waitForResults(id, 3);
  ASSERT_EQ(results.size(), 3u);
  const char* newestFirst[] = {"frame 3", "frame 2", "frame 1"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(results[i].payload, newestFirst[i]);
    EXPECT_TRUE(results[i].stored());
    EXPECT_EQ(results[i].baseType(), EventTypeVideo);
    EXPECT_EQ(results[i].identifier(), 0x20);
  }
  EXPECT_FALSE(core.cancelled(id));
  core.cancel(id);
  EXPECT_TRUE(core.cancelled(id));
  // A search for another type is left unanswered.
  EXPECT_TRUE(core.search(EventTypeAlarm, "<Search Type=\"alarm\"/>", 0).empty());
  EXPECT_TRUE(core.waitForLog(0x20, "sent 3 of 3 stored frames"));

  const ExitReport& report = core.stop();
  EXPECT_TRUE(report.clean()) << report;
  // Written in "Close", after the stop: the probe, as the logging plugin,
  // still sees it.
  EXPECT_EQ(core.logs(0x20).back().text(), "recorder closed: retained 3 frames, released 3");
}

TEST(ExampleIpcEcho, AnnouncesItselfAndEchoesTheParentsPackets) {
  Core core(KO_IPC_ECHO_PLUGIN);
  const auto hello = core.waitForPacket([](const Packet& p) { return p.command == 0x100; });
  ASSERT_TRUE(hello);
  EXPECT_EQ(hello->payload, "IpcEcho ready");
  EXPECT_EQ(hello->identifier(), 0x40);

  core.sendPacket(0x200, "ping", 9);
  const auto echo = core.waitForPacket([](const Packet& p) { return p.command == 0x101; });
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->payload, "echo: ping");
  EXPECT_EQ(echo->identifier(), 0x40);
  EXPECT_TRUE(core.waitForLog(0x40, "packet from parent: command 0x200, 20 bytes: ping"));

  EXPECT_TRUE(core.stop().clean()) << core.stop();
  EXPECT_EQ(core.packets().size(), 2u);
}

}  // namespace
