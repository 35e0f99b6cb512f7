// The example plugins together in a real core, as the demo runs them: the
// log file written by the example logging plugin, the packets the parent
// sees and core.xml must show every part of the system at work.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>

#include "integration/harness/core_process.h"
#include "ipc/ipc_packet.h"

namespace ko::test {
namespace {

namespace fs = std::filesystem;
using ko::core::buildIpcPacket;
using ko::core::ipcTargetFor;

bool contains(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

TEST(Demo, EveryExamplePluginDoesItsPartAndTheCoreEndsClean) {
  CoreProcess core;
  for (const char* name : {"LogPI", "CameraSim", "Recorder", "SearchClient", "CryptoDemo", "IpcEcho"}) {
    core.installPlugin(fs::path(KO_EXAMPLE_PLUGIN_DIR) / (std::string(name) + ".so"));
  }
  // The core's own diagnostics (level 0) on: references still held at exit
  // would be listed.
  {
    std::FILE* xml = std::fopen((core.workDir() / "core.xml").c_str(), "w");
    ASSERT_NE(xml, nullptr);
    std::fputs("<?xml?><Kora><Modules><Module><Plugin ID=\"-2147483648\" LogLevel=\"0\"/></Module></Modules></Kora>",
               xml);
    std::fclose(xml);
  }
  ASSERT_TRUE(core.start());

  // IpcEcho announces itself once it is open, then answers a packet.
  bool ready = false;
  for (int i = 0; i < 50 && !ready; ++i) {
    auto packet = core.waitForPacket(200ms);
    ready = packet && std::string(packet->begin(), packet->end()).find("IpcEcho ready") != std::string::npos;
  }
  ASSERT_TRUE(ready) << core.allOutput();
  // The echo carries the request's word 3 back, as the guide's convention asks.
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(ipcTargetFor(0x40), 0x200, 77, std::string("ping"))));
  bool echoed = false;
  for (int i = 0; i < 50 && !echoed; ++i) {
    auto packet = core.waitForPacket(200ms);
    echoed = packet && std::string(packet->begin(), packet->end()).find("echo: ping") != std::string::npos;
    if (echoed) {
      EXPECT_EQ(ko::core::readIpcHeader(packet->data()).word3, 77u);
    }
  }
  EXPECT_TRUE(echoed);

