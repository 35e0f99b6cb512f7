// One loaded plugin: its library handle, bound entry points, self-description
// and the outcome of loading and opening. The only place from which the core
// calls into a plugin.
//
// Lifetime rule. "Load", "Open", "Close" and "Unload" run on the main thread
// only (the thread that loaded the plugin), never from the last reference
// dropped on another thread: the core retires every plugin explicitly (one
// sequence, Plugin::Retire) before it lets go of it. Every entry point that
// must not be called once a plugin is closed is unbound before its "Close" is
// called: the main thread unbinds under the gate, releases the gate, waits
// for the calls admitted before, then calls "Close" without it. No IPC packet
// is in the plugin while its "Close" runs: one admitted before is waited for
// up to StuckCallGrace, and if it is still running then, the plugin is
// reported at level 75 and left loaded without its "Close". A search or an
// event hand-off admitted before may still be running when "Close" is called
// (after CloseDrainGrace), since it may be waiting for that "Close". Once
// "Close" has returned only "OnIpcResult" and "IOCTL" code 4 may enter the
// plugin; once its unloading has begun nothing enters it at all.
//
// Threads: the entry-point table is written only on the main thread, under
// the gate's lock. The dispatch loop (main) reads it without the lock. Calls
// from other threads (log records after a stop request, search requests, IPC
// packets) are admitted by the gate: the lock is held only to check the stage,
// copy the entry point and count the call in, never across the call, so a
// call may nest another (a plugin that logs from its IPC entry) and a steady
// stream of calls cannot starve the main thread, which changes the stage
// under the same short lock and then waits for the counted calls to leave.
// A call that has not left some seconds after "Close" is logged at level 75
// and its plugin is left loaded: the library is never closed under it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "ko/core/event.hpp"
#include "plugins/plugin_call.h"

namespace ko::core {

// Owns a dlopen handle; closing it is the last thing that happens to a
// library, and every failure path after dlopen goes through it.
class LibraryHandle {
 public:
  LibraryHandle() = default;
  explicit LibraryHandle(void* handle) noexcept : handle_(handle) {}
  LibraryHandle(LibraryHandle&& other) noexcept : handle_(other.release()) {}
  LibraryHandle& operator=(LibraryHandle&& other) noexcept;
  LibraryHandle(const LibraryHandle&) = delete;
  LibraryHandle& operator=(const LibraryHandle&) = delete;
  ~LibraryHandle() { reset(); }

  void* get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != nullptr; }
  void* symbol(const char* name) const noexcept;
  void reset() noexcept;
  void* release() noexcept {
    void* h = handle_;
    handle_ = nullptr;
    return h;
  }

 private:
  void* handle_ = nullptr;
};

// How long admitted calls are waited for before the plugin counts as stuck:
// IPC packets before its "Close", every call and lent thread before its
// "Unload".
inline constexpr std::chrono::seconds StuckCallGrace{3};
// How long searches and event hand-offs admitted just before a plugin's
// "Close" are given to leave before "Close" is called anyway: they may be
// waiting for that "Close".
inline constexpr std::chrono::milliseconds CloseDrainGrace{500};

// Plugins left loaded because a call into them never returned; while any is,
// the core must not be destroyed under those calls.
inline std::atomic<int> stuckPlugins{0};

// Admission of calls into one plugin from threads other than the main one,
// and the plugin's place in its lifecycle. Shared with the plugin's lent
// threads, which report their end here and may outlive a stuck plugin.
struct CallGate {
  enum class Stage : uint8_t {
    Running,    // events, searches and IPC packets admitted
    Closing,    // "Close" is (about to be) called: nothing admitted
    Closed,     // IPC packets only
    Unloading,  // nothing, for good
  };
  enum class Kind : uint8_t { Event, Ipc };

  bool admits(Kind kind) const noexcept {
    return stage == Stage::Running || (kind == Kind::Ipc && stage == Stage::Closed);
  }
  void leave(Kind kind) noexcept;
  void lentThreadEnded() noexcept;
  // Waits until none of what `waited` names is left, or until the deadline;
  // true when none is.
  enum class Waited : uint8_t { IpcCalls, Calls, CallsAndLentThreads };
  bool drain(Waited waited, std::chrono::steady_clock::time_point deadline);

  std::mutex lock;
  std::condition_variable idle;
  Stage stage = Stage::Running;  // guarded by lock; written on the main thread
  int eventCalls = 0;            // guarded by lock
  int ipcCalls = 0;              // guarded by lock
  int lentThreads = 0;           // guarded by lock
};

class Plugin {
 public:
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  void Open();
  // The one sequence by which a plugin goes, whoever retires it (the run
  // sequence's closing and unloading, the logging plugin's own end, a
  // replaced logging plugin, a duplicate, the core's release of its plugins,
  // the last reference on the main thread). In order:
  //   1. every entry point but "OnIpcResult" and "IOCTL" is unbound and new
  //      events, searches and packets are refused;
  //   2. the calls admitted before are waited for (see the lifetime rule);
  //   3. "Close", if the plugin exported it;
  //   -- Retire(Retired::Closed) ends here; IPC packets are taken again --
  //   4. everything is refused for good; admitted calls and the lent threads
  //      are waited for up to StuckCallGrace, else the plugin is left loaded;
  //   5. the lent threads are joined, "Unload" is called, the library closed.
  // Steps already taken are skipped, so a repeat is harmless and a plugin
  // closed earlier is only unloaded. Main thread only.
  enum class Retired : uint8_t { Closed, Unloaded };
  void Retire(Retired upTo);
  void ReleaseLibrary();

