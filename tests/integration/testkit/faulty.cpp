// The faults an author would call failures, one per build: a plugin without
// "Close" (FAULT_NO_CLOSE), one whose worker never returns (FAULT_STUCK_WORKER),
// one that crashes on the alarm "crash" (FAULT_CRASH) and one that gives back,
// on the alarm "release", a record it never held (FAULT_BAD_RELEASE), and one
// that takes 20 ms over every alarm (FAULT_SLOW).
#include <atomic>
#include <chrono>
#include <csignal>
#include <string_view>
#include <thread>

#include "ko/core/event.hpp"

using namespace ko::core;

namespace {
constexpr uint32_t MySource = koSourceId(FAULTY_ID, 0);
SubmitEventFn submit = nullptr;
[[maybe_unused]] char neverHeld[16];
[[maybe_unused]] std::atomic<bool> forever{true};
}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
  info->sourceId = MySource;
  info->alarmWord = WantBit;
#if defined(FAULT_STUCK_WORKER)
  info->wantsWorkerThread = 1;
#endif
  return 0;
}
KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {}
KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {}
#if !defined(FAULT_NO_CLOSE)
KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {}
#endif

#if defined(FAULT_STUCK_WORKER)
// Never told to stop: it ignores "Close", so the core leaves it loaded.
KO_PLUGIN_EXPORT void IOCTL(IoctlParms* parms, IoctlResult*) {
  while (parms->code == KO_IOCTL_WORKER_THREAD && forever.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}
#endif

KO_PLUGIN_EXPORT int OnEvent(EventParms* record) {
  if (baseType(record->type) != EventTypeAlarm || record->data == nullptr) return 0;
  const std::string_view text(static_cast<const char*>(record->data), record->length);
#if defined(FAULT_SLOW)
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
#endif
#if defined(FAULT_CRASH)
  if (text == "crash") std::raise(SIGSEGV);
#endif
#if defined(FAULT_BAD_RELEASE)
  if (text == "release") {
    auto decref = makeDecrefEvent(MySource, neverHeld);
    submit(&decref);
  }
#endif
  (void)text;
  return 0;
}
