// Installed as the logging plugin, so the core binds it during
// initialisation, long before it narrows its capabilities: it asks for a
// reader thread, starts a thread of its own with pthread_create in "Load",
// and on its first event (dispatch starts only once every plugin is open)
// starts another one, which writes its own /proc status lines into
// "late-thread-status" in the working directory. Every thread waits for
// "Close" (at most ten seconds).
//
//   TIMER_THREAD  "Load" also creates a thread-notified (SIGEV_THREAD) timer,
//                 for which glibc starts a helper thread that blocks every
//                 signal
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>

#include "ko/core/event.hpp"

using namespace ko::core;

namespace {

std::mutex lock;
std::condition_variable closing;
bool closed = false;
pthread_t loadThread;
bool loadThreadStarted = false;
pthread_t lateThread;
bool lateThreadStarted = false;
#if defined(TIMER_THREAD)
timer_t timer;
bool timerCreated = false;

void onTimer(sigval) {}
#endif

void waitForClose() {
  std::unique_lock held(lock);
  closing.wait_for(held, std::chrono::seconds(10), [] { return closed; });
}

void* untilClose(void*) {
  waitForClose();
  return nullptr;
}

void* recordThenUntilClose(void*) {
  std::ifstream status("/proc/thread-self/status");
  std::string line;
  std::string kept;
  while (std::getline(status, line)) {
    if (line.rfind("Uid:", 0) == 0 || line.rfind("Cap", 0) == 0) kept += line + "\n";
  }
  {
    std::ofstream out("late-thread-status.part");
    out << kept;
  }
  std::rename("late-thread-status.part", "late-thread-status");
  waitForClose();
  return nullptr;
}

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms*, PluginInfo* info) {
  info->sourceId = 0x3e0000;
  info->logWord = WantBit;
  info->wantsAsyncReader = 1;
  loadThreadStarted = pthread_create(&loadThread, nullptr, untilClose, nullptr) == 0;
#if defined(TIMER_THREAD)
  sigevent notify{};
  notify.sigev_notify = SIGEV_THREAD;
  notify.sigev_notify_function = onTimer;
  timerCreated = timer_create(CLOCK_MONOTONIC, &notify, &timer) == 0;
  if (!timerCreated) return 1;
#endif
  return loadThreadStarted ? 0 : 1;
}

KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {}

KO_PLUGIN_EXPORT void Read(ReadParms*, void*) { waitForClose(); }

KO_PLUGIN_EXPORT int OnEvent(EventParms*) {
  std::lock_guard held(lock);
  if (!lateThreadStarted && !closed) {
    lateThreadStarted = pthread_create(&lateThread, nullptr, recordThenUntilClose, nullptr) == 0;
  }
  return 0;
}

KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {
  {
    std::lock_guard held(lock);
    closed = true;
  }
  closing.notify_all();
}

KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {
  bool late = false;
  {
    std::lock_guard held(lock);
    late = lateThreadStarted;
  }
  if (loadThreadStarted) pthread_join(loadThread, nullptr);
  if (late) pthread_join(lateThread, nullptr);
#if defined(TIMER_THREAD)
  if (timerCreated) timer_delete(timer);
#endif
}
