// The configuration model on a real core object in a temporary working
// directory: loading product.xml and core.xml, the published document and
// file, modules deltas, the memory-state document, and hostile files.
#include "config/config_model.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <regex>
#include <thread>

#include "config/file_replace.h"
#include "config/xml_tree.h"
#include "core_fixture.h"
#include "plugins/plugin.h"

namespace ko::core {
namespace {

using testing::readFile;
using testing::writeFile;
namespace fs = std::filesystem;

constexpr uint64_t XmlLive = EventClassLive | EventFlagXml;

std::string coreXmlWith(const std::string& body) { return "<?xml?>\n<Kora>\n" + body + "</Kora>\n"; }

std::string plugin(const std::string& id, const std::string& level) {
  return "<Plugin ID=\"" + id + "\" LogLevel=\"" + level + "\"/>";
}

class ConfigModelTest : public testing::CoreFixture {
 protected:
  std::vector<std::string> logTexts() { return takeTexts(EventTypeLog); }

  // Submits `text` as a plugin's configuration record and runs the hook the
  // dispatch loop runs for it.
  void deliverDelta(const std::string& text, uint64_t source = 0x00050000, uint64_t flags = XmlLive,
                    uint32_t length = UINT32_MAX) {
    auto record = makeEvent(EventTypeConfig, flags, source, text.data(),
                            length == UINT32_MAX ? static_cast<uint32_t>(text.size()) : length);
    core_->configDeltaHook(record);
  }

