// Binding, loading, opening, closing and unloading one plugin, and the three
// ways an event reaches it. See plugin.h for which thread calls what.
#include "plugins/plugin.h"

#include <dlfcn.h>
#include <fmt/format.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>

#include "core/loaded_objects.h"
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

std::shared_ptr<Plugin> RefusedPlugin(const std::string& path, std::string reason, int32_t code) {
  std::shared_ptr<Plugin> plugin(new Plugin());
  const auto slash = path.rfind('/');
  plugin->fileName = slash == std::string::npos ? path : path.substr(slash + 1);
  plugin->callName = internPluginName(plugin->displayName().c_str());
  plugin->loadCode = code;
  plugin->errorText = std::move(reason);
  return plugin;
}

std::shared_ptr<Plugin> LoadPlugin(const std::string& path, SubmitEventFn submit, void* reservedPointer,
                                   uint32_t reservedCount, const LibraryCheck& check) {
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
  if (check) {
    if (std::optional<std::string> refused = check(handle.get())) {
      // dlopen handed back a library already mapped (or mapped it anew):
      // closing drops only the reference taken here.
      plugin->loadCode = RefusedLoadCode;
      plugin->errorText = std::move(*refused);
      return plugin;
    }
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
    PluginCallScope call(&plugin->info.sourceId, plugin->callName, PluginEntry::Load);
    plugin->loadCode = entry.Load(&parms, &plugin->info);
  }
  plugin->loadTime = elapsedNanos(start);

  if (plugin->loadCode == 0) {
    // From now on a crash on a thread of the plugin's own names it.
    notePluginLibrary(plugin->handle.get(), plugin->callName, plugin->sourceIndexOf());
    entry.OnIpcResult = bindSymbol<OnIpcResultFn>(plugin->handle, "OnIpcResult");
    entry.IOCTL = bindSymbol<IoctlFn>(plugin->handle, "IOCTL");
    return plugin;
  }
  plugin->errorText = fmt::format("load code {}", plugin->loadCode);
  plugin->ReleaseLibrary();
  return plugin;
}

void CallGate::leave(Kind kind) noexcept {
  std::lock_guard guard(lock);
  int& calls = kind == Kind::Ipc ? ipcCalls : eventCalls;
  if (--calls == 0) idle.notify_all();
}

void CallGate::lentThreadEnded() noexcept {
  std::lock_guard guard(lock);
  if (--lentThreads == 0) idle.notify_all();
}

bool CallGate::drain(Waited waited, Clock::time_point deadline) {
  std::unique_lock guard(lock);
  return idle.wait_until(guard, deadline, [&] {
    if (ipcCalls != 0) return false;
    if (waited == Waited::IpcCalls) return true;
    return eventCalls == 0 && (waited == Waited::Calls || lentThreads == 0);
  });
}

template <typename Call>
bool Plugin::gatedCall(CallGate::Kind kind, Call&& call) {
  EntryPoints bound;
  {
    std::lock_guard guard(gate->lock);
    if (!gate->admits(kind)) return false;
    bound = entry;
    ++(kind == CallGate::Kind::Ipc ? gate->ipcCalls : gate->eventCalls);
  }
  struct Leave {
    CallGate& gate;
    CallGate::Kind kind;
    ~Leave() { gate.leave(kind); }
  } leave{*gate, kind};
  return call(bound);
}

Plugin::~Plugin() {
  if (std::this_thread::get_id() == owner_) {
    Retire(Retired::Unloaded);
    return;
  }
  // The core closes and unloads every plugin on the main thread before it
  // lets go of it; a plugin that reaches here still loaded is not closed from
  // a foreign thread (which may be its own reader) but left as it is.
  if (handle) {
    coreLog(75, "Plugin {} released off the main thread; left loaded", displayName());
    abandon();
  }
}

