// Driving the whole plugin list through load, open, close and unload (main
// thread), and the logging plugin's binding.
#include <algorithm>
#include <mutex>

#include "core/dvr_core.h"
#include "log/core_log.h"
#include "plugins/plugin.h"

extern "C" int32_t submitEventCallback(ko::core::EventParms* record) noexcept;

namespace ko::core {

void DvrCore::bindLogPlugin() {
  logPlugin = LoadPlugin(programDirectory(corePath) + "/plugins/LogPI.so", submitEventCallback, nullptr, 0);
  logPlugin->Open();
}

void DvrCore::deliverToLogPlugin(const EventParms& record) {
  // A logging plugin that logs from its own event entry would come back here
  // on the same thread; that record goes no further.
  thread_local bool inside = false;
  if (inside) return;
  std::shared_ptr<Plugin> plugin;
  {
    std::shared_lock lock(pluginsLock);
    plugin = logPlugin;
  }
  if (!plugin) return;
  inside = true;
  EventParms copy = record;
  {
    std::shared_lock gate(plugin->gate);
    (void)plugin->DeliverEvent(copy);
  }
  inside = false;
}

std::vector<std::shared_ptr<Plugin>> DvrCore::pluginSnapshot() const {
  std::shared_lock lock(pluginsLock);
  return plugins;
}

void DvrCore::loadPlugins() {}

void DvrCore::openPlugins() {
  std::unique_lock lock(pluginsLock);
  if (logPlugin) plugins.push_back(logPlugin);
}

void DvrCore::closePlugins() {
  for (const auto& plugin : plugins) plugin->Close();
}

void DvrCore::unloadPlugins() {
  for (const auto& plugin : plugins) plugin->Unload();
}

}  // namespace ko::core
