// A test plugin that records every call it receives as one line appended to
// the file named by $KO_PLUGIN_RECORD: "<file name> <what> tid=<thread id>".
// Its identity and behaviour come from compile definitions, so one source
// serves every plugin of the lifecycle tests; the file name is read back from
// the loaded library itself, so one build may be installed under two names.
//
//   PLUGIN_ID          identifier byte (bits 16..23 of the source id)
//   LOAD_RESULT        what "Load" returns
//   CLOSE_RANK         close-order key
//   WANTS_WORKER       asks for a worker thread ("IOCTL" code 1)
//   WANTS_READER       asks for a reader thread ("Read")
//   EXPORT_IOCTL       exports "IOCTL"
//   EXPORT_READ        exports "Read"
//   NO_OPEN            leaves "Open" out (keeps "Close")
//   WANTS_LOG          wants log events
//   RETAIN_LOG         keeps log events until "Close", then releases them
//   RELEASE_LOG        releases each log event from a thread of its own,
//                      which the call waits for, and answers "not kept"
//   EXPORT_IPC         exports "OnIpcResult"; "Unload" lingers briefly to show
//                      whether an IPC packet still arrives while it runs
//   IPC_SLOW           exports "OnIpcResult", which takes two seconds
//   IPC_STUCK          exports "OnIpcResult", which never returns
//   LOG_WHILE_CLOSING  logs from "Close", "Unload" and the library destructor,
//                      under another identifier
//   SEARCH_UNTIL_CLOSE exports "OnSearch", which returns once "Close" is called
//   SEARCH_FOREVER     exports "OnSearch", which never returns
//
// Worker and reader calls wait until "Close" (at most ten seconds, then they
// record a time-out) so the tests see when the core lets them end.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ko/core/event.hpp"

#ifndef PLUGIN_ID
#define PLUGIN_ID 0x7f
#endif
#ifndef LOAD_RESULT
#define LOAD_RESULT 0
#endif
#ifndef CLOSE_RANK
#define CLOSE_RANK 0
#endif

namespace {

using namespace ko::core;

constexpr uint32_t OwnSourceId = static_cast<uint32_t>(PLUGIN_ID) << 16;

SubmitEventFn submit = nullptr;
std::mutex closeLock;
std::condition_variable closeSignal;
bool closed = false;
std::vector<EventParms> retained;

// Decimal text without std::to_string, whose digit table is a unique symbol
// that would keep the library mapped after dlclose (and its destructor from
// running there).
std::string decimal(long value) {
  char text[24];
  std::snprintf(text, sizeof text, "%ld", value);
  return text;
}

std::string ownFileName() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ownFileName), &info) == 0 || info.dli_fname == nullptr) return "?";
  const std::string path = info.dli_fname;
  return path.substr(path.rfind('/') + 1);
}

void record(const std::string& what) {
  const char* file = std::getenv("KO_PLUGIN_RECORD");
  if (file == nullptr) return;
  const std::string line = ownFileName() + " " + what + " tid=" + decimal(gettid()) + "\n";
  const int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // O_APPEND and one write per line keep lines from several threads whole.
  (void)!write(fd, line.data(), line.size());
  close(fd);
}

[[maybe_unused]] void logText(const std::string& text, uint32_t source = OwnSourceId) {
  if (submit == nullptr) return;
  auto event = makeEvent(EventTypeLog, EventClassLive | EventFlagText, source, text.data(),
                         static_cast<uint32_t>(text.size()));
  event.body.bodyParam = 50;
  submit(&event);
}

// Until "Close"; false after the time-out.
[[maybe_unused]] bool waitForClose() {
  std::unique_lock lock(closeLock);
  return closeSignal.wait_for(lock, std::chrono::seconds(10), [] { return closed; });
}

#if defined(LOG_WHILE_CLOSING)
// Records logged while going carry another plugin's identifier, so the core
// hands them towards this (logging) plugin instead of skipping its own.
constexpr uint32_t ForeignSourceId = 0x7e0000;
__attribute__((destructor)) void onLibraryClose() {
  logText(ownFileName() + " library closing", ForeignSourceId);
  record("Library closed");
}
#endif

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  record("Load");
  if (LOAD_RESULT != 0) return LOAD_RESULT;
  submit = parms->submitEvent;
  info->sourceId = OwnSourceId;
  info->alarmWord = WantBit;
  info->closeRank = CLOSE_RANK;
