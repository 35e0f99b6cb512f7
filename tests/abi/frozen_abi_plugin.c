/* A plugin built against the frozen first release of the interface headers
 * only. It asks for alarms, answers each one with an alarm of its own that
 * echoes the fields it read, and records what it saw for the test. */
#include <string.h>

#include "ko/core/plugin_api.h"

#define MY_SOURCE_ID 0x00550000u

typedef struct FrozenProbe {
  uint32_t loadParmsSize, loadParmsVersion, infoSize, infoVersion;
  uint32_t events, lastLength;
  uint64_t lastType, lastFlags, lastBodyParam;
  uint8_t firstMediaFlags;
  void* firstContext;
  uint32_t closed;
} FrozenProbe;

static FrozenProbe probe;
static SubmitEventFn submit;

KO_PLUGIN_EXPORT FrozenProbe* frozenProbe(void) { return &probe; }

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  probe.loadParmsSize = parms->size;
  probe.loadParmsVersion = parms->version;
  probe.infoSize = info->size;
  probe.infoVersion = info->version;
  submit = parms->submitEvent;
  info->sourceId = MY_SOURCE_ID;
  info->alarmWord = KO_WANT_BIT;
  return 0;
}

KO_PLUGIN_EXPORT void Unload(UnloadParms* parms, UnloadResult* result) {
  (void)parms;
  (void)result;
}

KO_PLUGIN_EXPORT void Open(OpenParms* parms, OpenResult* result) {
  (void)parms;
  (void)result;
}

KO_PLUGIN_EXPORT void Close(CloseParms* parms, CloseResult* result) {
  (void)parms;
  (void)result;
  probe.closed = 1;
}

KO_PLUGIN_EXPORT int OnEvent(EventParms* record) {
  EventParms echo;
  /* The test polls the count while this thread delivers. */
  const uint32_t events = __atomic_add_fetch(&probe.events, 1, __ATOMIC_ACQ_REL);
  probe.lastLength = record->length;
  probe.lastType = record->type;
  probe.lastFlags = record->flags;
  probe.lastBodyParam = record->body.bodyParam;
  if (events == 1) {
    probe.firstMediaFlags = record->body.mediaFlags;
    probe.firstContext = record->body.context;
  }
  if (record->source == MY_SOURCE_ID) return 0;
  koEventInit(&echo);
  echo.type = KO_EVENT_ALARM;
  echo.flags = KO_EVENT_CLASS_LIVE | KO_EVENT_FLAG_XML;
  echo.source = MY_SOURCE_ID;
  echo.data = record->data;
  echo.length = record->length;
  echo.body.bodyParam = record->body.bodyParam + 1;
  submit(&echo);
  return 0;
}
