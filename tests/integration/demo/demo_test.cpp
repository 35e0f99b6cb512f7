// The example plugins together in a real core, as the demo runs them: the
// log file written by the example logging plugin, the packets the parent
// sees and core.xml must show every part of the system at work.
#include <gtest/gtest.h>

#include <filesystem>
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
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(ipcTargetFor(0x40), 0x200, 0, std::string("ping"))));
  bool echoed = false;
  for (int i = 0; i < 50 && !echoed; ++i) {
    auto packet = core.waitForPacket(200ms);
    echoed = packet && std::string(packet->begin(), packet->end()).find("echo: ping") != std::string::npos;
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

}  // namespace
}  // namespace ko::test