  static std::string delta(const std::string& plugins) {
    return "<?xml?><Kora><Modules Delta=\"1\"><Module>" + plugins + "</Module></Modules></Kora>";
  }
};

TEST_F(ConfigModelTest, MissingCoreXmlLogsFailureDefaultsAndIsWrittenOnPublish) {
  core_->loadConfig();
  EXPECT_EQ(logTexts(), std::vector<std::string>{"Failed to open core.xml - No such file or directory\nConfig defaulted"});
  EXPECT_TRUE(core_->throttlingEnabled);
  for (const auto& level : core_->logLevels) ASSERT_EQ(level.load(), -1);
  core_->publishConfig();
  EXPECT_TRUE(isXmlContent(readFile("core.xml")));
}

TEST_F(ConfigModelTest, MalformedCoreXmlKeepsDefaultsAndIsRewritten) {
  writeFile("core.xml", coreXmlWith("<Memory Throttling=\"0\">") + plugin("-2147483648", "0"));
  core_->loadConfig();
  EXPECT_EQ(logTexts(), std::vector<std::string>{"unexpected end of data\nConfig defaulted"});
  EXPECT_TRUE(core_->throttlingEnabled);
  EXPECT_EQ(core_->logLevels[0].load(), -1);
  core_->publishConfig();
  EXPECT_NO_THROW(ParsedXml{readFile("core.xml")});
}

struct ThrottlingCase {
  const char* attribute;
  bool enabled;
};

class ThrottlingValue : public ConfigModelTest, public ::testing::WithParamInterface<ThrottlingCase> {};

TEST_P(ThrottlingValue, OnlyZeroAndFalseInAnyCaseDisable) {
  core_->throttlingEnabled = !GetParam().enabled;
  writeFile("core.xml", coreXmlWith(std::string("<Memory ID=\"1\" ") + GetParam().attribute + "/>"));
  core_->loadConfig();
  EXPECT_EQ(core_->throttlingEnabled, GetParam().enabled) << GetParam().attribute;
}

INSTANTIATE_TEST_SUITE_P(Values, ThrottlingValue,
                         ::testing::Values(ThrottlingCase{"Throttling=\"FALSE\"", false},
                                           ThrottlingCase{"Throttling=\"fAlSe\"", false},
                                           ThrottlingCase{"Throttling=\"0\"", false},
                                           ThrottlingCase{"Throttling=\"no\"", true},
                                           ThrottlingCase{"Throttling=\"00\"", true},
                                           ThrottlingCase{"Throttling=\"false \"", true},
                                           ThrottlingCase{"Throttling=\"\"", true},
                                           ThrottlingCase{"", true}));

TEST_F(ConfigModelTest, MissingMemoryElementLeavesThrottlingAlone) {
  core_->throttlingEnabled = false;
  writeFile("core.xml", coreXmlWith("<Modules/>"));
  core_->loadConfig();
  EXPECT_FALSE(core_->throttlingEnabled);
}

TEST_F(ConfigModelTest, ThresholdsAreReadByIdentifierAndLimited) {
  writeFile("core.xml", coreXmlWith("<Modules><Module>" + plugin("65536", "10") + plugin("131072", "20") +
                                    plugin("-2147483648", "30") + plugin("196608", "-7") +
                                    plugin("262144", "250") + plugin("327680x", "44z") +
                                    plugin("2147483648", "50") + plugin("", "50") + plugin("458752", "") +
                                    plugin("+524288", "50") + "<Plugin ID=\"589824\"/></Module>"
                                    "<Other/><Module>" + plugin("655360", "55") + "</Module></Modules>"));
  core_->loadConfig();
  EXPECT_EQ(core_->logLevels[1].load(), -1);
  EXPECT_EQ(core_->logLevels[2].load(), 20);
  EXPECT_EQ(core_->logLevels[0].load(), 30);
  EXPECT_EQ(core_->logLevels[3].load(), -1);
  EXPECT_EQ(core_->logLevels[4].load(), 100);
  EXPECT_EQ(core_->logLevels[5].load(), 44);
  EXPECT_EQ(core_->logLevels[7].load(), -1);
  EXPECT_EQ(core_->logLevels[8].load(), -1);
  EXPECT_EQ(core_->logLevels[9].load(), -1);
  EXPECT_EQ(core_->logLevels[10].load(), 55);
  EXPECT_TRUE(logTexts().empty());
}

TEST_F(ConfigModelTest, ProductIdentityComesFromProductXml) {
  writeFile("product.xml", "<?xml?><Anything><Other Family=\"x\"/><Product Family=\"Acme &amp; Co\"/></Anything>");
  core_->loadConfig();
  EXPECT_EQ(core_->productFamily, "Acme & Co");
  EXPECT_EQ(core_->productVersion, "");
}

TEST_F(ConfigModelTest, BrokenProductXmlIsIgnoredSilently) {
  writeFile("core.xml", coreXmlWith(""));
  writeFile("product.xml", "<?xml?><Root><Product Family=\"x\"");
  core_->loadConfig();
  EXPECT_EQ(core_->productFamily, "Corvimatics");
  EXPECT_EQ(core_->productVersion, CoreVersion);
  EXPECT_TRUE(logTexts().empty());
}

class PublishTest : public ConfigModelTest {
 protected:
  void SetUp() override {
    writeFile("product.xml", "<?xml?><P><Product Family=\"Fam\" Version=\"9.1\"/></P>");
    writeFile("broken.so", "not a library");
    probe_ = LoadPlugin(PROBE_PLUGIN_PATH, submitEventCallback, nullptr, 0);
    probe_->loadTime = 2'900'000;
    probe_->openTime = 400'000;
    // A logging plugin that failed to load still sits among the loaded ones.
    logPlugin_ = LoadPlugin((dir_.path() / "LogPI.so").string(), submitEventCallback, nullptr, 0);
    logPlugin_->openCode = -102;
    core_->plugins = {probe_, logPlugin_};
    core_->failedPlugins = {LoadPlugin((dir_.path() / "broken.so").string(), submitEventCallback, nullptr, 0),
                            LoadPlugin(REFUSING_PLUGIN_PATH, submitEventCallback, nullptr, 0)};
    core_->logLevels[0x12] = 60;
    core_->logLevels[0] = 10;
  }
  void TearDown() override {
    core_->plugins.clear();
    core_->failedPlugins.clear();
  }