void Plugin::abandon() {
  std::lock_guard guard(gate->lock);
  gate->stage = CallGate::Stage::Unloading;
  entry = EntryPoints{};
  (void)handle.release();
  if (workerThread.joinable()) workerThread.detach();
  if (readerThread.joinable()) readerThread.detach();
  stuckPlugins.fetch_add(1);
}

const char* Plugin::missingOpenEntry() const noexcept {
  if (openCode != -102 || !handle) return nullptr;
  // Open() leaves whichever of the pair the plugin exports bound.
  if (entry.Open == nullptr && entry.Close == nullptr) return "\"Open\" and \"Close\"";
  return entry.Open == nullptr ? "\"Open\"" : "\"Close\"";
}

std::string Plugin::displayName() const { return fileName.substr(0, fileName.find('.')); }

std::string Plugin::tag() const {
  std::string stem = fileName.substr(0, fileName.rfind('.'));
  for (char& c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return stem;
}

void Plugin::Open() {
  if (entry.Open != nullptr || gate->stage != CallGate::Stage::Running) return;
  auto open = bindSymbol<OpenFn>(handle, "Open");
  auto close = bindSymbol<CloseFn>(handle, "Close");
  {
    std::lock_guard lock(gate->lock);
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
    PluginCallScope call(&info.sourceId, callName, PluginEntry::Open, logging);
    open(&parms, &result);
  }
  openTime = elapsedNanos(start);
  StartAsyncReaderIf();
}

void Plugin::Retire(Retired upTo) {
  Close();
  if (upTo == Retired::Unloaded) Unload();
}

void Plugin::Close() {
  CloseFn close = nullptr;
  {
    std::lock_guard lock(gate->lock);
    if (gate->stage != CallGate::Stage::Running) return;
    close = entry.Close;
    entry.Open = nullptr;
    entry.Close = nullptr;
    entry.OnEvent = nullptr;
    entry.OnSearch = nullptr;
    entry.Read = nullptr;
    entry.Write = nullptr;
    gate->stage = close != nullptr ? CallGate::Stage::Closing : CallGate::Stage::Closed;
  }
  if (close == nullptr) return;
  // No call admitted before may still run once "Close" has begun. Searches
  // and event hand-offs get only a moment: one may be waiting for this very
  // "Close". An IPC packet waits for nothing of the plugin's, so it gets the
  // stuck-call grace; one still running then is stuck, and the plugin is left
  // loaded without its "Close" rather than closed under the call.
  const auto begun = Clock::now();
  (void)gate->drain(CallGate::Waited::Calls, begun + CloseDrainGrace);
  if (!gate->drain(CallGate::Waited::IpcCalls, begun + StuckCallGrace)) {
    coreLog(75, "Plugin {} still running {}s before Close; left loaded", displayName(), StuckCallGrace.count());
    abandon();
    return;
  }
  // Without the gate: the plugin may log from "Close", and the record may
  // come back to this plugin's own gate.
  auto parms = makeRecord<CloseParms>();
  auto result = makeRecord<CloseResult>();
  {
    PluginCallScope call(&info.sourceId, callName, PluginEntry::Close, logging);
    close(&parms, &result);
  }
  std::lock_guard lock(gate->lock);
  gate->stage = CallGate::Stage::Closed;
}

void Plugin::Unload() {
  UnloadFn unload = nullptr;
  {
    std::lock_guard lock(gate->lock);
    if (gate->stage == CallGate::Stage::Unloading) return;
    gate->stage = CallGate::Stage::Unloading;
    unload = entry.Unload;
    entry = EntryPoints{};
  }
  // The stuck-call watch counts the wait for the lent threads as part of
  // "Unload"; the library's destructors (ReleaseLibrary) are outside it.
  std::optional<PluginCallScope> call(std::in_place, &info.sourceId, callName, PluginEntry::Unload, logging);
  // Calls admitted before (a search waiting for "Close", a log record, a
  // packet) and the lent threads must all have left before "Unload" runs.
  if (!gate->drain(CallGate::Waited::CallsAndLentThreads, Clock::now() + StuckCallGrace)) {
    coreLog(75, "Plugin {} still running {}s after Close; left loaded", displayName(), StuckCallGrace.count());
    abandon();
    return;
  }
  if (readerThread.joinable()) readerThread.join();
  if (workerThread.joinable()) workerThread.join();
  if (unload != nullptr) {
    auto parms = makeRecord<UnloadParms>();
    auto result = makeRecord<UnloadResult>();
    unload(&parms, &result);
  }
  call.reset();
  ReleaseLibrary();
}

void Plugin::ReleaseLibrary() {
  LibraryHandle library;
  {
    std::lock_guard lock(gate->lock);
    entry = EntryPoints{};
    library = std::move(handle);
  }
  // dlclose runs the library's destructors, which may log; the gate is free
  // by then so such a record cannot wait on this thread's own lock. A crash
  // in them still names the plugin: it is forgotten only afterwards.
  void* const closed = library.get();
  library.reset();
  if (closed != nullptr) forgetPluginLibrary(closed);
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

bool Plugin::callEvent(const EntryPoints& bound, const EventParms& record, int64_t start) {
  if (bound.OnEvent != nullptr) {
    // The plugin's own copy: it may write to it (a handler that reuses the
    // record to submit another one), and routing, timing and references are
    // read from the caller's.
    EventParms copy = record;
    PluginCallScope call(start, &info.sourceId, callName, PluginEntry::OnEvent, logging);
    return (bound.OnEvent(&copy) & 0xff) != 0;
  }
  if (record.type == EventTypeConfig) {
    if (bound.IOCTL == nullptr) return false;
    auto parms = makeRecord<IoctlParms>();
    parms.code = IoctlConfigEvent;
    parms.dataLength = record.length;
    parms.data = record.data;
    auto result = makeRecord<IoctlResult>();
    result.code = IoctlConfigEvent;
    PluginCallScope call(start, &info.sourceId, callName, PluginEntry::IOCTL, logging);
    bound.IOCTL(&parms, &result);
    return result.answer != 0;
  }
  if (bound.Write != nullptr && info.acceptsWrite != 0) {
    auto parms = makeRecord<WriteParms>();
    parms.length = record.length;
    parms.data = record.data;
    parms.source = record.source;
    parms.requestId = record.requestId;
    parms.type = record.type;
    parms.flags = record.flags;
    std::memcpy(&parms.body, &record.body, sizeof parms.body);
    auto result = makeRecord<WriteResult>();
    PluginCallScope call(start, &info.sourceId, callName, PluginEntry::Write, logging);
    bound.Write(&parms, &result, record.body.context);
    return result.answer != 0;
  }
  return false;
}

bool Plugin::DeliverEvent(const EventParms& record, int64_t start) {
  // The main thread is the only one that changes the table or the stage.
  if (gate->stage != CallGate::Stage::Running) return false;
  return callEvent(entry, record, start);
}

bool Plugin::HandOffEvent(const EventParms& record) {
  return gatedCall(CallGate::Kind::Event,
                   [&](const EntryPoints& bound) { return callEvent(bound, record, callClockNanos()); });
}

bool Plugin::ServesSearches() {
  EntryPoints bound;
  {
    std::lock_guard lock(gate->lock);
    if (!gate->admits(CallGate::Kind::Event)) return false;
    bound = entry;
  }
  // "OnSearch" serves every search; "Read" only for a plugin with the async
  // reader flag that offers searches in one of its interest words (the PTZ
  // and serial words do not count).
  if (bound.OnSearch != nullptr) return true;
  if (bound.Read == nullptr || info.wantsAsyncReader == 0) return false;
  for (uint64_t word : {info.videoWord, info.audioWord, info.alarmWord, info.logWord, info.posWord, info.analyticWord}) {
    if ((static_cast<uint32_t>(word) & SearchBit) != 0) return true;
  }
  return false;
}

void Plugin::DeliverSearch(const EventParms& request) {
  gatedCall(CallGate::Kind::Event, [&](const EntryPoints& bound) {
    if (bound.OnSearch != nullptr) {
      EventParms copy = request;
      PluginCallScope call(&info.sourceId, callName, PluginEntry::OnSearch, logging);
      bound.OnSearch(&copy);
    } else if (bound.Read != nullptr && info.wantsAsyncReader != 0) {
      auto parms = makeRecord<ReadParms>();
      parms.one = 1;
      parms.dataLength = request.length;
      parms.data = request.data;
      parms.requestId = request.requestId;
      PluginCallScope call(&info.sourceId, callName, PluginEntry::Read, logging);
      bound.Read(&parms, nullptr);
    }
    return true;
  });
}

bool Plugin::DeliverIpcPacket(uint64_t length, const void* packet) {
  return gatedCall(CallGate::Kind::Ipc, [&](const EntryPoints& bound) {
    if (bound.OnIpcResult != nullptr) {
      PluginCallScope call(&info.sourceId, callName, PluginEntry::OnIpcResult, logging);
      bound.OnIpcResult(packet, length);
    } else if (bound.IOCTL != nullptr) {
      auto parms = makeRecord<IoctlParms>();
      parms.code = IoctlIpcPacket;
      parms.dataLength = static_cast<uint32_t>(length);
      parms.data = const_cast<void*>(packet);
      auto result = makeRecord<IoctlResult>();
      result.code = IoctlIpcPacket;
      PluginCallScope call(&info.sourceId, callName, PluginEntry::IOCTL, logging);
      bound.IOCTL(&parms, &result);
    }
    return true;
  });
}

// Lends the plugin a thread; a thread that cannot be created leaves the
// plugin without it rather than ending the core. The body reports its end to
// the gate, which it shares, so that unloading can bound its wait.
template <typename Body>
void Plugin::startLentThread(std::thread& slot, const char* what, Body body) {
  if (slot.joinable()) return;  // one thread of each kind per plugin
  {
    std::lock_guard lock(gate->lock);
    ++gate->lentThreads;
  }
  try {
    slot = std::thread([gate = gate, body = std::move(body)] {
      body();
      gate->lentThreadEnded();
    });
  } catch (const std::system_error& error) {
    gate->lentThreadEnded();
    coreLog(75, "Failed to start {} thread for {}: {}", what, displayName(), error.what());
  }
}

void Plugin::ProvideWorkerThreadIf() {
  if (entry.IOCTL == nullptr || info.wantsWorkerThread == 0) return;
  // The thread holds the entry point itself, not the table: the library
  // stays mapped until Unload has joined it.
  // The thread may outlive the Plugin object (a plugin left loaded), so its
  // call record points at the closure's own copy of the id.
  startLentThread(workerThread, "worker", [ioctl = entry.IOCTL, id = info.sourceId, name = callName] {
    CoreThread thread(ThreadRole::Worker, sourceIndex(id));
    PluginCallScope call(&id, name, PluginEntry::IOCTL);
    auto parms = makeRecord<IoctlParms>();
    parms.code = IoctlWorkerThread;
    auto result = makeRecord<IoctlResult>();
    result.code = IoctlWorkerThread;
    ioctl(&parms, &result);
  });
}

void Plugin::StartAsyncReaderIf() {
  if (entry.Read == nullptr || info.wantsAsyncReader == 0) return;
  startLentThread(readerThread, "reader", [read = entry.Read, id = info.sourceId, name = callName] {
    CoreThread thread(ThreadRole::Reader, sourceIndex(id));
    PluginCallScope call(&id, name, PluginEntry::Read);
    auto parms = makeRecord<ReadParms>();
    parms.one = 1;
    read(&parms, nullptr);
  });
}

}  // namespace ko::core