  // The client asks after 4 s and again after 6 s.
  ASSERT_TRUE(core.waitForOutput("search 2 cancelled after", 15000ms)) << core.allOutput();
  ASSERT_TRUE(core.handlesStopSignals());
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, ko::core::IpcCommandStop, 0, std::string())));
  ASSERT_TRUE(core.exitsWith(0, 15000ms)) << core.allOutput();

  const std::string log = readFile(core.workDir() / "LogPI.log");
  ASSERT_FALSE(log.empty());
  // Records flowed: every plugin loaded, the camera produced, alarms fired.
  for (const char* line : {"Loaded plugin 10:CameraSim", "Loaded plugin 20:Recorder", "Loaded plugin 00:SearchClient",
                           "Loaded plugin 30:CryptoDemo", "Loaded plugin 40:IpcEcho", "packet from parent: command 0x200"}) {
    EXPECT_TRUE(contains(log, line)) << line;
  }
  // The statistics report counted events.
  EXPECT_TRUE(std::regex_search(log, std::regex("events:[1-9]")));

  // Payloads retained by the recorder all went back; nothing was held at exit.
  std::smatch held;
  ASSERT_TRUE(std::regex_search(log, held, std::regex("retained ([0-9]+) frames, released ([0-9]+)")));
  EXPECT_EQ(held[1], held[2]);
  EXPECT_GT(std::stoi(held[1]), 0);
  // The logging plugin is closed before the exit report, which then reaches
  // the console only.
  const std::string console = core.stdoutText();
  EXPECT_TRUE(contains(console, "Unloading 20:Recorder")) << "console lines are kept";
  EXPECT_FALSE(contains(console, "refblks: ")) << "blocks still allocated at exit";
  EXPECT_FALSE(contains(console, "unloaded holding"));

  // Search results reached the client, as many as the recorder sent; the
  // cancelled search stopped delivering.
  std::smatch sent;
  ASSERT_TRUE(std::regex_search(log, sent, std::regex("search 1: sent ([0-9]+) of")));
  EXPECT_GT(std::stoi(sent[1]), 0);
  EXPECT_TRUE(contains(log, "search 1 result " + sent[1].str() + ":"));
  EXPECT_FALSE(contains(log, "search 1 result " + std::to_string(std::stoi(sent[1]) + 1) + ":"));
  // A result already waiting for its slot when the cancel lands still goes
  // out; nothing after it does.
  EXPECT_TRUE(contains(log, "search 2 cancelled after 2 results (cancelled: yes)"));
  std::smatch cut;
  ASSERT_TRUE(std::regex_search(log, cut, std::regex("search 2: sent ([0-9]+) of ([0-9]+)")));
  const int cutAt = std::stoi(cut[1]);
  EXPECT_GE(cutAt, 2);
  EXPECT_LE(cutAt, 3);
  EXPECT_LT(cutAt, std::stoi(cut[2]));
  EXPECT_TRUE(contains(log, "search 2 result " + std::to_string(cutAt) + ":"));
  EXPECT_FALSE(contains(log, "search 2 result " + std::to_string(cutAt + 1) + ":"));

  // The crypto round trip matched.
  EXPECT_TRUE(contains(log, "crypto round trip matched"));

  // core.xml was rewritten with the plugins in it.
  const std::string xml = readFile(core.workDir() / "core.xml");
  EXPECT_TRUE(contains(xml, "<Kora>")) << xml;
  EXPECT_TRUE(contains(xml, "Recorder.so")) << xml;
}

