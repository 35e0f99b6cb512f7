// The one core object: it owns the plugins, the event queue, the IPC channel,
// the configuration strings and the logger state, and wires the subsystems
// together. Each subsystem implements its own members in its own directory;
// this header only declares them.
//
// Threads (see the run sequence in dvr_core.cpp):
//   main      - Init, Run, the dispatch loop (so plugins' OnEvent), plugin
//               load/open/close/unload, configuration deltas, statistics.
//   io        - signals, IPC receive and send.
//   plugin    - worker and reader threads lent to plugins; they submit events.
//   search    - detached, one per serving plugin per search request.
//   watch     - the stuck-call watch and housekeeping (monitor/stuck_calls.h),
//               from before the first "Load" until the last "Unload".
//   log       - the logging plugin's courier for the watch's records after a
//               stop request (plugins/log_courier.h).
//   console   - writes standard output from its bounded buffer (log/console_sink.h).
// Any thread may submit events and log.
//
// Locks, in the only order they nest:
//   searchLock -> a search provider's mutex
//   Otherwise queueLock, logLock and pluginsLock are never held together with
//   another core lock.
//   A plugin's gate (plugins/plugin.h) is held only to admit a call or change
//   the plugin's stage, never across a call and never with another lock.
#pragma once

#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/stop_signals.h"
#include "events/split_tally.h"
#include "ko/core/event.hpp"
#include "log/console_sink.h"
#include "log/log_budget.h"
#include "monitor/stuck_calls.h"
#include "plugins/log_courier.h"

namespace boost::system {
class error_code;
}

namespace ko::core {

class Plugin;
class SystemProbe;
// Logs how many console lines were dropped (log/core_log.cpp).
void reportDroppedConsoleLines(uint64_t lines);
struct CoreIo;
class AsyncEvent;
const SystemProbe* realSystemProbe() noexcept;
namespace SearchHandler { class StoredProvider; }
struct SearchLane;

inline constexpr const char* CoreVersion = "26.2.3.0";
inline constexpr size_t IpcBufferSize = 65536;
// Results of a search come within seconds of its cancel; this many later
// cancellations, an old one is forgotten.
inline constexpr size_t MaxCancelledSearches = 4096;
// Records whose storage the event queue and the dispatch batch keep once the
// dispatch loop is idle (224 KiB each); a backlog's peak beyond it is freed.
inline constexpr size_t RetainedQueueCapacity = 1024;
// What the records of plugins may hold waiting in the queue and the dispatch
// batch: payload bytes plus the record itself. Beyond it their live video and
// audio are refused with 5 and everything else with 1 (the core's own
// records always go) until it falls below QueuedBytesResume.
inline constexpr int64_t QueuedBytesLimit = 32 * 1024 * 1024;
inline constexpr int64_t QueuedBytesResume = QueuedBytesLimit / 2;
// The dispatch loop takes delivered records off the byte account in steps of
// at most this many records or bytes, not one shared atomic step per record:
// the account overstates what waits by less than one step.
inline constexpr int DequeueAccountRecords = 32;
inline constexpr int64_t DequeueAccountBytes = 64 * 1024;
// How long the dispatch loop, run dry, watches the queue before it sleeps,
// for as long as the last record came within that time: a loop that keeps
// catching up with its submitters would otherwise sleep and be woken (a
// system call on each side) for nearly every record. Traffic sparser than
// this costs one watch, and then none until it is that dense again.
inline constexpr int64_t DispatchIdleWatchNanos = 20'000;
// When a record comes during that watch, the loop leaves the submitter this
// long to append more before it takes the queue: taken one by one, every
// record would move the queue's lock and lines between the two threads.
inline constexpr int64_t DispatchCoalesceNanos = 2'000;
// What a queued record counts against the bound: its payload and itself.
inline int64_t queuedCost(const EventParms& queued) { return int64_t{queued.length} + int64_t{sizeof(EventParms)}; }
// Packets reach plugins at addresses aligned at least this much.
inline constexpr size_t IpcPacketAlignment = 8;

class DvrCore {
 public:
  explicit DvrCore(std::string corePath);
  ~DvrCore();
  DvrCore(const DvrCore&) = delete;
  DvrCore& operator=(const DvrCore&) = delete;