  bool WantsEvent(const EventParms& record) const noexcept;
  // The dispatch loop's delivery (main thread). Each call gets its own copy
  // of the record, so a plugin that writes to it cannot change what the
  // plugins after it receive; the payload stays shared.
  // `start` is the call's start (callClockNanos), read by the loop.
  bool DeliverEvent(const EventParms& record, int64_t start);
  // The same from any other thread (log records after a stop request);
  // false, without a call, once "Close" has begun.
  bool HandOffEvent(const EventParms& record);
  // Search threads; nothing once "Close" has begun.
  void DeliverSearch(const EventParms& request);
  bool ServesSearches();
  // io thread; false (not delivered) while "Close" runs and once Unload()
  // has begun.
  bool DeliverIpcPacket(uint64_t length, const void* packet);

  void ProvideWorkerThreadIf();
  void StartAsyncReaderIf();

  bool loaded() const noexcept { return static_cast<bool>(handle); }
  // After Open(): the mandatory entry point(s) whose absence kept a loaded
  // plugin from being opened, quoted ("\"Close\""); null when it was opened.
  const char* missingOpenEntry() const noexcept;
  uint8_t sourceIndexOf() const noexcept { return sourceIndex(info.sourceId); }
  bool isCore() const noexcept { return static_cast<uint32_t>(info.sourceId) == CoreSourceId; }
  // fileName cut before its first '.'.
  std::string displayName() const;
  // fileName without its last extension, lower-cased.
  std::string tag() const;

  // The bound entry points, null when absent or unbound.
  struct EntryPoints {
    LoadFn Load = nullptr;
    UnloadFn Unload = nullptr;
    OpenFn Open = nullptr;
    CloseFn Close = nullptr;
    OnIpcResultFn OnIpcResult = nullptr;
    OnEventFn OnEvent = nullptr;
    OnSearchFn OnSearch = nullptr;
    ReadFn Read = nullptr;
    WriteFn Write = nullptr;
    IoctlFn IOCTL = nullptr;
  };

  LibraryHandle handle;
  EntryPoints entry;
  const std::shared_ptr<CallGate> gate = std::make_shared<CallGate>();
  std::thread workerThread;
  std::thread readerThread;
  PluginInfo info = makeRecord<PluginInfo>();
  std::string fileName;
  // displayName() for call records, which signal handlers and other threads
  // read without locks; it lives as long as the process.
  const char* callName = "";
  // Bound as the logging plugin: every call into it carries the re-entry
  // mark (plugins/plugin_call.h). Set on the main thread before "Open",
  // before any other thread can reach the plugin.
  bool logging = false;
  int32_t loadCode = 0;
  int32_t openCode = 0;
  int64_t loadTime = 0;
  int64_t openTime = 0;
  std::string errorText;

 private:
  friend std::shared_ptr<Plugin> LoadPlugin(const std::string&, SubmitEventFn, void*, uint32_t,
                                            const std::function<std::optional<std::string>(void*)>&);
  friend std::shared_ptr<Plugin> RefusedPlugin(const std::string&, std::string, int32_t);
  Plugin() = default;
  // Steps 1-3 and 4-5 of Retire.
  void Close();
  void Unload();
  bool callEvent(const EntryPoints& bound, const EventParms& record, int64_t start);
  // Runs `call` with the entry points bound when the gate admits it.
  template <typename Call>
  bool gatedCall(CallGate::Kind kind, Call&& call);
  template <typename Body>
  void startLentThread(std::thread& slot, const char* what, Body body);
  // Gives up on calls that never returned: the library stays mapped.
  void abandon();

  // The thread that loaded the plugin, the only one that drives its lifecycle.
  std::thread::id owner_ = std::this_thread::get_id();
};

// The loadCode of a plugin the core refused to call into (untrusted file,
// second name of a library already loaded).
inline constexpr int32_t RefusedLoadCode = -103;

// Judges a freshly opened library by its dlopen handle before any symbol of
// it is bound: a reason refuses it. Main thread.
using LibraryCheck = std::function<std::optional<std::string>(void* handle)>;

// Creates the Plugin for `path` and loads it. Never null: a failure is
// recorded in loadCode and errorText. A library `check` refuses gets
// RefusedLoadCode and the reason as its error text; nothing in it is called,
// and its handle is closed (which only drops the reference dlopen took).
std::shared_ptr<Plugin> LoadPlugin(const std::string& path, SubmitEventFn submit, void* reservedPointer,
                                   uint32_t reservedCount, const LibraryCheck& check = {});

// A Plugin for `path` whose library was never opened, for `reason`: it shows
// in the inventory like a plugin that failed to load with `code`.
std::shared_ptr<Plugin> RefusedPlugin(const std::string& path, std::string reason,
                                      int32_t code = RefusedLoadCode);

}  // namespace ko::core
