// Driving the whole plugin list through load, open, close and unload, the
// logging plugin's binding, and the direct hand-off of log records to it
// after a stop request.
//
// Threads: everything but deliverToLogPlugin, pluginSnapshot and
// loggingPlugin runs on the main thread. Changes of `plugins` (and of `logPlugin` and `failedPlugins`)
// hold pluginsLock and never call into a plugin or log while holding it; see
// the declaration of `plugins` for the readers' side.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

#include "core/capabilities.h"
#include "core/dvr_core.h"
#include "events/lending.h"
#include "events/ref_block.h"
#include "log/core_log.h"
#include "plugins/discovery.h"
#include "plugins/plugin.h"

extern "C" int32_t submitEventCallback(ko::core::EventParms* record) noexcept;

namespace ko::core {

namespace {

// Taken out of the list before closing; released with the core otherwise.
constexpr uint8_t DetachedAtCloseIndex = 0x08;
// Placed first in dispatch order.
constexpr uint8_t FirstInDispatchIndex = 0x06;
// CAP_NET_ADMIN and CAP_NET_RAW: all a core not running as root keeps once
// every plugin is open.
constexpr uint32_t RetainedCapabilities = 0x3000;

std::string fileNameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Two plugins clash when both speak as the core, or neither does and they
// share the identifier byte.
bool sameIdentifier(const Plugin& a, const Plugin& b) noexcept {
  if (a.isCore() || b.isCore()) return a.isCore() && b.isCore();
  return a.sourceIndexOf() == b.sourceIndexOf();
}

bool closesBefore(const std::shared_ptr<Plugin>& a, const std::shared_ptr<Plugin>& b) noexcept {
  if (a->info.closeRank != b->info.closeRank) return a->info.closeRank > b->info.closeRank;
  return strcasecmp(a->fileName.c_str(), b->fileName.c_str()) < 0;
}

}  // namespace

void DvrCore::bindLogPlugin() {
  auto bound = LoadPlugin(programDirectory(corePath) + "/plugins/LogPI.so", submitEventCallback, nullptr, 0);
  bound->Open();
  std::shared_ptr<Plugin> previous;
  {
    std::unique_lock lock(pluginsLock);
    previous = std::exchange(logPlugin, std::move(bound));
  }
  // A replaced plugin is closed and unloaded here, outside the lock.
  if (previous) {
    previous->Retire(Plugin::Retired::Unloaded);
  }
}

void DvrCore::deliverToLogPlugin(const EventParms& record) {
  // A logging plugin that logs from its own event entry comes back here on
  // the same thread; that nested record reaches the console only.
  thread_local bool inside = false;
  if (inside) return;
  const std::shared_ptr<Plugin> plugin = loggingPlugin();
  // The logging plugin never gets its own records back, as in dispatch.
  if (!plugin || originKey(plugin->info.sourceId) == originKey(record.source)) return;

  // The plugin may keep the record as it may keep a dispatched one, so it
  // gets a reference-counted copy of the text rather than the submitter's
  // buffer, which is gone once submission returns.
  EventParms copy = record;
  void* block = nullptr;
  if (record.length != 0 && record.data != nullptr) {
    block = allocRefBlock(record.data, record.length);
    if (block == nullptr) return;
    if (!listRefBlock(block)) {
      freeRefBlock(block);
      return;
    }
  }
  copy.data = block;
  if (block == nullptr) copy.length = 0;
  // The core's own reference, and the one lent for the call.
  addEventRef(block, 0);
  if (block != nullptr) refBlockHeader(block)->refCount.fetch_add(1, std::memory_order_relaxed);
  inside = true;
  struct Leave {
    ~Leave() { inside = false; }
  } leave;
  // The plugin's gate keeps the library mapped for the call and refuses it
  // once the main thread has begun to close the plugin.
  const LendOutcome outcome =
      lendForCall(block, plugin->sourceIndexOf(), [&] { return plugin->HandOffEvent(copy); });
  // The lent reference cannot be the last: the core's own is still held.
  if (outcome == LendOutcome::Returned && block != nullptr) {
    refBlockHeader(block)->refCount.fetch_sub(1, std::memory_order_relaxed);
  }
  releaseEventRef(block, 0);
}

std::vector<std::shared_ptr<Plugin>> DvrCore::pluginSnapshot() const {
  std::lock_guard lock(pluginsLock);
  return plugins;
}

std::shared_ptr<Plugin> DvrCore::loggingPlugin() const {
  std::lock_guard lock(pluginsLock);
  return logPlugin;
}

void DvrCore::releasePlugins() {
  std::vector<std::shared_ptr<Plugin>> released;
  std::vector<std::shared_ptr<Plugin>> failed;
  {
    std::unique_lock lock(pluginsLock);
    released.swap(plugins);
    failed.swap(failedPlugins);
  }
  // Closed and unloaded here, on the main thread, in list order, before the
  // references go: the last reference to a plugin may be dropped by another
  // thread (a search, a log record), which must never be the one to close
  // it. The logging plugin goes last so it still takes the others' last
  // records.
  for (const auto& plugin : released) plugin->Retire(Plugin::Retired::Unloaded);
  released.clear();
  failed.clear();
  std::shared_ptr<Plugin> logging;
  {
    std::unique_lock lock(pluginsLock);
    logging = std::move(logPlugin);
  }
  if (logging) logging->Retire(Plugin::Retired::Unloaded);
}

void DvrCore::loadPlugins() {
  for (const auto& path : FindPluginFiles(programDirectory(corePath))) {
    auto plugin = LoadPlugin(path, submitEventCallback, nullptr, 0);
    if (!plugin->loaded()) {
      coreLog(75, "Failed to load plugin {}: {}", plugin->fileName, plugin->errorText);
      std::unique_lock lock(pluginsLock);
      failedPlugins.push_back(std::move(plugin));
      continue;
    }
    // The main thread is the only writer of the list, so it reads it here
    // without the lock.
    const auto clash = std::find_if(plugins.begin(), plugins.end(),
                                     [&](const auto& earlier) { return sameIdentifier(*earlier, *plugin); });
    if (clash != plugins.end()) {
      coreLog(50, "pluginId {:02x} already loaded from {} trying to load {}", plugin->sourceIndexOf(),
              (*clash)->fileName, fileNameOf(path));
      plugin->Retire(Plugin::Retired::Unloaded);  // never opened: nothing to close
      continue;
    }
    const uint8_t index = plugin->sourceIndexOf();
    coreLog(25, "Loaded plugin {:02x}:{}", index, plugin->displayName());
    {
      std::lock_guard lock(logLock);
      logTags[index] = plugin->tag();
    }
    std::unique_lock lock(pluginsLock);
    if (!plugin->isCore() && index == FirstInDispatchIndex) {
      plugins.insert(plugins.begin(), std::move(plugin));
    } else {
      plugins.push_back(std::move(plugin));
    }
  }
  // Only now, so every worker starts before any plugin is opened.
  for (const auto& plugin : plugins) plugin->ProvideWorkerThreadIf();
}

void DvrCore::openPlugins() {
  for (const auto& plugin : plugins) {
    coreLog(25, "Opening {:02x}:{}", plugin->sourceIndexOf(), plugin->displayName());
    plugin->Open();
    // The outcome stays what the inventory shows (OpenCode -102); this line
    // is what tells an author why the plugin never receives anything.
    if (const char* missing = plugin->missingOpenEntry()) {
      coreLog(50, "Plugin {:02x}:{} is not opened: it does not export {}, a mandatory entry point",
              plugin->sourceIndexOf(), plugin->displayName(), missing);
    }
  }
  if (logPlugin) {
    std::unique_lock lock(pluginsLock);
    plugins.push_back(logPlugin);
  }
  // Every thread that exists now, plugins' own included, is narrowed; a core
  // left holding more in any of them stops rather than run so.
  if (getuid() != 0 && !narrowCapabilities(RetainedCapabilities)) requestStop();
}

void DvrCore::closePlugins() {
  std::vector<std::shared_ptr<Plugin>> detached;
  {
    std::unique_lock lock(pluginsLock);
    const auto kept = std::stable_partition(plugins.begin(), plugins.end(), [](const auto& plugin) {
      return plugin->isCore() || plugin->sourceIndexOf() != DetachedAtCloseIndex;
    });
    detached.assign(std::make_move_iterator(kept), std::make_move_iterator(plugins.end()));
    plugins.erase(kept, plugins.end());
    std::stable_sort(plugins.begin(), plugins.end(), closesBefore);
  }
  // A detached plugin is closed and unloaded now, on this thread, even if a
  // walk on another thread still holds it; only the logging plugin waits for
  // the core's own release.
  for (auto& plugin : detached) {
    if (plugin == logPlugin) continue;
    plugin->Retire(Plugin::Retired::Unloaded);
  }
  detached.clear();

  for (const auto& plugin : plugins) {
    coreLog(25, "Closing {:02x}:{}", plugin->sourceIndexOf(), plugin->displayName());
    plugin->Retire(Plugin::Retired::Closed);
  }
}

void DvrCore::unloadPlugins() {
  for (const auto& plugin : plugins) {
    coreLog(25, "Unloading {:02x}:{}", plugin->sourceIndexOf(), plugin->displayName());
    plugin->Retire(Plugin::Retired::Unloaded);
  }
}

}  // namespace ko::core
