/* Compiled as C only: the SDK's records, constants and assertions are usable
 * from a plugin written in C. */
#include "ko/core/plugin_api.h"

int koSdkCheckBuildRecord(EventParms* record, const PluginInfo* info);

int koSdkCheckBuildRecord(EventParms* record, const PluginInfo* info) {
  koEventInit(record);
  record->type = KO_EVENT_LOG;
  record->flags = KO_EVENT_CLASS_LIVE | KO_EVENT_FLAG_TEXT;
  record->source = info->sourceId;
  return (info->videoWord & KO_WANT_BIT) != 0;
}
