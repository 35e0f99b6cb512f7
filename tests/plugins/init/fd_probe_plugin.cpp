// A plugin that starts a shell, as plugins do with system(), which lists the
// descriptors it inherited, "ls -l /proc/self/fd", into a file of the working
// directory: "fds-open-<tag>" from "Open" and "fds-event-<tag>" from its
// first "OnEvent" (each written under another name, then renamed). Built
// once as a plain plugin and once to be installed as the logging plugin,
// which opens during initialisation.
#include <cstdlib>
#include <mutex>
#include <string>

#include "ko/core/event.hpp"

#ifndef PROBE_TAG
#define PROBE_TAG "plugin"
#endif
#ifndef PROBE_ID
#define PROBE_ID 0x3e
#endif

using namespace ko::core;

namespace {

std::mutex lock;
bool listedFromEvent = false;

void listDescriptors(const std::string& where) {
  const std::string file = std::string("fds-") + where + "-" + PROBE_TAG;
  const std::string command = "ls -l /proc/self/fd > " + file + ".part && mv " + file + ".part " + file;
  (void)!std::system(command.c_str());
}

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms*, PluginInfo* info) {
  info->sourceId = static_cast<uint32_t>(PROBE_ID) << 16;
  info->logWord = WantBit;
  return 0;
}

KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) { listDescriptors("open"); }

KO_PLUGIN_EXPORT int OnEvent(EventParms*) {
  {
    std::lock_guard held(lock);
    if (listedFromEvent) return 0;
    listedFromEvent = true;
  }
  listDescriptors("event");
  return 0;
}

KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {}
KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {}
