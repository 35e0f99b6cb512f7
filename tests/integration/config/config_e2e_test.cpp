// The configuration files with the real core process, run by the integration
// harness: what the core reads from and writes to core.xml and product.xml,
// what it prints, and the documents a real plugin receives.
#include <expat.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "integration/harness/core_process.h"
#include "ipc/ipc_packet.h"
#include "ko/core/event.hpp"

namespace ko::core {
namespace {

using ko::test::CoreProcess;
using ko::test::eventually;
using ko::test::readFile;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text) {
  FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr) << path;
  ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), out), text.size());
  std::fclose(out);
}

// What `xmllint --noout` says about `text`: empty when a standard XML parser
// accepts the document.
std::string xmllintComplaint(const fs::path& scratch, const std::string& text) {
  writeFile(scratch, text);
  const std::string command = std::string(KO_XMLLINT) + " --noout " + scratch.string() + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  std::string output;
  char buffer[512];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
  const int status = ::pclose(pipe);
  if (status == -1) return "pclose failed";
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return output.empty() ? "xmllint failed" : output;
  return output;
}

// Starts the core, waits until it has replaced core.xml (the signals are
// handled by then), stops it with SIGTERM and returns the file.
std::string runOnce(CoreProcess& core) {
  const fs::path file = core.workDir() / "core.xml";
  const std::string before = readFile(file);
  if (!core.start()) return {};
  const bool written = eventually(
      [&] {
        const std::string now = readFile(file);
        return now != before && now.ends_with("</Kora>\n");
      },
      20s);
  EXPECT_TRUE(written) << core.allOutput();
  EXPECT_TRUE(core.signal(SIGTERM));
  EXPECT_TRUE(core.exitsWith(0, 20s)) << core.allOutput();
  return readFile(file);
}

TEST(ConfigEndToEnd, MissingCoreXmlIsReportedDefaultedAndWritten) {
  CoreProcess core;
  const std::string file = runOnce(core);
  EXPECT_NE(core.stdoutText().find("Failed to open core.xml - No such file or directory\nConfig defaulted"),
            std::string::npos)
      << core.allOutput();
  EXPECT_TRUE(file.starts_with("<?xml version=\"1.0\"?>\n<Kora>\n\t<Memory ID=\"-2147483648\" Throttling=\"1\"/>\n"
                               "\t<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">\n"
                               "\t\t<Module ID=\"-2147483648\" Name=\"Core\" Version=\"26.2.3.0\">\n"
                               "\t\t\t<Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" "
                               "OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>\n"))
      << file;
  EXPECT_TRUE(file.ends_with("\t</Modules>\n</Kora>\n")) << file;
  EXPECT_EQ(xmllintComplaint(core.workDir() / "lint.xml", file), "");
  EXPECT_EQ(file.find("<Product"), std::string::npos);
  EXPECT_FALSE(fs::exists(core.workDir() / "core.xml.pending"));
}

TEST(ConfigEndToEnd, SettingsSurviveRestartAndProductVersionIsShown) {
  std::string file;
  {
    CoreProcess core;
    // Files written before the declaration carried its version stay readable.
    writeFile(core.workDir() / "product.xml", "<?xml?><Root><Product Family=\"Fam\" Version=\"7.7\"/></Root>");
    writeFile(core.workDir() / "core.xml", "<?xml?><Kora><Memory Throttling=\"FALSE\"/><Modules><Module>"
                                           "<Plugin ID=\"-2147483648\" LogLevel=\"250\"/></Module></Modules></Kora>");
    file = runOnce(core);
  }
  EXPECT_NE(file.find("<Memory ID=\"-2147483648\" Throttling=\"0\"/>"), std::string::npos) << file;
  EXPECT_NE(file.find("Name=\"Core\" Version=\"7.7\""), std::string::npos) << file;
  EXPECT_NE(file.find("Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" "
                      "LogLevel=\"100\""),
            std::string::npos)
      << file;

  // The next start reads what the first one wrote.
  CoreProcess again;
  writeFile(again.workDir() / "core.xml", file + "<!-- not yet rewritten -->\n");
  const std::string second = runOnce(again);
  EXPECT_NE(second.find("Throttling=\"0\""), std::string::npos) << second;
  EXPECT_NE(second.find("LogLevel=\"100\""), std::string::npos) << second;
}

TEST(ConfigEndToEnd, HostileCoreXmlIsDefaultedAndRewritten) {
  CoreProcess core;
  std::string nested = "<?xml?>";
  while (nested.size() < (10u << 20)) nested += "<Kora><Memory Throttling=\"0\">";
  writeFile(core.workDir() / "core.xml", nested);
  const std::string file = runOnce(core);
  EXPECT_NE(core.stdoutText().find("Failed - xml nested deeper than 256 levels\nConfig defaulted"),
            std::string::npos)
      << core.stdoutText().substr(0, 500);
  EXPECT_NE(file.find("Throttling=\"1\""), std::string::npos);
}

