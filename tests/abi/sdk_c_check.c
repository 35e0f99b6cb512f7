/* Compiled as C only: the SDK's records, constants and assertions are usable
 * from a plugin written in C. */
#include <string.h>

#include "ko/core/plugin_api.h"

int koSdkCheckBuildRecord(EventParms* record, const PluginInfo* info);

int koSdkCheckBuildRecord(EventParms* record, const PluginInfo* info) {
  memset(record, 0, sizeof *record);
  record->size = KO_EVENT_SIZE;
  record->version = KO_EVENT_VERSION;
  record->body.size = KO_EVENT_BODY_SIZE;
  record->body.version = KO_EVENT_BODY_VERSION;
  record->type = KO_EVENT_LOG;
  record->flags = KO_EVENT_CLASS_LIVE | KO_EVENT_FLAG_TEXT;
  record->source = info->sourceId;
  return (info->videoWord & KO_WANT_BIT) != 0;
}
