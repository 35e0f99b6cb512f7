// The core object's construction, run sequence, stop request and destruction.
// Run and the destructor execute on the main thread; requestStop on the io
// thread (signal handler, IPC channel) or, in tests, on any thread.
#include "core/dvr_core.h"

#include <fmt/format.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <optional>

#include "core/core_io.h"
#include "crypto/device_key.h"
#include "events/ref_block.h"
#include "events/search.h"
#include "log/core_log.h"
#include "plugins/plugin.h"

namespace ko::core {

DvrCore* coreInstance = nullptr;

namespace {

// How long the stop waits for packets to the parent that were taken over but
// have not left: a parent that reads at all takes them in far less.
constexpr auto IpcSendGrace = std::chrono::seconds(2);

// Entries of a /proc directory; -1 when it cannot be read.
int entriesOf(const char* directory) {
  std::error_code ec;
  int count = 0;
  for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) ++count;
  return ec ? -1 : count;
}

// The kernel's flag for a task in its exit path (PF_EXITING), the ninth
// field of its stat line.
constexpr unsigned long TaskExitingFlag = 0x4;
// A stat line is a few hundred bytes; the name in it at most sixteen.
constexpr size_t TaskStatBytes = 1024;

// A joined thread stays listed in /proc/self/task until the kernel has
// released it, which may come well after the join returns (long on a busy
// or emulated machine); one that has set out to exit is not counted.
int runningThreads() {
  std::error_code ec;
  int count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) {
    std::FILE* file = std::fopen((it->path() / "stat").c_str(), "re");
    if (file == nullptr) continue;  // gone
    char line[TaskStatBytes];
    const size_t length = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[length] = '\0';
    // After the name: state ppid pgrp session tty_nr tpgid flags.
    const char* rest = std::strrchr(line, ')');
    unsigned long flags = 0;
    if (rest != nullptr && std::sscanf(rest + 1, " %*c %*d %*d %*d %*d %*d %lu", &flags) == 1 &&
        (flags & TaskExitingFlag) != 0) {
      continue;
    }
    ++count;
  }
  return ec ? -1 : count;
}

}  // namespace

void logThreadsAndDescriptors(const char* when) {
  coreLog(25, "{} plugins: {} threads, {} descriptors", when, runningThreads(), entriesOf("/proc/self/fd"));
}

std::string programDirectory(const std::string& corePath) {
  const auto slash = corePath.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return corePath.substr(0, slash);
}

DvrCore::DvrCore(std::string path) : io(std::make_unique<CoreIo>()), corePath(std::move(path)) {
  for (auto& level : logLevels) level.store(-1, std::memory_order_relaxed);
  logTags.emplace(0u, "core");
}

DvrCore::~DvrCore() {
  // The logging plugin may serve searches that last until its "Close"; it is
  // closed before anything waits for them.
  closeLogPlugin();
  // Still running when settle was never called; both log through the core.
  logCourier.finish();
  callWatch.stop();
  // Detached search threads reach the core through `this`; none may be left
  // when its members start to go.
  awaitSearchThreads();
  // Only what plugins still hold is worth reporting; the queue's own
  // references go first.
  releaseQueuedEvents();
  ipcOutQueue.clear();
  if (const int32_t blocks = refBlockCount.load(); blocks != 0) {
    coreLog(0, "refblks: {:L}({:L})", blocks, refBlockBytes.load());
    for (unsigned i = 0; i < refsHeld.size(); ++i) {
      const int64_t held = refsHeld[i].load();
      if (held == 0) continue;
      std::string tag = "unknown";
      {
        std::lock_guard lock(logLock);
        if (auto it = logTags.find(i); it != logTags.end()) tag = it->second;
      }
      coreLog(0, "Plugin {:02x}:{} unloaded holding {:L} event reference(s).", i, tag, held);
    }
  }
  // Plugins still open or loaded here (a core that never ran) are closed and
  // unloaded now, on this (the main) thread,
  // while the logger, the tag table and the queue they may log into still
  // exist; the members themselves then go in reverse order of declaration.
  releasePlugins();
  // Nothing of the core logs or is called any more; the fatal-signal handler
  // (and any late caller) must not reach the members about to go.
  if (coreInstance == this) coreInstance = nullptr;
  wipeSecret(deviceKey);
}

