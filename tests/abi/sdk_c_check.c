/* Compiled as C only: the SDK's records, constants and assertions are usable
 * from a plugin written in C. */
#include "ko/core/plugin_api.h"

int koSdkCheckBuildRecord(EventParms* record, const PluginInfo* info);
int koSdkCheckHelpers(EventParms* record, unsigned char* packet);
int koSdkCheckRelease(EventParms* record, const void* payload);

int koSdkCheckBuildRecord(EventParms* record, const PluginInfo* info) {
  koEventInit(record);
  record->type = KO_EVENT_LOG;
  record->flags = KO_EVENT_CLASS_LIVE | KO_EVENT_FLAG_TEXT;
  record->source = info->sourceId;
  return (info->videoWord & KO_WANT_BIT) != 0;
}

/* The helpers, from C: source ids, targets, packet headers, log records. */
int koSdkCheckHelpers(EventParms* record, unsigned char* packet) {
  IpcPacketHeader header;
  koLogEventInit(record, koSourceId(0x12, 3), 50, "text", 4);
  koIpcWriteHeader(packet, 20, koIpcTarget(koSourceIdentifier(record->source)), 0x100, 0);
  return koIpcReadHeader(packet, 20, &header) && koIpcTargetIdentifier(header.target) == 0x12 &&
         koSourceChannel(record->source) == 3 && !koIsCoreRecord(record) &&
         koEventBaseType(record->type | KO_EVENT_TYPE_MODIFIER) == KO_EVENT_LOG;
}

/* A release record and the crypto constants, from C. */
int koSdkCheckRelease(EventParms* record, const void* payload) {
  koDecrefEventInit(record, koSourceId(0x12, 0), payload);
  return record->type == KO_EVENT_DECREF && record->data == payload && KO_CRYPTO_ENCIPHER != KO_CRYPTO_DECIPHER &&
         KO_CRYPTO_NOTHING_DECIPHERED < KO_CRYPTO_OK;
}
