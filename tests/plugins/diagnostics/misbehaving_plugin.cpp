// A plugin that fails in one way, chosen at build time, so the tests see what
// the core leaves behind when a plugin crashes or hangs it:
//
//   NULL_WRITE_IN_EVENT   writes through a null pointer in "OnEvent"
//   ABORT_IN_WORKER       asks for a worker thread and aborts in it
//   OVERFLOW_IN_IPC       recurses in "OnIpcResult" until its stack overflows
//   SLEEP_IN_EVENT        sleeps 12 s (SLEEP_SECONDS) in its first "OnEvent"
//   SLEEP_IN_IPC          sleeps 12 s in "OnIpcResult"
//   SLEEP_IN_CLOSE        sleeps 12 s in "Close"
//   NULL_WRITE_IN_THREAD  writes through a null pointer on a thread it starts
//                         itself in "Open"
//   NULL_STRLEN_IN_THREAD passes NULL to strlen on such a thread
//   TWO_THREADS_FAULT     starts two threads that write through a null
//                         pointer at the same moment
//   NULL_WRITE_AT_EXIT    writes through a null pointer in its library's
//                         destructor, when the core unloads it
//   STALL_ON_STUCK_LINE   installed as the logging plugin, sleeps 60 s in the
//                         "OnEvent" of the first record that reports a stuck
//                         call
//   BAD_RELEASE_IN_STOP   installed as the logging plugin, in the "OnEvent"
//                         of its first log record asks for the stop (SIGTERM
//                         to itself), waits until the core refuses records,
//                         then releases a block it never held, so that the
//                         core logs while the call runs; an "OnEvent" entered
//                         again on a thread already inside one writes
//                         "<id>.reentered" (a plugin with a plain mutex there
//                         would deadlock instead)
//
// The first event every plugin gets is the configuration document the core
// publishes at start. A sleeping call writes "<id>.returned" in the working
// directory once it is over, so a test can tell that a line came while the
// call still ran.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

#include "ko/core/event.hpp"

#ifndef PLUGIN_ID
#define PLUGIN_ID 0x50
#endif

namespace {

using namespace ko::core;

#ifndef SLEEP_SECONDS
#define SLEEP_SECONDS 12
#endif
constexpr auto SleepFor = std::chrono::seconds(SLEEP_SECONDS);

[[maybe_unused]] void sleepThenMark() {
  std::this_thread::sleep_for(SleepFor);
  char name[32];
  std::snprintf(name, sizeof name, "%02x.returned", PLUGIN_ID);
  if (FILE* f = std::fopen(name, "w")) std::fclose(f);
}

// Each frame holds a page the compiler cannot drop.
[[maybe_unused]] __attribute__((noinline)) unsigned recurse(unsigned depth) {
  volatile char page[4096];
  page[depth % sizeof page] = static_cast<char>(depth);
  // Never true before the stack runs out.
  if (depth == ~0u) return page[0];
  return recurse(depth + 1) + page[0];
}

// Both the pointer and what it points to are volatile. A store through a
// pointer the compiler knows to be null is undefined, and an optimised build
// drops it together with every call that can only lead to it.
volatile int* volatile nowhere = nullptr;

[[maybe_unused]] SubmitEventFn submitFn = nullptr;

[[maybe_unused]] void mark(const char* what) {
  char name[32];
  std::snprintf(name, sizeof name, "%02x.%s", PLUGIN_ID, what);
  if (FILE* f = std::fopen(name, "w")) std::fclose(f);
}

[[maybe_unused]] __attribute__((noinline)) void writeNull() { *nowhere = 1; }

// The fault lies in the C library; only the return address is the plugin's.
[[maybe_unused]] __attribute__((noinline)) void strlenOfNull() {
  const char* volatile text = nullptr;
  std::printf("%zu\n", std::strlen(text));
}

#ifdef NULL_WRITE_AT_EXIT
__attribute__((destructor)) void atExit() { writeNull(); }
#endif

}  // namespace

KO_PLUGIN_EXPORT int32_t Load([[maybe_unused]] LoadParms* parms, PluginInfo* info) {
  info->sourceId = static_cast<uint64_t>(PLUGIN_ID) << 16;
#ifdef BAD_RELEASE_IN_STOP
  submitFn = parms->submitEvent;
  info->logWord = WantBit;
#endif
#ifdef ABORT_IN_WORKER
  info->wantsWorkerThread = 1;
#endif
  return 0;
}

KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {}
KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {
#ifdef NULL_WRITE_IN_THREAD
  std::thread(writeNull).detach();
#endif
#ifdef NULL_STRLEN_IN_THREAD
  std::thread(strlenOfNull).detach();
#endif
#ifdef TWO_THREADS_FAULT
  static std::atomic<int> ready{0};
  for (int i = 0; i < 2; ++i) {
    std::thread([] {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      writeNull();
    }).detach();
  }
#endif
}

KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {
#ifdef SLEEP_IN_CLOSE
  sleepThenMark();
#endif
}

KO_PLUGIN_EXPORT int32_t OnEvent([[maybe_unused]] EventParms* record) {
#ifdef BAD_RELEASE_IN_STOP
  thread_local int depth = 0;
  if (depth != 0) {
    mark("reentered");
    return 0;
  }
  static std::atomic<bool> done{false};
  if (baseType(record->type) == EventTypeLog && !done.exchange(true)) {
    ++depth;
    kill(getpid(), SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      auto probe = makeEvent(EventTypeAlarm, EventClassLive, PLUGIN_ID << 16);
      if (submitFn(&probe) == 1 || std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    alignas(16) static char notABlock[16];
    auto decref = makeEvent(EventTypeDecref, 0, PLUGIN_ID << 16, notABlock, 0);
    submitFn(&decref);
    --depth;
    mark("released");
  }
#endif
#ifdef STALL_ON_STUCK_LINE
  static std::atomic<bool> stalled{false};
  if (baseType(record->type) == EventTypeLog && record->data != nullptr &&
      std::string_view(static_cast<const char*>(record->data), record->length).find(" stuck in ") !=
          std::string_view::npos &&
      !stalled.exchange(true)) {
    std::this_thread::sleep_for(std::chrono::seconds(60));
  }
#endif
#ifdef NULL_WRITE_IN_EVENT
  writeNull();
#endif
#ifdef SLEEP_IN_EVENT
  static std::atomic<bool> slept{false};
  if (!slept.exchange(true)) sleepThenMark();
#endif
  return 0;
}

KO_PLUGIN_EXPORT void OnIpcResult(const void*, uint64_t) {
#ifdef OVERFLOW_IN_IPC
  std::printf("%u\n", recurse(0));
#endif
#ifdef SLEEP_IN_IPC
  sleepThenMark();
#endif
}

KO_PLUGIN_EXPORT void IOCTL(IoctlParms* parms, IoctlResult*) {
#ifdef ABORT_IN_WORKER
  if (parms->code == IoctlWorkerThread) std::abort();
#else
  (void)parms;
#endif
}