void DvrCore::closeLogPlugin() {
  if (const auto logging = loggingPlugin()) logging->Retire(Plugin::Retired::Unloaded);
}

bool DvrCore::settle() {
  reportDroppedLogRecords();
  closeLogPlugin();
  // The courier may be left to a stuck logging plugin, which then counts as
  // stuck. The watch ends with the last plugin call of the stop.
  logCourier.finish();
  callWatch.stop();
  callWatch.unwatch(threadCallSlot());
  // A call that never returned may still come back into the core.
  const bool settled =
      stuckPlugins.load() == 0 && awaitSearchThreads(std::chrono::steady_clock::now() + StuckCallGrace);
  logThreadsAndDescriptors("After unloading");
  return settled;
}

void DvrCore::Run() {
  io->signals.emplace(io->context);
  for (int signo : {SIGINT, SIGTERM, SIGQUIT}) {
    boost::system::error_code ec;
    io->signals->add(signo, ec);
    if (ec) throw boost::system::system_error(ec, "add");
  }
  waitForStopSignal();
  // The set has its handlers now: a stop held back since start-up is taken
  // here. This thread and the io thread (started below) take them, as do the
  // programs plugins start from either: a child inherits the mask.
  const sigset_t stopSignals = stopSignalSet();
  pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);

  loadConfig();
  if (throttlingEnabled) publishMemoryState();

  // Watched from here to the last "Unload", whatever the phase; housekeeping
  // runs on the same thread, which no plugin can hold.
  callWatch.watch(threadCallSlot());
  callWatch.start([this] { housekeepingTick(); });
  std::promise<void> ioDone;
  auto ioFinished = ioDone.get_future();
  ioThread = std::thread([this, done = std::move(ioDone)]() mutable {
    CoreThread thread(ThreadRole::Io);
    {
      // Out of the watch before the thread can end, so the watch never reads
      // the slot of a thread already gone.
      WatchedThread watched(callWatch);
      // An error from the I/O service ends the process, as nothing could
      // restart the io thread's work.
      io->context.run();
    }
    done.set_value();
  });

  startIpcReceive();
  loadPlugins();
  openPlugins();
  publishConfig();
  dispatchLoop();
  // IPC packets still reach each plugin until it is unloaded; its gate keeps
  // them from its "Close" and from its unloading.
  closePlugins();
  unloadPlugins();
  // Packets the plugins submitted until now were taken over with 0, so they
  // leave before the io thread stops; later ones (the logging plugin's, at
  // its own end) are refused. A parent that does not read holds the stop up
  // for a bounded time only.
  (void)endIpcSends(std::chrono::steady_clock::now() + IpcSendGrace);

  io->context.stop();
  // The io thread leaves the service at once unless it is inside a plugin
  // call that never returns; such a plugin was reported when it was
  // unloaded, and the thread is left to it.
  const bool ioJoined = ioFinished.wait_for(StuckCallGrace) == std::future_status::ready;
  if (ioJoined) {
    ioThread.join();
  } else {
    ioThread.detach();
    stuckPlugins.fetch_add(1);
  }
  // A thread left to a stuck plugin stays watched: it is still stuck.
  // No packet is routed any more.
  reportDroppedPackets();
  // The set restores the default action when it goes, which a stop signal
  // arriving then would take instead of the clean exit under way. With the
  // io thread gone and this one holding them, no thread of the core takes
  // one (stopSignalSet), so the set can go and the signals be ignored, which
  // also discards one held back meanwhile. A stuck io thread still takes
  // them: the set then stays, its handler harmless, as the core is not
  // destroyed under a stuck call either.
  if (!ioJoined) return;
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
  io->signals.reset();
  for (int signo : {SIGINT, SIGTERM, SIGQUIT}) std::signal(signo, SIG_IGN);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void DvrCore::waitForStopSignal() {
  // Every stop signal is a stop request (repeats are harmless), so the set
  // keeps waiting for as long as it exists.
  io->signals->async_wait([this](const boost::system::error_code& ec, int) {
    if (ec) return;
    requestStop();
    waitForStopSignal();
  });
}

void DvrCore::requestStop() {
  // The watch and housekeeping go on through the stop; settle ends them.
  stopRequested.store(true);
  { std::lock_guard lock(queueLock); }
  queueSignal.notify_one();
  wakeSearchWaiters();
}

}  // namespace ko::core
