// A plugin for the configuration end-to-end tests. It appends every
// configuration and alarm record it receives to "spy.out" in the working
// directory. It answers each of the core's first two configuration
// documents with a modules delta that sets its own threshold to 60, followed
// by an alarm of its own ("marker") that comes back through the queue after
// anything that delta could have caused. A packet from the parent makes it
// send a delta that sets its threshold to 70.
#include <cstdio>
#include <cstring>

#include "ko/core/event.hpp"

namespace {

using namespace ko::core;

constexpr uint64_t Self = 0x00120000;
// One delta with the short declaration of older writers, one with the
// version: the core recognises both.
constexpr char Delta[] =
    "<?xml?><Kora><Modules Delta=\"1\"><Module><Plugin ID=\"1179648\" LogLevel=\"60\"/></Module></Modules></Kora>";
constexpr char IpcDelta[] =
    "<?xml version=\"1.0\"?>\n<Kora>\n\t<Modules Delta=\"1\"><Module><Plugin ID=\"1179648\" LogLevel=\"70\"/>"
    "</Module></Modules></Kora>";
constexpr char Marker[] = "marker";
// The delta's document is queued while the delta is dispatched, so behind
// anything sent with the delta: the marker goes out one round later.
constexpr char PreMarker[] = "pre-marker";

SubmitEventFn submit = nullptr;
int coreConfigs = 0;

void append(const EventParms& record) {
  FILE* out = std::fopen("spy.out", "ab");
  if (out == nullptr) return;
  std::fprintf(out, "%u %u\n", baseType(record.type), record.length);
  if (record.length != 0) std::fwrite(record.data, 1, record.length, out);
  std::fputc('\n', out);
  std::fclose(out);
}

void send(uint32_t type, const char* text, uint32_t length) {
  auto record = makeEvent(type, EventClassLive | EventFlagXml, Self, text, length);
  submit(&record);
}

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
  info->sourceId = Self;
  info->alarmWord = WantBit;
  return 0;
}
KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {}
KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {}
KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {}

KO_PLUGIN_EXPORT int OnEvent(EventParms* record) {
  const uint32_t type = baseType(record->type);
  if (type != EventTypeConfig && type != EventTypeAlarm) return 0;
  if (static_cast<uint32_t>(record->source) == Self && record->length == sizeof PreMarker - 1 &&
      std::memcmp(record->data, PreMarker, record->length) == 0) {
    send(EventTypeAlarm, Marker, sizeof Marker - 1);
    return 0;
  }
  append(*record);
  if (type == EventTypeConfig && static_cast<uint32_t>(record->source) == CoreSourceId && ++coreConfigs <= 2) {
    send(EventTypeConfig, Delta, sizeof Delta - 1);
    send(EventTypeAlarm, PreMarker, sizeof PreMarker - 1);
  }
  return 0;
}

// io thread; the core hands packets over in the order the parent sent them.
KO_PLUGIN_EXPORT void OnIpcResult(const void*, uint64_t) { send(EventTypeConfig, IpcDelta, sizeof IpcDelta - 1); }