  std::string expectedModules(bool indent) const {
    const std::string t1 = indent ? "\t\t" : "", t2 = indent ? "\t\t\t" : "", nl = indent ? "\n" : "";
    std::string brokenText;
    expandChars(brokenText, core_->failedPlugins[0]->errorText, '\'');
    auto pluginLine = [&](const std::string& attributes) {
      return t2 + "<Plugin " + attributes + " LogLevelDefault=\"-1\"/>" + nl;
    };
    return t1 + "<Module ID=\"-2147483648\" Name=\"Core\" Version=\"9.1\">" + nl +
           pluginLine("ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
                      "OpenCode=\"0\" LogLevel=\"10\"") +
           pluginLine("ID=\"1179648\" Filename=\"ConfigProbe.so\" Opened=\"1\" LoadTimeMs=\"2\" OpenTimeMs=\"0\" "
                      "OpenCode=\"0\" LogLevel=\"60\"") +
           pluginLine("ID=\"0\" Filename=\"LogPI.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
                      "OpenCode=\"-102\" LogLevel=\"10\"") +
           library_ +
           pluginLine("ID=\"1\" Filename=\"broken.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
                      "OpenCode=\"79\" LogLevel=\"-1\"") +
           pluginLine("ID=\"2\" Filename=\"ConfigRefusing.v2.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
                      "OpenCode=\"3\" LogLevel=\"-1\"") +
           t1 + "</Module>" + nl + t1 + "<Module ID=\"1\" Name=\"broken\" Version=\"" + brokenText + "\"/>" + nl +
           t1 + "<Module ID=\"2\" Name=\"ConfigRefusing\" Version=\"load code 3\"/>" + nl;
  }

  std::shared_ptr<Plugin> probe_;
  std::shared_ptr<Plugin> logPlugin_;
  std::string library_;
};

TEST_F(PublishTest, QueuedDocumentHasProductAndFileHasNoneIndentedWithTabs) {
  core_->loadConfig();
  (void)takeQueued();
  core_->publishConfig();
  const auto queued = takeQueued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].type, EventTypeConfig);
  EXPECT_EQ(queued[0].flags, 0x1000010u);
  EXPECT_EQ(queued[0].source, CoreSourceId);
  EXPECT_EQ(queued[0].bodyParam, 0u);
  EXPECT_EQ(queued[0].text, "<?xml version=\"1.0\"?><Kora><Memory ID=\"-2147483648\" Throttling=\"1\"/>"
                            "<Modules TotalLoadTimeMs=\"2\" TotalOpenTimeMs=\"0\">" +
                                expectedModules(false) +
                                "</Modules><Product Family=\"Fam\" Version=\"9.1\"/></Kora>");
  EXPECT_EQ(readFile("core.xml"), "<?xml version=\"1.0\"?>\n<Kora>\n\t<Memory ID=\"-2147483648\" Throttling=\"1\"/>\n"
                                  "\t<Modules TotalLoadTimeMs=\"2\" TotalOpenTimeMs=\"0\">\n" +
                                      expectedModules(true) + "\t</Modules>\n</Kora>\n");
  EXPECT_FALSE(fs::exists("core.xml.pending"));
}

TEST_F(PublishTest, LibraryElementOnlyWhenParentVersionIsKnown) {
  core_->parentFilename = "/usr/bin/norvad";
  core_->parentVersion = "3.4\"5";
  library_ = "\t\t\t<Library Name=\"norvad\" Filename=\"/usr/bin/norvad\" Version='3.4\"5'/>\n";
  core_->productVersion = "9.1";
  core_->publishConfig();
  const std::string file = readFile("core.xml");
  EXPECT_NE(file.find(expectedModules(true)), std::string::npos) << file;

  core_->parentVersion.clear();
  core_->publishConfig();
  EXPECT_EQ(readFile("core.xml").find("<Library"), std::string::npos);
}

TEST_F(PublishTest, RestartRestoresEveryThresholdOfPluginsThatKeepTheirIdentifier) {
  core_->logLevels[0x30] = 100;
  core_->publishConfig();
  (void)takeQueued();

  // The next start: a fresh core reads what the last one wrote.
  core_ = newCore();
  core_->loadConfig();
  EXPECT_EQ(core_->logLevels[0].load(), 10);
  EXPECT_EQ(core_->logLevels[0x12].load(), 60);
  for (std::size_t i = 1; i < core_->logLevels.size(); ++i) {
    if (i != 0x12) {
      ASSERT_EQ(core_->logLevels[i].load(), -1) << i;
    }
  }
}