#if defined(WANTS_LOG)
  info->logWord = WantBit;
#endif
#if defined(WANTS_WORKER)
  info->wantsWorkerThread = 1;
#endif
#if defined(WANTS_READER)
  info->wantsAsyncReader = 1;
#endif
  return 0;
}

#if defined(EXPORT_IPC)
std::atomic<bool> unloading{false};
std::atomic<int> lateIpcPackets{0};

KO_PLUGIN_EXPORT void OnIpcResult(const void*, uint64_t) {
  if (!unloading.load()) return;
  record("OnIpcResult during Unload");
  lateIpcPackets.fetch_add(1);
  closeSignal.notify_all();
}
#elif defined(IPC_SLOW)
KO_PLUGIN_EXPORT void OnIpcResult(const void*, uint64_t) {
  record("OnIpcResult begin");
  std::this_thread::sleep_for(std::chrono::seconds(2));
  record("OnIpcResult end");
}
#elif defined(IPC_STUCK)
KO_PLUGIN_EXPORT void OnIpcResult(const void*, uint64_t) {
  record("OnIpcResult begin");
  for (;;) pause();
}
#endif

KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {
  record("Unload");
#if defined(EXPORT_IPC)
  unloading = true;
  std::unique_lock lock(closeLock);
  // Ends early only when a packet arrives now, which must not happen.
  closeSignal.wait_for(lock, std::chrono::milliseconds(200), [] { return lateIpcPackets.load() > 0; });
#endif
#if defined(LOG_WHILE_CLOSING)
  logText(ownFileName() + " unloading", ForeignSourceId);
#else
  submit = nullptr;
#endif
}

#if !defined(NO_OPEN)
KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) { record("Open"); }
#endif

KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {
  record("Close");
#if defined(LOG_WHILE_CLOSING)
  logText(ownFileName() + " closing", ForeignSourceId);
#endif
  std::vector<EventParms> kept;
  {
    std::lock_guard lock(closeLock);
    closed = true;
    kept.swap(retained);
  }
  closeSignal.notify_all();
  for (auto& event : kept) {
    record("Retained " + std::string(static_cast<const char*>(event.data), event.length));
    auto release = makeEvent(EventTypeDecref, 0, OwnSourceId, event.data, event.length);
    submit(&release);
  }
}

KO_PLUGIN_EXPORT int OnEvent(EventParms* event) {
  if (event->type == EventTypeLog) {
    record("OnEvent log " + std::string(static_cast<const char*>(event->data), event->length));
#if defined(RETAIN_LOG)
    std::lock_guard lock(closeLock);
    retained.push_back(*event);
    return 1;
#elif defined(RELEASE_LOG)
    std::thread([data = event->data] {
      auto release = makeEvent(EventTypeDecref, 0, OwnSourceId, data, 0);
      submit(&release);
    }).join();
#endif
    return 0;
  }
  record("OnEvent " + std::string(eventTypeName(event->type)));
  return 0;
}

#if defined(EXPORT_IOCTL)
KO_PLUGIN_EXPORT void IOCTL(IoctlParms* parms, IoctlResult*) {
  if (parms->code != IoctlWorkerThread) {
    record("IOCTL" + decimal(parms->code));
    return;
  }
  record("IOCTL1 begin");
  logText(ownFileName() + " worker running");
  record(waitForClose() ? "IOCTL1 end" : "IOCTL1 timeout");
}
#endif

#if defined(SEARCH_UNTIL_CLOSE)
KO_PLUGIN_EXPORT void OnSearch(EventParms*) {
  record("OnSearch begin");
  record(waitForClose() ? "OnSearch end" : "OnSearch timeout");
}
#elif defined(SEARCH_FOREVER)
KO_PLUGIN_EXPORT void OnSearch(EventParms*) {
  record("OnSearch begin");
  for (;;) pause();
}
#endif

#if defined(EXPORT_READ)
KO_PLUGIN_EXPORT void Read(ReadParms* parms, void* second) {
  record(std::string("Read second=") + (second == nullptr ? "null" : "set") + " one=" + decimal(parms->one) +
         " length=" + decimal(parms->dataLength));
  record(waitForClose() ? "Read end" : "Read timeout");
}
#endif