// One record as the spy plugin wrote it.
struct SpyRecord {
  uint32_t type = 0;
  std::string text;
};

std::vector<SpyRecord> spyRecords(const fs::path& path) {
  const std::string all = readFile(path);
  std::vector<SpyRecord> records;
  std::size_t at = 0;
  while (at < all.size()) {
    const auto eol = all.find('\n', at);
    if (eol == std::string::npos) break;
    SpyRecord r;
    std::size_t length = 0;
    if (std::sscanf(all.c_str() + at, "%u %zu", &r.type, &length) != 2 || eol + 1 + length + 1 > all.size()) break;
    r.text = all.substr(eol + 1, length);
    records.push_back(std::move(r));
    at = eol + 1 + length + 1;
  }
  return records;
}

std::vector<std::string> configsOf(const std::vector<SpyRecord>& records) {
  std::vector<std::string> configs;
  for (const auto& r : records) {
    if (r.type == EventTypeConfig) configs.push_back(r.text);
  }
  return configs;
}

// Every configuration document the spy answered has its marker back, so
// nothing its deltas caused is still queued.
bool spyQuiet(const fs::path& path) {
  const auto records = spyRecords(path);
  const auto markers = std::count_if(records.begin(), records.end(), [](auto& r) { return r.text == "marker"; });
  return !records.empty() && records.back().text == "marker" &&
         static_cast<std::size_t>(markers) == configsOf(records).size();
}

std::string spyLevel(const std::string& text) {
  const auto at = text.find("Filename=\"ConfigSpy.so\"");
  if (at == std::string::npos) return "missing";
  const auto level = text.find("LogLevel=\"", at) + 10;
  return text.substr(level, text.find('"', level) - level);
}

// The core with the spy, a file that is no library and a plugin whose Load
// refuses; runs until the spy is quiet and returns the documents it got.
std::vector<std::string> runWithPlugins(CoreProcess& core) {
  core.installPlugin(SPY_PLUGIN_PATH, ko::test::PluginFolder::Plugins, "ConfigSpy.so");
  core.installPlugin(REFUSING_PLUGIN_PATH);
  writeFile(core.binDir() / "plugins" / "broken.so", "not a library");
  if (!core.start()) return {};
  const fs::path spy = core.workDir() / "spy.out";
  EXPECT_TRUE(eventually([&] { return spyQuiet(spy); }, 20s)) << core.allOutput();
  EXPECT_TRUE(core.signal(SIGTERM));
  EXPECT_TRUE(core.exitsWith(0, 20s)) << core.allOutput();
  const auto records = spyRecords(spy);
  // The memory state queued at start comes before every document.
  if (!records.empty()) {
    EXPECT_EQ(records[0].type, EventTypeAlarm);
    EXPECT_TRUE(records[0].text.starts_with(
        "<?xml version=\"1.0\"?><Kora><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\""))
        << records[0].text;
    EXPECT_EQ(xmllintComplaint(core.workDir() / "lint.xml", records[0].text), "");
  }
  return configsOf(records);
}

TEST(ConfigWithPlugins, PluginsGetTheDocumentWithProductAndTheirDeltaRepublishesOnce) {
  CoreProcess core;
  writeFile(core.workDir() / "product.xml", "<?xml?><Root><Product Family=\"Fam\" Version=\"7.7\"/></Root>");
  const auto configs = runWithPlugins(core);
  ASSERT_EQ(configs.size(), 2u) << "the repeated delta republished";
  const std::string& first = configs[0];
  EXPECT_EQ(first.find('\t'), std::string::npos);
  EXPECT_EQ(first.find('\n'), std::string::npos);
  EXPECT_TRUE(first.ends_with("<Product Family=\"Fam\" Version=\"7.7\"/></Kora>")) << first;
  EXPECT_NE(first.find("<Module ID=\"-2147483648\" Name=\"Core\" Version=\"7.7\">"), std::string::npos) << first;
  EXPECT_NE(first.find("<Plugin ID=\"1179648\" Filename=\"ConfigSpy.so\" Opened=\"1\""), std::string::npos);
  EXPECT_EQ(first.find("<Library"), std::string::npos);

  // The failed plugins: Plugin entries numbered from 1 inside the core's
  // Module, then a Module of their own each.
  const auto coreEnd = first.find("</Module>");
  for (const std::string id : {"1", "2"}) {
    EXPECT_LT(first.find("<Plugin ID=\"" + id + "\" Filename=\""), coreEnd) << first;
    const auto module = first.find("<Module ID=\"" + id + "\" Name=\"");
    EXPECT_TRUE(module != std::string::npos && module > coreEnd) << first;
  }
  EXPECT_NE(first.find("Filename=\"broken.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"79\" "
                       "LogLevel=\"-1\""),
            std::string::npos);
  EXPECT_NE(first.find("Name=\"ConfigRefusing\" Version=\"load code 3\"/>"), std::string::npos) << first;

  EXPECT_EQ(spyLevel(first), "-1");
  EXPECT_EQ(spyLevel(configs[1]), "60");
  for (const auto& config : configs) EXPECT_EQ(xmllintComplaint(core.workDir() / "lint.xml", config), "");
  const std::string file = readFile(core.workDir() / "core.xml");
  EXPECT_EQ(spyLevel(file), "60");
  EXPECT_EQ(file.find("<Product"), std::string::npos);
  EXPECT_NE(file.find("\n\t\t\t<Plugin ID=\"1179648\" Filename=\"ConfigSpy.so\""), std::string::npos) << file;

  // The next start restores the spy's threshold before the spy asks, so its
  // delta changes nothing and nothing is republished.
  CoreProcess again;
  writeFile(again.workDir() / "core.xml", file);
  const auto restored = runWithPlugins(again);
  ASSERT_EQ(restored.size(), 1u) << "a delta that changes nothing republished";
  EXPECT_EQ(spyLevel(restored[0]), "60");
}

