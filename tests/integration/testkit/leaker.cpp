// Leaker.so: keeps the first camera alarm it gets and never gives it back,
// the fault the kit's exit report must name. An alarm whose text is "slow"
// takes 20 ms in its handler, so the core's slow-handler diagnostics appear;
// one whose text is "echo" it sends on as its own, as a copy of the record.
#include <chrono>
#include <string_view>
#include <thread>

#include "ko/core/event.hpp"

using namespace ko::core;

namespace {
constexpr uint32_t MySource = koSourceId(0x2c, 0);
SubmitEventFn submit = nullptr;
bool keptOne = false;  // dispatch thread only
}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
  info->sourceId = MySource;
  info->alarmWord = WantBit;
  return 0;
}
KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {}
KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {}
KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {}

KO_PLUGIN_EXPORT int OnEvent(EventParms* record) {
  if (baseType(record->type) != EventTypeAlarm || record->source == CoreSourceId || record->source == MySource ||
      record->data == nullptr) {
    return 0;
  }
  const std::string_view text(static_cast<const char*>(record->data), record->length);
  if (text == "slow") {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return 0;
  }
  if (text == "echo") {
    EventParms copy = *record;
    copy.source = MySource;
    submit(&copy);
    return 0;
  }
  if (keptOne) return 0;
  keptOne = true;
  return 1;
}
