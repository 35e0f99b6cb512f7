// SdkProbe.so — the smallest C++ plugin: built out of tree against the
// installed SDK at the lowest standard it supports, it checks at compile time
// that the helpers are constant expressions and agree with the C++ rules.
#include "ko/core/event.hpp"

namespace {

using namespace ko::core;

constexpr uint32_t MySourceId = koSourceId(0x51, 7);
static_assert(MySourceId == 0x00510007u);
static_assert(koSourceIdentifier(MySourceId) == 0x51 && koSourceChannel(MySourceId) == 7);
static_assert(sourceIndex(MySourceId) == koSourceIdentifier(MySourceId));
static_assert(koIpcTarget(0x51) == 0x05100000u && koIpcTargetIdentifier(koIpcTarget(0x51)) == 0x51);
static_assert(koEventBaseType(EventTypeModifier | EventTypeVideo) == EventTypeVideo);
static_assert(baseType(0x100004000ull | EventTypeAlarm) == EventTypeAlarm);
static_assert(IpcPacketHeaderSize == sizeof(IpcPacketHeader) && IpcPacketMaxSize == 65536u);
static_assert(CryptoOpEncipher == 2 && CryptoOpDecipher == 1024 && CryptoNothingDeciphered == -13);
static_assert(RecordHeader<EventParms>::version == 1 && RecordHeader<LoadParms>::version == 4 &&
              RecordHeader<PluginInfo>::version == 3);

SubmitEventFn submit = nullptr;
unsigned coreRecords = 0;

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
  info->sourceId = MySourceId;
  info->alarmWord = WantBit;
  return 0;
}
KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {}
KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {
  auto record = makeLogEvent(MySourceId, 25, "sdk probe open");
  submit(&record);
}
KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {}
KO_PLUGIN_EXPORT int OnEvent(EventParms* record) {
  if (koIsCoreRecord(record) && isLive(*record) && !payloadText(*record).empty()) ++coreRecords;
  return 0;
}
