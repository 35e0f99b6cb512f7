// The plugin inventory inside the configuration document: one `Plugin`
// element per plugin the core knows (itself, each loaded plugin, each plugin
// that failed to load) and a `Module` element for the core and for each
// failure. Called only while the configuration document is built (main
// thread); names, values and nodes come from that document's memory pool.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "config/xml_writer.h"

namespace ko::core {

class Plugin;

// Appends a `Plugin` element with ID, Filename, Opened "1", LoadTimeMs,
// OpenTimeMs, OpenCode, LogLevel and LogLevelDefault "-1", in this order.
XmlNode* addPluginElement(XmlPool& pool, XmlNode& parent, int32_t id, std::string_view fileName, int64_t loadMs,
                          int64_t openMs, int32_t openCode, int32_t logLevel);

// Appends a `Module` element with ID, Name (cut before its first ".") and
// Version, in this order.
XmlNode* addModuleElement(XmlPool& pool, XmlNode& parent, int32_t id, std::string_view name,
                          std::string_view version);

// The ID a plugin's elements carry: its origin key as a signed number.
int32_t inventoryId(uint64_t sourceId) noexcept;

struct InventoryTotals {
  int64_t loadMs = 0;
  int64_t openMs = 0;
};

// One `Plugin` element under `coreModule` per loaded plugin, front to back;
// returns the sums of their truncated millisecond times.
InventoryTotals addLoadedPlugins(XmlPool& pool, XmlNode& coreModule,
                                 const std::vector<std::shared_ptr<Plugin>>& plugins,
                                 const std::array<std::atomic<int32_t>, 256>& logLevels);

// For the n-th failed plugin (n from 1): a `Module` under `modules`, then a
// `Plugin` under `coreModule`, both with ID n.
void addFailedPlugins(XmlPool& pool, XmlNode& modules, XmlNode& coreModule,
                      const std::vector<std::shared_ptr<Plugin>>& failedPlugins);

}  // namespace ko::core