TEST_F(PublishTest, FailedFileWriteIsLoggedAndKeepsQueuedRecordAndOldFile) {
  writeFile("core.xml", coreXmlWith(""));
  fs::create_directory("core.xml.pending");
  core_->publishConfig();
  const auto queued = takeQueued();
  ASSERT_EQ(queued.size(), 2u);
  EXPECT_EQ(queued[0].type, EventTypeConfig);
  EXPECT_EQ(queued[1].type, EventTypeLog);
  EXPECT_EQ(queued[1].text, "Failed to open core.xml.pending - Is a directory");
  EXPECT_EQ(readFile("core.xml"), coreXmlWith(""));
}

TEST_F(ConfigModelTest, DeltaChangesThresholdAndRepublishesOnlyOnChange) {
  deliverDelta(delta(plugin("-2147483648", "60")));
  EXPECT_EQ(core_->logLevels[0].load(), 60);
  auto configs = takeTexts(EventTypeConfig);
  ASSERT_EQ(configs.size(), 1u);
  EXPECT_NE(configs[0].find("Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"60\""),
            std::string::npos);
  EXPECT_NE(readFile("core.xml").find("LogLevel=\"60\""), std::string::npos);

  deliverDelta(delta(plugin("-2147483648", "60")));
  EXPECT_TRUE(takeTexts(EventTypeConfig).empty());
}

TEST_F(ConfigModelTest, DeltaWithTheVersionedDeclarationIsRecognisedCompactOrIndented) {
  deliverDelta("<?xml version=\"1.0\"?><Kora><Modules Delta=\"1\"><Module>" + plugin("1179648", "60") +
               "</Module></Modules></Kora>");
  EXPECT_EQ(core_->logLevels[0x12].load(), 60);
  deliverDelta("<?xml version=\"1.0\"?>\r\n<Kora>\r\n\t<Modules Delta=\"1\">\r\n\t\t<Module>" +
               plugin("1179648", "70") + "</Module>\r\n\t</Modules>\r\n</Kora>\r\n");
  EXPECT_EQ(core_->logLevels[0x12].load(), 70);
}

TEST_F(ConfigModelTest, DeltaIsParsedFromAPrivateCopy) {
  const std::string original = delta("<Plugin Note=\"a&amp;b\" ID=\"1179648\" LogLevel=\"70\"/>");
  std::string shared = original;
  deliverDelta(shared);
  EXPECT_EQ(core_->logLevels[0x12].load(), 70);
  EXPECT_EQ(shared, original);
}

TEST_F(ConfigModelTest, RecordsThatAreNoDeltaChangeNothing) {
  const std::string text = delta(plugin("1179648", "60"));
  deliverDelta(text, CoreSourceId);
  deliverDelta(text, 0x00050000, EventClassLive);
  deliverDelta(text, 0x00050000, XmlLive, 21);
  deliverDelta("<?xml Delta=\"1\"?><Kora><Modules><Module>" + plugin("1179648", "60") + "</Module></Modules></Kora>");
  deliverDelta("<?xml?><Kora><!-- padding padding --><Modules Delta=\"1\"><Module>" + plugin("1179648", "60") +
               "</Module></Modules></Kora>");
  auto other = makeEvent(EventTypeConfig | EventTypeModifier, XmlLive, 0x00050000, text.data(),
                         static_cast<uint32_t>(text.size()));
  core_->configDeltaHook(other);
  core_->stopRequested = true;
  deliverDelta(text);
  core_->stopRequested = false;
  EXPECT_EQ(core_->logLevels[0x12].load(), -1);
  EXPECT_TRUE(takeQueued().empty());
}

TEST_F(ConfigModelTest, DeltaWithMemoryElementTouchesOnlyThresholds) {
  deliverDelta("<?xml?><Kora><Modules Delta=\"1\"/><Memory Throttling=\"0\"/></Kora>");
  EXPECT_TRUE(core_->throttlingEnabled);
  EXPECT_TRUE(takeQueued().empty());
}

