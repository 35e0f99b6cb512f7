// A plugin that starts a thread and opens a descriptor in "Open" and leaves
// both behind: the thread blocks on the descriptor for good, so it never
// runs code of the unloaded file.
#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>

#include "ko/core/event.hpp"

using namespace ko::core;

KO_PLUGIN_EXPORT int32_t Load(LoadParms*, PluginInfo* info) {
  info->sourceId = koSourceId(0x5e, 0);
  return 0;
}
KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {}
KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {
  const int never = eventfd(0, EFD_CLOEXEC);
  std::thread([never] {
    uint64_t value = 0;
    while (read(never, &value, sizeof value) < 0) {
    }
  }).detach();
}
KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {}
KO_PLUGIN_EXPORT int OnEvent(EventParms*) { return 0; }
