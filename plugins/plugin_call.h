// Which plugin entry point each thread is inside, and what the thread is.
//
// Every call into a plugin runs inside a PluginCallScope, which records the
// plugin's source id, its name, the entry point and the start of the call in
// the calling thread's CallSlot and restores the previous contents when the
// call returns (a plugin's call may lead to another plugin's call on the same
// thread, such as a log record handed to the logging plugin after a stop
// request).
//
// Readers of a slot:
//   - the fatal-signal handler, on the slot's own thread (core/fatal_signal);
//   - the stuck-call watch (monitor/stuck_calls), on its own thread, for
//     every thread that calls into plugins but the lent ones. It reads the call fields between two
//     loads of `changes`, which the owner makes odd while it rewrites them
//     (a sequence lock), so a torn read is recognised and skipped.
// Only the owner thread writes the slot, apart from `stuckStart`, which the
// watch sets and whichever of the two ends the report clears (compare and
// exchange, so the "returned" line is written exactly once).
#pragma once

#include <signal.h>
#include <time.h>

#include <atomic>
#include <cstdint>

namespace ko::core {

enum class PluginEntry : uint8_t { None, OnEvent, OnSearch, OnIpcResult, IOCTL, Read, Write, Open, Close, Load, Unload };

// The entry point's exported name; "" for None.
const char* entryName(PluginEntry entry) noexcept;

// Log: the logging plugin's courier (plugins/log_courier.h).
enum class ThreadRole : uint8_t { Foreign, Main, Dispatch, Io, Worker, Reader, Search, Log };

struct CallSlot {
  // What the thread is; `roleId` is the plugin identifier of a worker,
  // reader or search thread.
  std::atomic<ThreadRole> role{ThreadRole::Foreign};
  std::atomic<uint8_t> roleId{0};
  // The call in progress; `name` is null outside plugin calls. Names are
  // interned for the life of the process (internPluginName), so a reader on
  // another thread never reads a freed one. `sourceId` points at the
  // plugin's id, which the plugin may still be filling in during "Load"; it
  // is read only on the slot's own thread, inside the call.
  std::atomic<const uint64_t*> sourceId{nullptr};
  std::atomic<const char*> name{nullptr};
  std::atomic<PluginEntry> entry{PluginEntry::None};
  std::atomic<int64_t> start{0};  // callClockNanos() at entry
  std::atomic<uint64_t> changes{0};
  // The start of a call the watch has reported as stuck; 0 for none.
  std::atomic<int64_t> stuckStart{0};
};

// The calling thread's slot.
inline constinit thread_local CallSlot threadCalls;
inline CallSlot& threadCallSlot() noexcept { return threadCalls; }

// Calls into the logging plugin the calling thread is inside, whatever the
// path (dispatch, hand-off, packets, its lifecycle): a log record raised
// meanwhile is never handed back to it on this thread.
inline constinit thread_local int loggingPluginDepth = 0;
// Set on a thread of the core's own that must never call a plugin (the
// watch): its log records reach the logging plugin through another thread.
inline constinit thread_local bool pluginCallsBarred = false;

// Sets what the calling thread is, for the fatal-signal line and the
// stuck-call lines.
void setThreadRole(ThreadRole role, uint8_t id = 0) noexcept;

// The name CoreThread gives a thread of `role` ("" for none): at most 15
// characters, the kernel's limit.
struct ThreadName {
  char text[16];
};
ThreadName coreThreadName(ThreadRole role, uint8_t id) noexcept;

// The clock of call starts: the coarse monotonic clock, cheap enough to read
// on every call and fine enough for reports in whole seconds.
inline int64_t callClockNanos() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Moved on by the stuck-call watch at every look. A clock reading taken
// while it has not moved since is no older than about one period of the
// watch, which is good enough for a call's start: the dispatch loop reads
// the clock once per record, not once per plugin called.
inline constinit std::atomic<uint64_t> watchLooks{0};

// Whole seconds, to the nearest: a call's length read off the coarse clock
// may fall a few milliseconds short.
constexpr int64_t roundedSeconds(int64_t nanos) noexcept { return (nanos + 500'000'000) / 1'000'000'000; }

// A copy of `name` that lives as long as the process; equal names share one.
const char* internPluginName(const char* name);

namespace detail {
// Cold path of a call the watch reported as stuck: the "returned" line.
void reportReturned(CallSlot& slot, const char* name, PluginEntry entry, int64_t start) noexcept;
}  // namespace detail

class PluginCallScope {
 public:
  PluginCallScope(const uint64_t* sourceId, const char* name, PluginEntry entry, bool loggingPlugin = false) noexcept
      : PluginCallScope(callClockNanos(), sourceId, name, entry, loggingPlugin) {}
  // A call starting at `start` (callClockNanos), read by the caller.
  PluginCallScope(int64_t start, const uint64_t* sourceId, const char* name,
                                         PluginEntry entry, bool loggingPlugin) noexcept
      : slot_(threadCalls),
        loggingPlugin_(loggingPlugin),
        sourceId_(slot_.sourceId.load(std::memory_order_relaxed)),
        name_(slot_.name.load(std::memory_order_relaxed)),
        entry_(slot_.entry.load(std::memory_order_relaxed)),
        start_(slot_.start.load(std::memory_order_relaxed)) {
    write(sourceId, name, entry, start);
    if (loggingPlugin_) ++loggingPluginDepth;
  }
  ~PluginCallScope() {
    if (loggingPlugin_) --loggingPluginDepth;
    const auto name = slot_.name.load(std::memory_order_relaxed);
    const auto entry = slot_.entry.load(std::memory_order_relaxed);
    const auto start = slot_.start.load(std::memory_order_relaxed);
    write(sourceId_, name_, entry_, start_);
    if (slot_.stuckStart.load(std::memory_order_relaxed) == start) {
      detail::reportReturned(slot_, name, entry, start);
    }
  }
  PluginCallScope(const PluginCallScope&) = delete;
  PluginCallScope& operator=(const PluginCallScope&) = delete;

 private:
  void write(const uint64_t* sourceId, const char* name, PluginEntry entry, int64_t start) noexcept {
    const uint64_t changes = slot_.changes.load(std::memory_order_relaxed);
    slot_.changes.store(changes + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    slot_.sourceId.store(sourceId, std::memory_order_relaxed);
    slot_.name.store(name, std::memory_order_relaxed);
    slot_.entry.store(entry, std::memory_order_relaxed);
    slot_.start.store(start, std::memory_order_relaxed);
    slot_.changes.store(changes + 2, std::memory_order_release);
  }

  CallSlot& slot_;
  const bool loggingPlugin_;
  const uint64_t* sourceId_;
  const char* name_;
  PluginEntry entry_;
  int64_t start_;
};

// Gives a thread the core starts its role and an alternate signal stack (so
// that a stack overflow on it is still reported) for its whole run. The io
// and search threads also take the name the reports call them by ("ko-io",
// "ko-search-21"), for /proc, top -H and debuggers. The main thread keeps the
// program's name, so that pidof finds the process, and threads lent to
// plugins keep the one they inherit: their plugin may name them.
class CoreThread {
 public:
  explicit CoreThread(ThreadRole role, uint8_t id = 0) noexcept;
  ~CoreThread();
  CoreThread(const CoreThread&) = delete;
  CoreThread& operator=(const CoreThread&) = delete;

 private:
  void* stack_ = nullptr;
  size_t size_ = 0;
  stack_t previous_{};
};

}  // namespace ko::core
