// Driving the whole plugin list through load, open, close and unload, the
// logging plugin's binding, and the direct hand-off of log records to it
// after a stop request.
//
// Threads: everything but deliverToLogPlugin, pluginSnapshot and
// loggingPlugin runs on the main thread. Changes of `plugins` (and of `logPlugin` and `failedPlugins`)
// hold pluginsLock and never call into a plugin or log while holding it; see
// the declaration of `plugins` for the readers' side.
#include <strings.h>
#include <sys/stat.h>
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
#include "monitor/counters.h"
#include "plugins/discovery.h"
#include "plugins/file_trust.h"
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
// The load code of a library that cannot be opened.
constexpr int32_t MissingLibraryCode = 79;

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

// The logging plugin joins the list without the duplicate check. A release
// record names only a source index, so a release from one holder of an
// index during the other's call is taken as the other's: worth a warning.
void warnSharedIndex(const std::vector<std::shared_ptr<Plugin>>& plugins, const Plugin& logging) {
  for (const auto& plugin : plugins) {
    if (plugin->sourceIndexOf() != logging.sourceIndexOf()) continue;
    coreLog(50,
            "logging plugin {} shares source index {:02x} with {}: a release from one during the other's call "
            "is taken as the other's, and that block is never freed",
            logging.displayName(), logging.sourceIndexOf(), plugin->displayName());
  }
}

bool closesBefore(const std::shared_ptr<Plugin>& a, const std::shared_ptr<Plugin>& b) noexcept {
  if (a->info.closeRank != b->info.closeRank) return a->info.closeRank > b->info.closeRank;
  return strcasecmp(a->fileName.c_str(), b->fileName.c_str()) < 0;
}

}  // namespace

std::shared_ptr<Plugin> DvrCore::loadTrustedPlugin(const std::string& path) {
  if (std::optional<std::string> reason = untrustedPluginReason(path, pluginOwner)) {
    struct stat entry {};
    if (::lstat(path.c_str(), &entry) < 0 && errno == ENOENT) {
      // Nothing there: the failure dlopen would report, without a dlopen
      // that could find a file created meanwhile.
      return RefusedPlugin(path, path + ": cannot open shared object file: " + std::strerror(ENOENT),
                           MissingLibraryCode);
    }
    coreLog(75, "plugin {} refused: {}", path, *reason);
    return RefusedPlugin(path, std::move(*reason));
  }
  // dlopen hands back the handle already open when another name (a link, a
  // hard link) reaches a loaded library; a second "Load" would run on the
  // live instance and its "Unload" free what that instance uses. The main
  // thread is the only writer of these, so it reads them without the lock.
  auto plugin = LoadPlugin(path, submitEventCallback, nullptr, 0, [this](void* handle) -> std::optional<std::string> {
    for (const auto& loaded : plugins) {
      if (loaded->handle.get() == handle) return "same library as " + loaded->fileName;
    }
    if (logPlugin && logPlugin->handle.get() == handle) return "same library as " + logPlugin->fileName;
    return std::nullopt;
  });
  if (plugin->loadCode == RefusedLoadCode) coreLog(75, "plugin {} refused: {}", path, plugin->errorText);
  return plugin;
}

void DvrCore::bindLogPlugin() {
  auto bound = loadTrustedPlugin(programDirectory(corePath) + "/plugins/LogPI.so");
  if (bound->loadCode == RefusedLoadCode) {
    // Refused, it is listed with its reason among the failed plugins, and
    // records have no plugin to go to.
    std::unique_lock lock(pluginsLock);
    failedPlugins.push_back(std::move(bound));
  } else {
    bound->logging = true;
    bound->Open();
  }
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
  const std::shared_ptr<Plugin> plugin = loggingPlugin();
  // The logging plugin never gets its own records back, as in dispatch.
  if (!plugin || originKey(plugin->info.sourceId) == originKey(record.source)) return;
  // Never back into the logging plugin on a thread already inside it, by
  // whatever path it was entered (a plugin with a plain mutex there would
  // deadlock): the record raised meanwhile is dropped and counted.
  if (loggingPluginDepth != 0) {
    counters.logRecordsDropped.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  // The watch never calls a plugin; another thread hands its records over.
  if (pluginCallsBarred) {
    logCourier.post(*this, record);
    return;
  }

  // The plugin may keep the record as it may keep a dispatched one, so it
  // gets a reference-counted copy of the text rather than the submitter's
  // buffer, which is gone once submission returns. A copy that cannot be
  // made or listed leaves the record without its payload, as at submission.
  EventParms copy = record;
  void* block = nullptr;
  if (record.length != 0 && record.data != nullptr) {
    block = allocRefBlock(record.data, record.length);
    if (block != nullptr && !listRefBlock(block)) {
      freeRefBlock(block);
      block = nullptr;
    }
  }
  copy.data = block;
  if (block == nullptr) copy.length = 0;
  // The core's own reference, and the one lent for the call.
  addEventRef(block, 0);
  if (block != nullptr) refBlockHeader(block)->refCount.fetch_add(1, std::memory_order_relaxed);
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

void DvrCore::reportDroppedLogRecords() {
  if (const int64_t dropped = counters.logRecordsDropped.exchange(0, std::memory_order_relaxed); dropped != 0) {
    coreLog(50, "{:L} log record(s) not handed to the logging plugin after the stop request", dropped);
  }
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
    auto plugin = loadTrustedPlugin(path);
    if (!plugin->loaded()) {
      if (plugin->loadCode != RefusedLoadCode) {
        coreLog(75, "Failed to load plugin {}: {}", plugin->fileName, plugin->errorText);
      }
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
      logNames[index] = plugin->displayName();
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
    if (logPlugin->loaded()) warnSharedIndex(plugins, *logPlugin);
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
