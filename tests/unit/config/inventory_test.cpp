// The inventory builders: attribute order, decimal texts, name cutting and
// the values taken from real plugins that loaded, failed to open or failed
// to load.
#include "plugins/inventory.h"

#include <gtest/gtest.h>

#include "config/xml_tree.h"
#include "core_fixture.h"
#include "plugins/plugin.h"

namespace ko::core {
namespace {

std::string oneLine(const XmlNode& node) {
  std::string text;
  printXml(text, node, XmlPrintNoIndent, 0);
  return text;
}

TEST(InventoryElements, PluginAttributesInOrderWithExtremeNumbers) {
  XmlDocument doc;
  XmlNode* plugin = addPluginElement(doc, doc, INT32_MIN, "a&b.so", INT64_MIN, INT64_MAX, -102, -1);
  EXPECT_EQ(oneLine(*plugin),
            "<Plugin ID=\"-2147483648\" Filename=\"a&amp;b.so\" Opened=\"1\" LoadTimeMs=\"-9223372036854775808\" "
            "OpenTimeMs=\"9223372036854775807\" OpenCode=\"-102\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>");
}

TEST(InventoryElements, ModuleNameIsCutBeforeTheFirstDot) {
  XmlDocument doc;
  EXPECT_EQ(oneLine(*addModuleElement(doc, doc, 1, "Cam.v2.so", "load code 3")),
            "<Module ID=\"1\" Name=\"Cam\" Version=\"load code 3\"/>");
  EXPECT_EQ(oneLine(*addModuleElement(doc, doc, 2, "NoDot", "")), "<Module ID=\"2\" Name=\"NoDot\" Version=\"\"/>");
  EXPECT_EQ(oneLine(*addModuleElement(doc, doc, 3, ".hidden", "x")), "<Module ID=\"3\" Name=\"\" Version=\"x\"/>");
}

TEST(InventoryElements, IdIsTheOriginKeyAsSignedNumber) {
  EXPECT_EQ(inventoryId(CoreSourceId), INT32_MIN);
  EXPECT_EQ(inventoryId(0x12abcdu), 1179648);
  EXPECT_EQ(inventoryId(0xff000000ffffffffull), static_cast<int32_t>(0x00ff0000));
}

class InventoryPlugins : public testing::CoreFixture {};

TEST_F(InventoryPlugins, LoadedPluginTimesAreTruncatedToMillisecondsAndSummed) {
  auto probe = LoadPlugin(PROBE_PLUGIN_PATH, submitEventCallback, nullptr, 0);
  ASSERT_EQ(probe->loadCode, 0) << probe->errorText;
  probe->loadTime = 2'900'000;
  probe->openTime = 400'000;
  auto second = LoadPlugin(PROBE_PLUGIN_PATH, submitEventCallback, nullptr, 0);
  second->loadTime = 1'999'999;
  second->openTime = 3'000'000;
  second->openCode = -102;
  core_->logLevels[0x12] = 60;

  XmlDocument doc;
  const InventoryTotals totals = addLoadedPlugins(doc, doc, {probe, second}, core_->logLevels);
  EXPECT_EQ(totals.loadMs, 3);
  EXPECT_EQ(totals.openMs, 3);
  const XmlNode* first = firstChildElement(doc, "Plugin");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(oneLine(*first),
            "<Plugin ID=\"1179648\" Filename=\"ConfigProbe.so\" Opened=\"1\" LoadTimeMs=\"2\" OpenTimeMs=\"0\" "
            "OpenCode=\"0\" LogLevel=\"60\" LogLevelDefault=\"-1\"/>");
}

TEST_F(InventoryPlugins, FailedPluginsAreNumberedFromOneWithLoaderTexts) {
  testing::writeFile("broken.so", "not a library");
  auto broken = LoadPlugin((dir_.path() / "broken.so").string(), submitEventCallback, nullptr, 0);
  auto refusing = LoadPlugin(REFUSING_PLUGIN_PATH, submitEventCallback, nullptr, 0);
  ASSERT_EQ(broken->loadCode, 79);
  ASSERT_EQ(refusing->loadCode, 3);

  XmlDocument doc;
  XmlNode* modules = appendElement(doc, doc, "Modules");
  XmlNode* core = appendElement(doc, *modules, "Module");
  addFailedPlugins(doc, *modules, *core, {broken, refusing});
  std::string brokenText;
  expandChars(brokenText, broken->errorText, '\'');
  EXPECT_EQ(oneLine(*modules),
            "<Modules><Module>"
            "<Plugin ID=\"1\" Filename=\"broken.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"79\" "
            "LogLevel=\"-1\" LogLevelDefault=\"-1\"/>"
            "<Plugin ID=\"2\" Filename=\"ConfigRefusing.v2.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" "
            "OpenCode=\"3\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>"
            "</Module>"
            "<Module ID=\"1\" Name=\"broken\" Version=\"" +
                brokenText +
                "\"/>"
                "<Module ID=\"2\" Name=\"ConfigRefusing\" Version=\"load code 3\"/>"
                "</Modules>");
}

}  // namespace
}  // namespace ko::core
