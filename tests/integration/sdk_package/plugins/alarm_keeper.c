/*
 * AlarmKeeper.so — a plugin as an author writes it on the first day, in C,
 * with nothing but the installed SDK: it counts the cameras' alarms (not the
 * core's own memory-state alarm), logs each, tells the parent the count when
 * the parent sends it a packet, and answers alarm searches with the last
 * three alarms. Built out of tree by the SDK package test and in tree for the
 * example search client's test.
 */
#include <pthread.h>
#include <stdio.h>
#include <string.h>

#include "ko/core/plugin_api.h"

#define MY_IDENTIFIER 0x50u
#define KEPT 3u
#define KEPT_BYTES 256u
#define CMD_COUNT 0x300u

static SubmitEventFn submit;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static unsigned alarms;           /* guarded by lock */
static unsigned coreAlarms;       /* guarded by lock */
static char kept[KEPT][KEPT_BYTES]; /* guarded by lock; newest at (alarms - 1) % KEPT */
static uint32_t keptLength[KEPT];   /* guarded by lock */

static uint64_t mySource(void) { return koSourceId(MY_IDENTIFIER, 0); }

static void logText(int32_t level, const char* text) {
  EventParms record;
  koLogEventInit(&record, mySource(), level, text, (uint32_t)strlen(text));
  submit(&record);
}

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
  info->sourceId = mySource();
  info->alarmWord = KO_WANT_BIT | KO_SEARCH_BIT;
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
  char line[96];
  (void)parms;
  (void)result;
  pthread_mutex_lock(&lock);
  snprintf(line, sizeof line, "alarm keeper closed: %u camera alarms, %u from the core", alarms, coreAlarms);
  pthread_mutex_unlock(&lock);
  logText(25, line);
}

KO_PLUGIN_EXPORT int OnEvent(EventParms* record) {
  char line[KEPT_BYTES + 64];
  uint32_t length = record->data != NULL ? record->length : 0u;
  if (koEventBaseType(record->type) != KO_EVENT_ALARM) return 0;
  if (length >= KEPT_BYTES) length = KEPT_BYTES - 1u;
  pthread_mutex_lock(&lock);
  if (koIsCoreRecord(record)) {
    /* The core's memory-state document, not a camera's alarm. */
    ++coreAlarms;
    pthread_mutex_unlock(&lock);
    snprintf(line, sizeof line, "core memory state: %.*s", (int)length, (const char*)record->data);
    logText(25, line);
    return 0;
  }
  memcpy(kept[alarms % KEPT], record->data, length);
  keptLength[alarms % KEPT] = length;
  ++alarms;
  snprintf(line, sizeof line, "alarm %u from %02x channel %u: %.*s", alarms, koSourceIdentifier(record->source),
           koSourceChannel(record->source), (int)length, (const char*)record->data);
  pthread_mutex_unlock(&lock);
  logText(25, line);
  return 0;
}

KO_PLUGIN_EXPORT void OnSearch(EventParms* request) {
  char copies[KEPT][KEPT_BYTES];
  uint32_t lengths[KEPT];
  unsigned count = 0, sent = 0, i;
  char line[96];
  /* Every plugin with "OnSearch" is asked, whatever was searched for. */
  if (koEventBaseType(request->type) != KO_EVENT_ALARM) {
    snprintf(line, sizeof line, "alarm keeper left search %u for type %u unanswered",
             (unsigned)(uint32_t)request->requestId, (unsigned)koEventBaseType(request->type));
    logText(25, line);
    return;
  }
  pthread_mutex_lock(&lock);
  for (i = 0; i < KEPT && i < alarms; ++i) {
    const unsigned slot = (alarms - 1u - i) % KEPT; /* newest first */
    memcpy(copies[i], kept[slot], keptLength[slot]);
    lengths[i] = keptLength[slot];
    ++count;
  }
  pthread_mutex_unlock(&lock);
  for (i = 0; i < count; ++i) {
    EventParms result;
    koEventInit(&result);
    result.type = KO_EVENT_ALARM;
    result.flags = KO_EVENT_CLASS_STORED | KO_EVENT_FLAG_XML;
    result.source = mySource();
    result.requestId = request->requestId;
    result.data = copies[i];
    result.length = lengths[i];
    if (submit(&result) != 0) break; /* cancelled, or the core is stopping */
    ++sent;
  }
  snprintf(line, sizeof line, "alarm keeper answered search %u with %u of %u alarms",
           (unsigned)(uint32_t)request->requestId, sent, count);
  logText(25, line);
}

/* A packet from the parent: answer with the count, to the same command + 1. */
KO_PLUGIN_EXPORT void OnIpcResult(const void* packet, uint64_t length) {
  IpcPacketHeader header;
  unsigned char reply[KO_IPC_HEADER_SIZE + 32];
  EventParms record;
  unsigned count;
  int text;
  if (!koIpcReadHeader(packet, length, &header)) return;
  pthread_mutex_lock(&lock);
  count = alarms;
  pthread_mutex_unlock(&lock);
  text = snprintf((char*)reply + KO_IPC_HEADER_SIZE, sizeof reply - KO_IPC_HEADER_SIZE, "alarms:%u", count);
  koIpcWriteHeader(reply, KO_IPC_HEADER_SIZE + (uint32_t)text, koIpcTarget(MY_IDENTIFIER), header.command + 1u,
                   header.word3);
  koEventInit(&record);
  record.type = KO_EVENT_IPC;
  record.source = mySource();
  record.data = reply;
  record.length = KO_IPC_HEADER_SIZE + (uint32_t)text;
  submit(&record);
}
