// A plugin that only loads: it names itself with PROBE_SOURCE_ID and answers
// "Load" with PROBE_LOAD_CODE, so the inventory sees a loaded plugin or a
// refused load as the build chooses.
#include "ko/core/event.hpp"

namespace {
constexpr uint64_t SourceId = PROBE_SOURCE_ID;
constexpr int32_t LoadCode = PROBE_LOAD_CODE;
}  // namespace

KO_PLUGIN_EXPORT int32_t Load(ko::core::LoadParms*, ko::core::PluginInfo* info) {
  info->sourceId = SourceId;
  return LoadCode;
}
KO_PLUGIN_EXPORT void Unload(ko::core::UnloadParms*, ko::core::UnloadResult*) {}
KO_PLUGIN_EXPORT void Open(ko::core::OpenParms*, ko::core::OpenResult*) {}
KO_PLUGIN_EXPORT void Close(ko::core::CloseParms*, ko::core::CloseResult*) {}
