// One loaded plugin: its library handle, bound entry points, self-description
// and the outcome of loading and opening. The only place from which the core
// calls into a plugin.
//
// Threads: the entry-point table is written only on the main thread (load,
// open, close, unload). It is read by the dispatch loop (main), by the io
// thread (IPC packets), by search threads and by the plugin's own worker and
// reader threads. Calls that can arrive off the main thread while it closes
// or unloads the plugin (IPC packets, search requests, log records after a
// stop request) hold `gate` shared for the duration of the call; the main
// thread takes it exclusively to unbind entry points, so a library is never
// closed under a running call. The main thread never calls into the plugin
// (nor closes its library, which runs the library's destructors) while it
// holds the gate: such a call may log, and a log record after a stop request
// takes the logging plugin's gate shared on the same thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
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

class Plugin {
 public:
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  void Open();
  void Close();
  void Unload();
  void ReleaseLibrary();

  bool WantsEvent(const EventParms& record) const noexcept;
  bool DeliverEvent(EventParms& record);
  void DeliverSearch(EventParms& request);
  void DeliverIpcPacket(uint64_t length, const void* packet);

  void ProvideWorkerThreadIf();
  void StartAsyncReaderIf();

  bool loaded() const noexcept { return static_cast<bool>(handle); }
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
  mutable std::shared_mutex gate;
  std::thread workerThread;
  std::thread readerThread;
  PluginInfo info = makeRecord<PluginInfo>();
  std::string fileName;
  // displayName() for call records, which signal handlers and other threads
  // read without locks; it lives as long as the process.
  const char* callName = "";
  int32_t loadCode = 0;
  int32_t openCode = 0;
  int64_t loadTime = 0;
  int64_t openTime = 0;
  std::string errorText;

 private:
  friend std::shared_ptr<Plugin> LoadPlugin(const std::string&, SubmitEventFn, void*, uint32_t);
  Plugin() = default;
};

// Creates the Plugin for `path` and loads it. Never null: a failure is
// recorded in loadCode and errorText.
std::shared_ptr<Plugin> LoadPlugin(const std::string& path, SubmitEventFn submit, void* reservedPointer,
                                   uint32_t reservedCount);

}  // namespace ko::core
