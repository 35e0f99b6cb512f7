// Installed as the logging plugin, which the core loads as the last step of
// its initialisation: at "Load" it copies the Uid, Gid, Groups, CapEff,
// CapPrm and CapInh lines of /proc/self/status and a "Dumpable:" line (the
// process's dumpable flag) into "identity-at-load" in the working directory
// (written under another name, then renamed, so a reader never sees half of
// it).
// Built with KO_PROBE_STOPS_CORE it then sends the core SIGTERM, as a parent
// would that stops the core before it is ready for signals.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "ko/core/event.hpp"

#define KO_EXPORT extern "C" __attribute__((visibility("default")))

using namespace ko::core;

KO_EXPORT int32_t Load(LoadParms*, PluginInfo* info) {
  info->sourceId = 0x3f0000;
  std::ifstream status("/proc/self/status");
  std::string line;
  std::string kept;
  for (const char* name : {"Uid:", "Gid:", "Groups:", "CapInh:", "CapPrm:", "CapEff:"}) {
    status.clear();
    status.seekg(0);
    while (std::getline(status, line)) {
      if (line.rfind(name, 0) == 0) kept += line + "\n";
    }
  }
  kept += "Dumpable:\t" + std::to_string(::prctl(PR_GET_DUMPABLE)) + "\n";
  {
    std::ofstream out("identity-at-load.part");
    out << kept;
  }
  std::rename("identity-at-load.part", "identity-at-load");
#ifdef KO_PROBE_STOPS_CORE
  ::kill(::getpid(), SIGTERM);
#endif
  return 0;
}

KO_EXPORT void Unload(UnloadParms*, UnloadResult*) {}
KO_EXPORT void Open(OpenParms*, OpenResult*) {}
KO_EXPORT void Close(CloseParms*, CloseResult*) {}
