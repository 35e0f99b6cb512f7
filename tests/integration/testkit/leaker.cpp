// Leaker.so: keeps the first camera alarm it gets and never gives it back,
// the fault the kit's exit report must name. An alarm whose text is "slow"
// takes 20 ms in its handler, so the core's slow-handler diagnostics appear.
#include <chrono>
#include <string_view>
#include <thread>

#include "ko/core/event.hpp"

using namespace ko::core;

namespace {
bool keptOne = false;  // dispatch thread only
}

KO_PLUGIN_EXPORT int32_t Load(LoadParms*, PluginInfo* info) {
  info->sourceId = koSourceId(0x2c, 0);
  info->alarmWord = WantBit;
  return 0;
}
KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {}
KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {}
KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {}

KO_PLUGIN_EXPORT int OnEvent(EventParms* record) {
  if (baseType(record->type) != EventTypeAlarm || record->source == CoreSourceId || record->data == nullptr) return 0;
  if (std::string_view(static_cast<const char*>(record->data), record->length) == "slow") {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return 0;
  }
  if (keptOne) return 0;
  keptOne = true;
  return 1;
}
