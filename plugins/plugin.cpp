// Binding, loading, opening, closing and unloading one plugin, and the three
// ways an event reaches it. See plugin.h for which thread calls what.
#include "plugins/plugin.h"

#include <dlfcn.h>
#include <fmt/format.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <system_error>

#include "log/core_log.h"

namespace ko::core {

namespace {

using Clock = std::chrono::steady_clock;

int64_t elapsedNanos(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

template <typename Fn>
Fn bindSymbol(const LibraryHandle& handle, const char* name) {
  return reinterpret_cast<Fn>(handle.symbol(name));
}

// Lends the plugin a thread; a thread that cannot be created leaves the
// plugin without it rather than ending the core.
template <typename Body>
void startPluginThread(std::thread& slot, const char* what, const Plugin& plugin, Body body) {
  if (slot.joinable()) return;  // one thread of each kind per plugin
  try {
    slot = std::thread(std::move(body));
  } catch (const std::system_error& error) {
    coreLog(75, "Failed to start {} thread for {}: {}", what, plugin.displayName(), error.what());
  }
}

}  // namespace

LibraryHandle& LibraryHandle::operator=(LibraryHandle&& other) noexcept {
  if (this != &other) {
    reset();
    handle_ = other.release();
  }
  return *this;
}

void* LibraryHandle::symbol(const char* name) const noexcept {
  return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

void LibraryHandle::reset() noexcept {
  if (handle_ == nullptr) return;
  // A failing dlclose leaves the library mapped; there is nothing else to
  // undo, and the handle is gone either way.
  (void)dlclose(handle_);
  handle_ = nullptr;
}

std::shared_ptr<Plugin> LoadPlugin(const std::string& path, SubmitEventFn submit, void* reservedPointer,
                                   uint32_t reservedCount) {
  LibraryHandle handle(dlopen(path.c_str(), RTLD_NOW));
  const char* openError = handle ? nullptr : dlerror();

  std::shared_ptr<Plugin> plugin(new Plugin());
  const auto slash = path.rfind('/');
  plugin->fileName = slash == std::string::npos ? path : path.substr(slash + 1);
  plugin->callName = internPluginName(plugin->displayName().c_str());

  if (!handle) {
    plugin->loadCode = 79;
    plugin->errorText = openError != nullptr ? openError : "unknown";
    return plugin;
  }
  plugin->handle = std::move(handle);
  auto& entry = plugin->entry;
  entry.Load = bindSymbol<LoadFn>(plugin->handle, "Load");
  entry.Unload = bindSymbol<UnloadFn>(plugin->handle, "Unload");
  if (entry.Load == nullptr || entry.Unload == nullptr) {
    plugin->loadCode = -101;
    plugin->errorText = "missing Load()/Unload()";
    plugin->ReleaseLibrary();
    return plugin;
  }

  auto parms = makeRecord<LoadParms>();
  parms.submitEvent = submit;
  parms.reservedPointer = reservedPointer;
  parms.reservedCount = reservedCount;
  const auto start = Clock::now();
  {
    PluginCallScope call(plugin.get(), plugin->callName, PluginEntry::Load);
    plugin->loadCode = entry.Load(&parms, &plugin->info);
  }
  plugin->loadTime = elapsedNanos(start);

  if (plugin->loadCode == 0) {
    entry.OnIpcResult = bindSymbol<OnIpcResultFn>(plugin->handle, "OnIpcResult");
    entry.IOCTL = bindSymbol<IoctlFn>(plugin->handle, "IOCTL");
    return plugin;
  }
  plugin->errorText = fmt::format("load code {}", plugin->loadCode);
  plugin->ReleaseLibrary();
  return plugin;
}

Plugin::~Plugin() {
  Close();
  Unload();
}

std::string Plugin::displayName() const { return fileName.substr(0, fileName.find('.')); }

std::string Plugin::tag() const {
  std::string stem = fileName.substr(0, fileName.rfind('.'));
  for (char& c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return stem;
}

void Plugin::Open() {
  if (entry.Open != nullptr) return;
  auto open = bindSymbol<OpenFn>(handle, "Open");
  auto close = bindSymbol<CloseFn>(handle, "Close");
  {
    std::unique_lock lock(gate);
    // Whichever of the pair exists stays bound: a plugin without "Open" is
    // still closed at shutdown if it exports "Close".
    entry.Open = open;
    entry.Close = close;
    if (open == nullptr || close == nullptr) {
      openCode = -102;
      errorText = "missing Open()/Close()";
      return;
    }
    entry.OnEvent = bindSymbol<OnEventFn>(handle, "OnEvent");
    entry.OnSearch = bindSymbol<OnSearchFn>(handle, "OnSearch");
    entry.Read = bindSymbol<ReadFn>(handle, "Read");
    entry.Write = bindSymbol<WriteFn>(handle, "Write");
  }
  auto parms = makeRecord<OpenParms>();
  auto result = makeRecord<OpenResult>();
  const auto start = Clock::now();
  {
    PluginCallScope call(this, callName, PluginEntry::Open);
    open(&parms, &result);
  }
  openTime = elapsedNanos(start);
  StartAsyncReaderIf();
}

void Plugin::Close() {
  // "Close" runs without the gate: the plugin may log from it, and a log
  // record after a stop request takes the logging plugin's gate shared.
  if (entry.Close != nullptr) {
    auto parms = makeRecord<CloseParms>();
    auto result = makeRecord<CloseResult>();
    PluginCallScope call(this, callName, PluginEntry::Close);
    entry.Close(&parms, &result);
  }
  std::unique_lock lock(gate);
  entry.Open = nullptr;
  entry.Close = nullptr;
  entry.OnEvent = nullptr;
  entry.OnSearch = nullptr;
  entry.Read = nullptr;
  entry.Write = nullptr;
}

void Plugin::Unload() {
  if (readerThread.joinable()) readerThread.join();
  if (workerThread.joinable()) workerThread.join();
  UnloadFn unload = nullptr;
  {
    // Calls from other threads (IPC packets) drain before "Unload" runs and
    // find nothing bound afterwards, so the plugin never tears down under
    // one of them.
    std::unique_lock lock(gate);
    unload = entry.Unload;
    entry = EntryPoints{};
  }
  if (unload != nullptr) {
    auto parms = makeRecord<UnloadParms>();
    auto result = makeRecord<UnloadResult>();
    PluginCallScope call(this, callName, PluginEntry::Unload);
    unload(&parms, &result);
  }
  ReleaseLibrary();
}

void Plugin::ReleaseLibrary() {
  LibraryHandle library;
  {
    // Waits for calls from other threads to leave the library; once the
    // table is empty no new call can enter it.
    std::unique_lock lock(gate);
    entry = EntryPoints{};
    library = std::move(handle);
  }
  // dlclose runs the library's destructors, which may log; the gate is free
  // by then so such a record cannot wait on this thread's own lock.
  library.reset();
}

bool Plugin::WantsEvent(const EventParms& record) const noexcept {
  const uint32_t mine = originKey(info.sourceId);
  if ((record.flags & EventClassStored) != 0) return mine == originKey(static_cast<uint32_t>(record.requestId));
  const bool sameSource = mine == originKey(record.source);
  auto want = [](uint64_t word) { return (static_cast<uint32_t>(word) & WantBit) != 0; };
  switch (baseType(record.type)) {
    case EventTypeVideo:
    case EventTypeAudio: {
      const bool video = baseType(record.type) == EventTypeVideo;
      if (record.type == (video ? EventTypeVideo : EventTypeAudio) && sameSource) {
        return (record.body.mediaFlags & MediaFlagOutput) != 0;
      }
      if (record.type != (video ? EventTypeVideo : EventTypeAudio) && !isCore() && sourceIndexOf() == 0) {
        return false;
      }
      return want(video ? info.videoWord : info.audioWord);
    }
    case EventTypeAlarm: return want(info.alarmWord);
    case EventTypePtz: return want(info.ptzWord);
    case EventTypeSerial: return want(info.serialWord);
    case EventTypeWatchdog: return sameSource;
    case EventTypeLog: return !sameSource && want(info.logWord);
    case EventTypeConfig: return !sameSource || record.body.bodyParam != 0;
    case EventTypePos: return want(info.posWord);
    // Analytics come back to their own origin only on request, and only to a
    // plugin that wants analytics at all.
    case EventTypeAnalytic: return want(info.analyticWord) && (!sameSource || record.body.bodyParam != 0);
    default: return false;
  }
}

bool Plugin::DeliverEvent(EventParms& record) {
  if (entry.OnEvent != nullptr) {
    PluginCallScope call(this, callName, PluginEntry::OnEvent);
    return (entry.OnEvent(&record) & 0xff) != 0;
  }
  if (record.type == EventTypeConfig) {
    if (entry.IOCTL == nullptr) return false;
    auto parms = makeRecord<IoctlParms>();
    parms.code = IoctlConfigEvent;
    parms.dataLength = record.length;
    parms.data = record.data;
    auto result = makeRecord<IoctlResult>();
    result.code = IoctlConfigEvent;
    PluginCallScope call(this, callName, PluginEntry::IOCTL);
    entry.IOCTL(&parms, &result);
    return result.answer != 0;
  }
  if (entry.Write != nullptr && info.acceptsWrite != 0) {
    auto parms = makeRecord<WriteParms>();
    parms.length = record.length;
    parms.data = record.data;
    parms.source = record.source;
    parms.requestId = record.requestId;
    parms.type = record.type;
    parms.flags = record.flags;
    std::memcpy(&parms.body, &record.body, sizeof parms.body);
    auto result = makeRecord<WriteResult>();
    PluginCallScope call(this, callName, PluginEntry::Write);
    entry.Write(&parms, &result, record.body.context);
    return result.answer != 0;
  }
  return false;
}

void Plugin::DeliverSearch(EventParms& request) {
  std::shared_lock lock(gate);
  if (entry.OnSearch != nullptr) {
    PluginCallScope call(this, callName, PluginEntry::OnSearch);
    entry.OnSearch(&request);
  } else if (entry.Read != nullptr && info.wantsAsyncReader != 0) {
    auto parms = makeRecord<ReadParms>();
    parms.one = 1;
    parms.dataLength = request.length;
    parms.data = request.data;
    parms.requestId = request.requestId;
    PluginCallScope call(this, callName, PluginEntry::Read);
    entry.Read(&parms, nullptr);
  }
}

void Plugin::DeliverIpcPacket(uint64_t length, const void* packet) {
  std::shared_lock lock(gate);
  if (entry.OnIpcResult != nullptr) {
    PluginCallScope call(this, callName, PluginEntry::OnIpcResult);
    entry.OnIpcResult(packet, length);
  } else if (entry.IOCTL != nullptr) {
    auto parms = makeRecord<IoctlParms>();
    parms.code = IoctlIpcPacket;
    parms.dataLength = static_cast<uint32_t>(length);
    parms.data = const_cast<void*>(packet);
    auto result = makeRecord<IoctlResult>();
    result.code = IoctlIpcPacket;
    PluginCallScope call(this, callName, PluginEntry::IOCTL);
    entry.IOCTL(&parms, &result);
  }
}

void Plugin::ProvideWorkerThreadIf() {
  if (entry.IOCTL == nullptr || info.wantsWorkerThread == 0) return;
  // The thread holds the entry point itself, not the table: the library
  // stays mapped until Unload has joined it.
  startPluginThread(workerThread, "worker", *this, [this, ioctl = entry.IOCTL] {
    CoreThread thread(ThreadRole::Worker, sourceIndexOf());
    PluginCallScope call(this, callName, PluginEntry::IOCTL);
    auto parms = makeRecord<IoctlParms>();
    parms.code = IoctlWorkerThread;
    auto result = makeRecord<IoctlResult>();
    result.code = IoctlWorkerThread;
    ioctl(&parms, &result);
  });
}

void Plugin::StartAsyncReaderIf() {
  if (entry.Read == nullptr || info.wantsAsyncReader == 0) return;
  startPluginThread(readerThread, "reader", *this, [this, read = entry.Read] {
    CoreThread thread(ThreadRole::Reader, sourceIndexOf());
    PluginCallScope call(this, callName, PluginEntry::Read);
    auto parms = makeRecord<ReadParms>();
    parms.one = 1;
    read(&parms, nullptr);
  });
}

}  // namespace ko::core