TEST(ConfigWithPlugins, LibraryAppearsOnceTheParentHasNamedItself) {
  CoreProcess core;
  core.installPlugin(SPY_PLUGIN_PATH, ko::test::PluginFolder::Plugins, "ConfigSpy.so");
  ASSERT_TRUE(core.start());
  const fs::path spy = core.workDir() / "spy.out";
  ASSERT_TRUE(eventually([&] { return spyQuiet(spy); }, 20s)) << core.allOutput();
  for (const auto& config : configsOf(spyRecords(spy))) EXPECT_EQ(config.find("<Library"), std::string::npos);

  // The core handles the parent's packets in order on one thread: the
  // identity is known before the spy's packet makes it send a delta.
  const std::string identity("/usr/bin/norvad\0" "4.5&6\0", 22);
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, IpcCommandStartup, 0, identity)));
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(ipcTargetFor(0x12), 1, 0, "go")));
  ASSERT_TRUE(eventually([&] { return configsOf(spyRecords(spy)).size() == 3; }, 20s)) << core.allOutput();
  const std::string third = configsOf(spyRecords(spy))[2];
  EXPECT_EQ(spyLevel(third), "70");
  EXPECT_NE(third.find("LogLevelDefault=\"-1\"/><Library Name=\"norvad\" Filename=\"/usr/bin/norvad\" "
                       "Version=\"4.5&amp;6\"/></Module>"),
            std::string::npos)
      << third;
  EXPECT_TRUE(core.signal(SIGTERM));
  EXPECT_TRUE(core.exitsWith(0, 20s)) << core.allOutput();
  EXPECT_NE(readFile(core.workDir() / "core.xml").find("\t\t\t<Library Name=\"norvad\""), std::string::npos);
}

// The value of attribute `name` of the first `element` as expat (a standard,
// attribute-normalising parser) reads it; "malformed" when expat refuses the
// document, "missing" when there is no such attribute.
std::string expatAttribute(const std::string& text, const std::string& element, const std::string& name) {
  struct State {
    const std::string& element;
    const std::string& name;
    std::string value = "missing";
  } state{element, name};
  XML_Parser parser = XML_ParserCreate("UTF-8");
  XML_SetUserData(parser, &state);
  XML_SetStartElementHandler(parser, [](void* data, const XML_Char* tag, const XML_Char** attributes) {
    auto& s = *static_cast<State*>(data);
    if (s.value != "missing" || s.element != tag) return;
    for (int i = 0; attributes[i] != nullptr; i += 2) {
      if (s.name == attributes[i]) s.value = attributes[i + 1];
    }
  });
  const bool ok = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
  XML_ParserFree(parser);
  return ok ? state.value : "malformed";
}