// The search client configured through its environment variable asks for
// alarms, then for the 5 newest frames and cancels after 2. The test's alarm
// keeper answers the alarm search from the camera's alarms (not the core's
// memory-state alarm); the recorder answers only the video search, with as
// many frames as the query's Newest asks for, the keeper only the alarm
// search.
TEST(Demo, ConfiguredSearchClientAsksForAlarmsAndOnlyTheAlarmServerAnswers) {
  CoreProcess core;
  for (const char* name : {"LogPI", "CameraSim", "Recorder", "SearchClient"}) {
    core.installPlugin(fs::path(KO_EXAMPLE_PLUGIN_DIR) / (std::string(name) + ".so"));
  }
  core.installPlugin(KO_ALARM_KEEPER_PLUGIN);
  // The recorder's diagnostics (level 0, identifier 0x20) on: it says when it
  // leaves a search unanswered.
  {
    std::FILE* xml = std::fopen((core.workDir() / "core.xml").c_str(), "w");
    ASSERT_NE(xml, nullptr);
    std::fputs("<?xml?><Kora><Modules><Module><Plugin ID=\"2097152\" LogLevel=\"0\"/></Module></Modules></Kora>", xml);
    std::fclose(xml);
  }
  // The camera's first alarm comes 5 s after it is opened.
  ASSERT_EQ(::setenv("KO_SEARCH_CLIENT", "alarm@8, video@9 newest=5,cancel=2", 1), 0);
  const bool started = core.start();
  ::unsetenv("KO_SEARCH_CLIENT");
  ASSERT_TRUE(started);

  ASSERT_TRUE(core.waitForOutput("search client plan: alarm after 8 s, video after 9 s newest 5 cancel after 2", 10000ms))
      << core.allOutput();
  // The memory state the core queues at start is an alarm record of its own.
  ASSERT_TRUE(core.waitForOutput(
      "core memory state: <?xml version=\"1.0\"?><Kora><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"", 10000ms))
      << core.allOutput();
  ASSERT_TRUE(core.waitForOutput(
      "alarm 1 from 10 channel 1: <Alarm Camera=\"1\" Kind=\"motion\" Frame=\"125\"/>", 15000ms))
      << core.allOutput();
  ASSERT_TRUE(core.waitForOutput("search 2: sent ", 20000ms)) << core.allOutput();
  ASSERT_TRUE(core.waitForOutput("alarm keeper answered search 1 with ", 1000ms)) << core.allOutput();

  // The keeper tells the parent its count, addressed by bits 20..27.
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(ipcTargetFor(0x50), 0x200, 9, std::string("count?"))));
  std::optional<std::vector<uint8_t>> reply;
  for (int i = 0; i < 50 && !reply; ++i) {
    auto packet = core.waitForPacket(200ms);
    if (packet && packet->size() > 16 && ko::core::readIpcHeader(packet->data()).command == 0x201) reply = packet;
  }
  ASSERT_TRUE(reply) << core.allOutput();
  const auto header = ko::core::readIpcHeader(reply->data());
  EXPECT_EQ(header.length, reply->size());
  EXPECT_EQ(header.target, ipcTargetFor(0x50));
  EXPECT_EQ(header.word3, 9u);
  EXPECT_TRUE(std::string(reply->begin() + 16, reply->end()).starts_with("alarms:"));

  ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, ko::core::IpcCommandStop, 0, std::string())));
  ASSERT_TRUE(core.exitsWith(0, 15000ms)) << core.allOutput();
  const std::string out = core.stdoutText();

  // Alarm search: the keeper's newest alarms, and nothing from the recorder.
  std::smatch keeper;
  const std::regex answered("alarm keeper answered search 1 with ([0-9]+) of ([0-9]+) alarms");
  ASSERT_TRUE(std::regex_search(out, keeper, answered));
  const int alarms = std::stoi(keeper[1]);
  EXPECT_GE(alarms, 1);
  EXPECT_EQ(keeper[1], keeper[2]);
  EXPECT_TRUE(contains(out, "search 1 result " + std::to_string(alarms) + ": alarm, ")) << out;
  // Each result names its source and shows its first bytes.
  EXPECT_TRUE(std::regex_search(
      out, std::regex(R"(search 1 result 1: alarm, [0-9]+ bytes from 50 channel 0: "<Alarm Camera="1" \.\.\.)")))
      << out;
  EXPECT_FALSE(contains(out, "search 1 result " + std::to_string(alarms + 1) + ":")) << out;
  EXPECT_FALSE(std::regex_search(out, std::regex("search 1 result [0-9]+: video"))) << out;
  EXPECT_FALSE(contains(out, "search 1: sent")) << "the recorder answered an alarm search";
  // Both servers were asked both times: each declined the other's type.
  EXPECT_TRUE(contains(out, "search 1 is for alarm, not video: not answered")) << out;
  EXPECT_TRUE(contains(out, "alarm keeper left search 2 for type 1 unanswered")) << out;

  // Video search: the recorder takes the 5 newest of the frames it holds and
  // stops at the cancel (one result may already be waiting then); the keeper
  // stays silent.
  std::smatch recorder;
  ASSERT_TRUE(std::regex_search(out, recorder, std::regex("search 2: sent ([0-9]+) of ([0-9]+)")));
  EXPECT_EQ(recorder[2], "5") << "the recorder did not honour Newest";
  const int frames = std::stoi(recorder[1]);
  EXPECT_GE(frames, 2);
  EXPECT_LE(frames, 3);
  EXPECT_TRUE(contains(out, "search 2 cancelled after 2 results (cancelled: yes)")) << out;
  EXPECT_TRUE(contains(out, "search 2 result " + std::to_string(frames) + ": video, 6144 bytes from 20 channel 0: "))
      << out;
  EXPECT_FALSE(contains(out, "search 2 result " + std::to_string(frames + 1) + ":")) << out;
  EXPECT_FALSE(contains(out, "keeper answered search 2")) << "the keeper answered a video search";
  EXPECT_TRUE(contains(out, "search client closed: search 1 got " + std::to_string(alarms) + " results, search 2 got " +
                                std::to_string(frames) + " results"))
      << out;
}

}  // namespace
}  // namespace ko::test