  // --- lifecycle (core/) ---------------------------------------------------
  [[nodiscard]] bool Init(int pipeFd);
  void Run();
  void requestStop();
  // Main thread, after Run: closes and unloads the logging plugin (its
  // searches may wait for its "Close"), ends the watch and waits a bounded
  // time for the search threads. False when a plugin call is still
  // running, which may come back into the core: the core must then not be
  // destroyed.
  [[nodiscard]] bool settle();
  bool stopping() const noexcept { return stopRequested.load(); }

  // --- event bus (events/) -------------------------------------------------
  int32_t submitEvent(EventParms& record);
  int32_t queueEvent(const EventParms& record);
  int32_t throttleCheck(const EventParms& record);
  // The core's own references (the queue's, the hand-off's).
  void addEventRef(void* block, uint8_t index);
  int32_t releaseEventRef(void* block, uint8_t index);
  // A decref record: refused (level 50, nothing changed) unless `index` holds
  // a reference it was lent to the live block `block` (the release rule is in
  // events/lending.h).
  int32_t releaseLentRef(void* block, uint8_t index);
  bool searchRequest(const EventParms& record);
  // Search-result admission for queueEvent: false = drop the result. Waits
  // for the search thread's slot when `block` is non-null.
  bool acceptSearchResult(const EventParms& record, void* block);
  // Frees the search slot that holds `block`, waking its search thread.
  void releaseSearchSlot(void* block);
  bool isCancelled(uint32_t requestId);
  void registerCancel(uint32_t requestId);
  // Wakes every search thread waiting for its slot; they drop their result
  // once a stop has been requested. Called by requestStop.
  void wakeSearchWaiters();
  // Refuses new search threads and waits until every running one has left
  // the core for good. Called by the destructor before any member goes.
  // With a deadline: false when some are still running at the deadline.
  bool awaitSearchThreads(std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
  size_t liveSearchThreads();
  void dispatchLoop();
  // Delivers one record taken from the queue and releases the queue's
  // reference. deliverRecord leaves the byte account to its caller, and
  // answers whether it is to take the queue's reference off refsHeld[0].
  void dispatchRecord(const EventParms& queued);
  // `now` is a callClockNanos() reading taken just before.
  bool deliverRecord(const EventParms& queued, int64_t now);
  // Watches the queue for up to `nanos`: true once a record is queued (then
  // after DispatchCoalesceNanos more) or the stop requested.
  bool awaitQueuedRecord(int64_t nanos);
  size_t queuedEvents();
  // The queue's byte bound: admits a plugin's record costing `cost` bytes,
  // or refuses it (counted, with one line when refusing begins); and the
  // account of a record leaving the queue for delivery.
  bool admitQueued(int64_t cost);
  void noteDequeued(int64_t cost);
  void endQueueRefusal();
  // Empties the queue and gives back its references (destructor): records
  // still queued when the core goes will never be delivered.
  void releaseQueuedEvents();

  // --- plugin host (plugins/) ----------------------------------------------
  void bindLogPlugin();
  // The effective uid the process had when the core was built: plugin files
  // must be owned by root or this user (plugins/file_trust.h). Taken before
  // initialisation changes identity, so a set-user-ID-root core trusts only
  // root's files.
  const uid_t pluginOwner = ::geteuid();
  // Loads `path` unless its file is untrusted or its library is already
  // loaded under another name; a refusal is logged and gives a plugin that
  // failed to load.
  std::shared_ptr<Plugin> loadTrustedPlugin(const std::string& path);
  // After a stop request, log records reach the logging plugin directly.
  void deliverToLogPlugin(const EventParms& record);
  void loadPlugins();
  void openPlugins();
  void closePlugins();
  void unloadPlugins();
  // A snapshot of the plugin list for walks off the main thread.
  std::vector<std::shared_ptr<Plugin>> pluginSnapshot() const;
  // The logging plugin, read under pluginsLock; any thread.
  std::shared_ptr<Plugin> loggingPlugin() const;
  // Drops the core's references to every plugin (the list, the failed ones
  // and the logging plugin); called by the destructor before the logger's
  // members go.
  void releasePlugins();
  // Closes and unloads the logging plugin if it still is open (the one with
  // identifier 0x08 lives on after the others are unloaded); main thread.
  void closeLogPlugin();

  // --- ipc (ipc/) ----------------------------------------------------------
  // Arms one receive on the io thread (posted there when called elsewhere).
  void startIpcReceive();
  // The receive completion; io thread.
  void onIpcReceive(const boost::system::error_code& error, size_t bytes);
  // Any thread: 1 = no channel, nothing to send or send queue full, 0 =
  // taken over.
  int32_t sendIpcPacket(const EventParms& record);
  bool ipcOpen() const noexcept { return ipcChannelOpen.load(std::memory_order_acquire); }
  // At the end of the stop: one level-50 line with the number of packets
  // that no plugin could take, if there were any.
  void reportDroppedPackets();
  // Before the io thread stops: refuses every later packet, then waits until
  // every packet taken over has left, the channel has closed or `deadline`
  // has passed; false (and a level-50 line) when packets were left unsent.
  bool endIpcSends(std::chrono::steady_clock::time_point deadline);
  // The parent's file name and version from its start-up packet, read as
  // one consistent pair (the io thread may overwrite them at any time).
  std::pair<std::string, std::string> parentIdentity() const;

  // --- configuration (config/) ---------------------------------------------
  void loadConfig();
  void publishConfig();
  void publishMemoryState();
  void configDeltaHook(const EventParms& record);

  // --- logging (log/) ------------------------------------------------------
  int effectiveLogLevel(uint8_t index) const noexcept;
  // 1 keep, 0 drop (threshold), 2 refused (over the source's budget).
  int filterLogRecord(const EventParms& record);
  // Logs the refusal counts of sources over their log budget that are due;
  // any thread.
  void reportLogRefusals(int64_t now);
  void printLogLine(uint8_t index, int level, size_t length, const char* text);
  // Waits until the console has taken every line printed so far, or
  // `timeout` passes (false); the process's end and tests that read stdout.
  bool flushConsole(std::chrono::milliseconds timeout) noexcept { return console.flush(timeout); }

  // --- monitoring (monitor/) -----------------------------------------------
  // Memory, throttle and clocks, four times a second; the watch thread only
  // (tests call it on theirs).
  void housekeepingTick();
  // Writes the statistics report when a minute has passed since the last
  // one; dispatch thread only.
  void reportStatistics();
  std::chrono::steady_clock::time_point lastReport{};
  // The report's reusable top-holder list and text; dispatch thread only.
  std::vector<std::pair<uint8_t, int64_t>> topSources;
  std::string topText;
  // Applies one memory reading to `throttled`; watch thread only.
  void updateThrottle(bool low);
  // Clocks, RAM, stack limit and memory reading for housekeeping: the real
  // system unless a test substitutes a simulated one before the first tick.
  const SystemProbe* systemProbe = realSystemProbe();
  // Housekeeping's own state; watch thread only, filled at the first tick.
  struct Housekeeping {
    bool started = false;
    uint64_t memoryLimit = 0;
    int64_t stackLimit = 0;
    int64_t lastCheck = 0;  // steady-clock nanoseconds of the last check
    int64_t lastWall = 0;   // wall-clock nanoseconds at the last check
  } housekeeping;
  // Plugin calls that do not return, on every thread that calls plugins, and
  // the thread housekeeping runs on: started by Run, ended once the logging
  // plugin, the last one, is unloaded (settle or the destructor).
  CallWatch callWatch;
  // The watch's log records for the logging plugin after a stop request.
  LogCourier logCourier;
  // Once the logging plugin is closed: one level-50 line with the number of
  // log records it never got after the stop request, if there were any.
  void reportDroppedLogRecords();

  // --- crypto (crypto/) ----------------------------------------------------
  int32_t onCryptoEvent(EventParms& record);
  // Init, before the change of user: fills deviceKey from the key file, or
  // leaves it empty (the built-in key) when there is none. False, with a
  // level-100 line, when the file is there but unsafe or unreadable.
  [[nodiscard]] bool loadDeviceKey();

  // --- members, in the order the core's lifecycle relies on ----------------
  std::string deviceKey;
  std::array<std::atomic<int32_t>, 256> logLevels;
  std::shared_ptr<Plugin> logPlugin;
  // The plugin list is changed only on the main thread (load, the append of
  // the logging plugin at open, the removal and sort at close), always
  // holding pluginsLock, and only for the change itself: nobody calls into a
  // plugin or logs while holding pluginsLock. (A plain mutex: a storm of
  // log records after a stop request reads logPlugin under it, and must not
  // starve the main thread's changes.)
  // The main thread reads the list without the lock (it is the only writer),
  // so the dispatch loop's per-event path stays lock-free. Every other thread
  // (IPC routing on the io thread, search starts, worker threads) walks a
  // copy taken under the lock (pluginSnapshot) and calls the plugins after
  // releasing it; a plugin's own gate then admits such a call and keeps its
  // library mapped for its length. logPlugin and failedPlugins follow the
  // same rule.
  mutable std::mutex pluginsLock;
  std::vector<std::shared_ptr<Plugin>> plugins;
  std::vector<std::shared_ptr<Plugin>> failedPlugins;
  std::unordered_map<uint32_t, std::string> logTags;
  // Display names for lines an operator reads about a source, such as its
  // refused log records; the tag above is only the console's prefix.
  std::unordered_map<uint32_t, std::string> logNames;
  std::unique_ptr<CoreIo> io;  // I/O service, housekeeping timer, IPC socket, signals
  std::deque<std::pair<std::unique_ptr<uint8_t[]>, size_t>> ipcOutQueue;
  // Bytes taken over by sendIpcPacket and not yet sent (posted to the io
  // thread or waiting in ipcOutQueue), and whether packets are refused until
  // they fall below half of IpcSendQueueLimit, with the number refused so
  // far. Submitters and the io thread meet only here, for the sum itself.
  std::mutex ipcSendLock;
  std::condition_variable ipcSent;  // ipcPendingBytes reached 0, or the channel closed
  size_t ipcPendingBytes = 0;
  bool ipcSendsEnded = false;  // set by endIpcSends: nothing would send a packet any more
  bool ipcRefusing = false;
  int64_t ipcRefusedRun = 0;
  // The two packet buffers are left uninitialised: only bytes written since
  // are read, and zeroing them would make 128 KiB resident in an idle core.
  alignas(16) std::array<uint8_t, IpcBufferSize> ipcBuffer;
  size_t ipcFill = 0;
  // Where a packet at a misaligned offset of ipcBuffer is copied before a
  // plugin gets it; io thread only.
  alignas(16) std::array<uint8_t, IpcBufferSize> ipcAligned;
  std::atomic<bool> ipcChannelOpen{false};
  // What submitting threads write on every record, kept on cache lines of
  // its own: the dispatch loop reads its batch once per record, and sharing
  // a line with these would cost it a miss every time.
  alignas(64) std::mutex queueLock;
  std::condition_variable queueSignal;
  // FIFO: appended at the back, and taken whole by the dispatch loop, which
  // swaps it with its own emptied batch, so the storage is reused and an
  // append allocates nothing once the queue has grown to its usual length.
  std::vector<EventParms> eventQueue;
  // Set (under queueLock) when the dispatch loop returns; records queued
  // after that are refused instead of stranded.
  bool dispatchEnded = false;
  // Set (under queueLock) while the dispatch loop waits on queueSignal, and
  // cleared by the loop when it wakes: only then does an append notify.
  bool dispatchWaiting = false;
  // Bytes (payload and record) queued and not yet taken for delivery, and
  // whether plugins' records are refused (set at QueuedBytesLimit, cleared
  // below QueuedBytesResume), with the count refused since it began. The
  // sum is raised at append (under queueLock) and lowered at delivery; the
  // bound may be overshot by what concurrent submitters add at once, nothing
  // more.
  SplitTally<int64_t> queuedBytes;
  std::atomic<bool> queueRefusing{false};
  std::atomic<int64_t> queueRefused{0};
  // Set by the dispatch loop while it watches the queue before sleeping
  // (DispatchIdleWatchNanos), and the first append meanwhile says so: the
  // loop watches a flag written once, not the byte account written by every
  // append, whose line it would otherwise take from the submitter each time.
  alignas(64) std::atomic<bool> dispatchWatching{false};
  std::atomic<bool> dispatchKicked{false};
  // The dispatch loop's batch, swapped with eventQueue at each take;
  // dispatch thread only while the loop runs.
  alignas(64) std::vector<EventParms> dispatchBatch;
  alignas(64) std::mutex searchLock;
  // Cancelled request ids with the order of their cancellation, and that
  // order, oldest first. Only the most recent MaxCancelledSearches count:
  // a requester that never reuses its ids would otherwise grow the set for
  // the life of the process.
  std::unordered_map<uint32_t, uint64_t> cancelledSearches;
  std::deque<std::pair<uint32_t, uint64_t>> cancelOrder;
  uint64_t cancelSequence = 0;
  std::unordered_map<std::thread::id, std::shared_ptr<SearchHandler::StoredProvider>> searchProviders;
  // Each serving plugin's running and waiting searches (events/search.h has
  // the bounds), by the plugin its threads hold; guarded by searchLock.
  std::unordered_map<const Plugin*, std::unique_ptr<SearchLane>> searchLanes;
  // Detached search threads still able to touch the core (guarded by
  // searchLock); the destructor waits on searchThreadsGone until it is 0.
  size_t searchThreadCount = 0;
  bool searchThreadsClosed = false;
  std::condition_variable searchThreadsGone;
  // Slots holding a block; lets block releases skip searchLock when no
  // search result is alive (the dispatch loop frees a block per record).
  std::atomic<int32_t> occupiedSearchSlots{0};
  std::string corePath;
  std::string productFamily = "Corvimatics";
  std::string productVersion = CoreVersion;
  // Written on the io thread under parentInfoLock; read with parentIdentity().
  mutable std::mutex parentInfoLock;
  std::string parentFilename;
  std::string parentVersion;
  bool consoleColour = true;
  std::atomic<bool> consoleQuiet{false};
  std::mutex logLock;
  LogBudget logBudget;
  std::atomic<bool> stopRequested{false};
  bool throttlingEnabled = true;
  std::atomic<bool> throttled{false};
  int64_t lowMemorySince = INT64_MAX;

  std::thread ioThread;
  // Standard output's buffer and writer. Last, so it goes first: its
  // writer may log (a count of dropped lines) through the members above.
  ConsoleSink console{[](uint64_t lines) { reportDroppedConsoleLines(lines); }};

 private:
  void waitForStopSignal();
  void runSearchThread(std::shared_ptr<AsyncEvent> request, std::shared_ptr<Plugin> plugin) noexcept;
  // One request on this search thread: registered for its results while the
  // plugin's search runs.
  void serveSearch(const AsyncEvent& request, Plugin& plugin) noexcept;
  [[nodiscard]] bool startSearchThread(const std::shared_ptr<AsyncEvent>& request,
                                       const std::shared_ptr<Plugin>& plugin);
};

// The one core, set by the entry point before Init and cleared by the core's
// destructor once nothing of it runs any more, before its members go. Code
// that runs outside a member function (the plugin callback, coreLog, the
// fatal-signal handler) reaches the core through it.
extern DvrCore* coreInstance;

// One line with the process's threads and open descriptors, logged before
// the first plugin (the logging plugin) is loaded and once the last
// "Unload" returned: what a plugin left running or open is the difference,
// less the core's own (a run without that plugin shows it).
void logThreadsAndDescriptors(const char* when);

// The directory that holds the executable (and so plugins/ and
// protected-plugins/).
std::string programDirectory(const std::string& corePath);

// The parent process's real user id from /proc/<ppid>/status; 0 (taken for
// root) when the file cannot be read or has no Uid line.
unsigned getParentUid();

}  // namespace ko::core
