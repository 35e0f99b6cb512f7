// Builders of the plugin inventory (see inventory.h). Main thread only.
#include "plugins/inventory.h"

#include "config/xml_tree.h"
#include "plugins/plugin.h"

namespace ko::core {

namespace {

constexpr int64_t NanosPerMilli = 1000000;

}  // namespace

XmlNode* addPluginElement(XmlPool& pool, XmlNode& parent, int32_t id, std::string_view fileName, int64_t loadMs,
                          int64_t openMs, int32_t openCode, int32_t logLevel) {
  XmlNode* element = appendElement(pool, parent, "Plugin");
  appendNumber(pool, *element, "ID", id);
  appendAttribute(pool, *element, "Filename", fileName);
  appendAttribute(pool, *element, "Opened", "1");
  appendNumber(pool, *element, "LoadTimeMs", loadMs);
  appendNumber(pool, *element, "OpenTimeMs", openMs);
  appendNumber(pool, *element, "OpenCode", openCode);
  appendNumber(pool, *element, "LogLevel", logLevel);
  appendAttribute(pool, *element, "LogLevelDefault", "-1");
  return element;
}

XmlNode* addModuleElement(XmlPool& pool, XmlNode& parent, int32_t id, std::string_view name,
                          std::string_view version) {
  name = name.substr(0, name.find('.'));
  XmlNode* element = appendElement(pool, parent, "Module");
  appendNumber(pool, *element, "ID", id);
  appendAttribute(pool, *element, "Name", name);
  appendAttribute(pool, *element, "Version", version);
  return element;
}

int32_t inventoryId(uint64_t sourceId) noexcept { return static_cast<int32_t>(originKey(sourceId)); }

InventoryTotals addLoadedPlugins(XmlPool& pool, XmlNode& coreModule,
                                 const std::vector<std::shared_ptr<Plugin>>& plugins,
                                 const std::array<std::atomic<int32_t>, 256>& logLevels) {
  InventoryTotals totals;
  for (const auto& plugin : plugins) {
    const int64_t loadMs = plugin->loadTime / NanosPerMilli;
    const int64_t openMs = plugin->openTime / NanosPerMilli;
    addPluginElement(pool, coreModule, inventoryId(plugin->info.sourceId), plugin->fileName, loadMs, openMs,
                     plugin->openCode, logLevels[plugin->sourceIndexOf()].load(std::memory_order_relaxed));
    totals.loadMs += loadMs;
    totals.openMs += openMs;
  }
  return totals;
}

void addFailedPlugins(XmlPool& pool, XmlNode& modules, XmlNode& coreModule,
                      const std::vector<std::shared_ptr<Plugin>>& failedPlugins) {
  int32_t number = 0;
  for (const auto& plugin : failedPlugins) {
    ++number;
    addModuleElement(pool, modules, number, plugin->fileName, plugin->errorText);
    addPluginElement(pool, coreModule, number, plugin->fileName, 0, 0, plugin->loadCode, -1);
  }
}

}  // namespace ko::core