// The parent's start-up texts reach core.xml and the published document
// byte for byte as far as XML can carry them.
TEST(ConfigWithPlugins, StartupTextsWithControlBytesReadBackAndKeepEveryThreshold) {
  const std::string file = "/usr/bin/nor\nvad\tx";
  const std::string release = "4.5\r\x01\x7f\xff";
  const std::string releaseBack = "4.5\r\xEF\xBF\xBD\x7f\xEF\xBF\xBD";
  std::string written;
  {
    CoreProcess core;
    core.installPlugin(SPY_PLUGIN_PATH, ko::test::PluginFolder::Plugins, "ConfigSpy.so");
    ASSERT_TRUE(core.start());
    const fs::path spy = core.workDir() / "spy.out";
    ASSERT_TRUE(eventually([&] { return spyQuiet(spy); }, 20s)) << core.allOutput();
    ASSERT_TRUE(core.sendPacket(buildIpcPacket(0, IpcCommandStartup, 0, file + '\0' + release + '\0')));
    ASSERT_TRUE(core.sendPacket(buildIpcPacket(ipcTargetFor(0x12), 1, 0, "go")));
    ASSERT_TRUE(eventually([&] { return configsOf(spyRecords(spy)).size() == 3; }, 20s)) << core.allOutput();
    EXPECT_TRUE(core.signal(SIGTERM));
    EXPECT_TRUE(core.exitsWith(0, 20s)) << core.allOutput();
    const std::string published = configsOf(spyRecords(spy))[2];
    written = readFile(core.workDir() / "core.xml");
    for (const std::string* text : std::initializer_list<const std::string*>{&published, &written}) {
      EXPECT_EQ(xmllintComplaint(core.workDir() / "lint.xml", *text), "") << *text;
      EXPECT_EQ(expatAttribute(*text, "Library", "Filename"), file) << *text;
      EXPECT_EQ(expatAttribute(*text, "Library", "Version"), releaseBack) << *text;
    }
  }
  // The core's own reader at the next start keeps every threshold.
  CoreProcess again;
  writeFile(again.workDir() / "core.xml", written);
  const auto restored = runWithPlugins(again);
  ASSERT_FALSE(restored.empty());
  EXPECT_EQ(again.stdoutText().find("Config defaulted"), std::string::npos) << again.stdoutText();
  EXPECT_EQ(spyLevel(restored[0]), "70");
}

// The working directory is the parent's: whatever it plants at the pending
// name is neither written through nor waited on.
TEST(ConfigWithPlugins, PendingPlantedAsSymlinkOrFifoIsNeitherFollowedNorWaitedOn) {
  CoreProcess core;
  core.installPlugin(SPY_PLUGIN_PATH, ko::test::PluginFolder::Plugins, "ConfigSpy.so");
  const fs::path pending = core.workDir() / "core.xml.pending";
  const fs::path victim = core.root() / "victim";
  writeFile(victim, "root:x:0:0:root:/root:/bin/sh\n");
  ::chmod(victim.c_str(), 0644);
  // A FIFO before the start: the start-up write would block on it.
  ASSERT_EQ(::mkfifo(pending.c_str(), 0644), 0);
  ASSERT_TRUE(core.start());
  const fs::path spy = core.workDir() / "spy.out";
  ASSERT_TRUE(eventually([&] { return spyQuiet(spy); }, 20s)) << core.allOutput();
  EXPECT_EQ(spyLevel(readFile(core.workDir() / "core.xml")), "60");

  // A symbolic link before a rewrite.
  fs::create_symlink(victim, pending);
  ASSERT_TRUE(core.sendPacket(buildIpcPacket(ipcTargetFor(0x12), 1, 0, "go")));
  ASSERT_TRUE(eventually([&] { return configsOf(spyRecords(spy)).size() == 3; }, 20s)) << core.allOutput();
  EXPECT_EQ(readFile(victim), "root:x:0:0:root:/root:/bin/sh\n");
  EXPECT_FALSE(fs::is_symlink(core.workDir() / "core.xml"));
  EXPECT_EQ(spyLevel(readFile(core.workDir() / "core.xml")), "70");
  EXPECT_TRUE(core.signal(SIGTERM));
  EXPECT_TRUE(core.exitsWith(0, 20s)) << core.allOutput();

  // A FIFO before a start on a valid core.xml: the read refuses it, the
  // thresholds come from core.xml, and the start-up write replaces it.
  CoreProcess again;
  again.installPlugin(SPY_PLUGIN_PATH, ko::test::PluginFolder::Plugins, "ConfigSpy.so");
  writeFile(again.workDir() / "core.xml", readFile(core.workDir() / "core.xml"));
  ASSERT_EQ(::mkfifo((again.workDir() / "core.xml.pending").c_str(), 0644), 0);
  ASSERT_TRUE(again.start());
  ASSERT_TRUE(eventually([&] { return spyQuiet(again.workDir() / "spy.out"); }, 20s)) << again.allOutput();
  EXPECT_EQ(spyLevel(configsOf(spyRecords(again.workDir() / "spy.out"))[0]), "70");
  EXPECT_FALSE(fs::exists(again.workDir() / "core.xml.pending"));
  EXPECT_TRUE(again.signal(SIGTERM));
  EXPECT_TRUE(again.exitsWith(0, 20s)) << again.allOutput();
}

}  // namespace
}  // namespace ko::core