TEST_F(ConfigModelTest, HostileDeltasAreRefusedWithoutEffect) {
  std::string deep = "<?xml?><Kora><Modules Delta=\"1\">";
  for (int i = 0; i < 200000; ++i) deep += "<Module>";
  deliverDelta(deep);
  deliverDelta(delta(plugin("1179648", "60")).substr(0, 60));
  EXPECT_EQ(core_->logLevels[0x12].load(), -1);
  EXPECT_TRUE(takeQueued().empty());
}

TEST_F(ConfigModelTest, MemoryStateReportsThrottledStateAndOneClockReading) {
  core_->throttlingEnabled = false;
  core_->throttled = true;
  core_->publishMemoryState();
  const auto queued = takeQueued();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].type, EventTypeAlarm);
  EXPECT_EQ(queued[0].flags, 0x1000010u);
  EXPECT_EQ(queued[0].source, CoreSourceId);
  std::smatch match;
  const std::regex shape(
      R"re(<\?xml version="1\.0"\?><Kora><Memory ID="-2147483648" Throttling="1" Time="(\d+)" mseTime="(\d+)"/></Kora>)re");
  ASSERT_TRUE(std::regex_match(queued[0].text, match, shape)) << queued[0].text;
  EXPECT_EQ(std::stoll(match[1]), std::stoll(match[2]) / 1000);
}

// The io thread publishes memory states and learns the parent's identity
// while the main thread applies deltas and publishes the configuration.
TEST_F(ConfigModelTest, ConcurrentPublicationFromIoAndMainThreads) {
  std::atomic<bool> done{false};
  core_->parentVersion = "0";
  std::thread io([&] {
    for (int i = 0; !done.load(); ++i) {
      core_->throttled = (i % 2) == 0;
      core_->publishMemoryState();
      std::lock_guard lock(core_->parentInfoLock);
      core_->parentFilename = "norvad";
      core_->parentVersion = std::to_string(i);
    }
  });
  for (int level = 0; level < 50; ++level) {
    deliverDelta(delta(plugin("-2147483648", std::to_string(level))));
    (void)takeQueued();
  }
  done = true;
  io.join();
  EXPECT_EQ(core_->logLevels[0].load(), 49);
  EXPECT_NE(readFile("core.xml").find("<Library Name=\"norvad\""), std::string::npos);
}

class HostileCoreXml : public ConfigModelTest {
 protected:
  void expectDefaulted(const std::string& content) {
    writeFile("core.xml", content);
    core_->loadConfig();
    const auto logs = logTexts();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_TRUE(logs[0].ends_with("\nConfig defaulted")) << logs[0].substr(0, 200);
    EXPECT_TRUE(core_->throttlingEnabled);
    EXPECT_EQ(core_->logLevels[0].load(), -1);
  }
};

TEST_F(HostileCoreXml, TenMegabytesOfNestingIsDefaulted) {
  std::string text = "<?xml?>";
  while (text.size() < (10u << 20)) text += "<Kora>";
  expectDefaulted(text);
}

TEST_F(HostileCoreXml, BinaryGarbageIsDefaulted) {
  std::mt19937 rng(3);
  std::string text = "<?xml?><";
  text.resize(10u << 20);
  for (std::size_t i = 8; i < text.size(); ++i) text[i] = static_cast<char>(rng());
  text[9] = '\0';  // the parser must stop at the zero without reading on
  expectDefaulted(text);
}

TEST_F(HostileCoreXml, TenMegabyteWellFormedFileIsRead) {
  std::string text = "<?xml?><Kora><Memory Throttling=\"0\"/><Modules><Module>";
  while (text.size() < (10u << 20)) text += plugin("65536", "5");
  text += plugin("-2147483648", "40") + "</Module></Modules></Kora>";
  writeFile("core.xml", text);
  core_->loadConfig();
  EXPECT_FALSE(core_->throttlingEnabled);
  EXPECT_EQ(core_->logLevels[0].load(), 40);
}

}  // namespace
}  // namespace ko::core
