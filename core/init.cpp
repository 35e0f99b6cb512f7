// Initialisation: runs once on the main thread before Run.
#include "core/dvr_core.h"

namespace ko::core {

bool DvrCore::Init(int /*pipeFd*/) {
  // Identity, capabilities and the IPC descriptor are taken over by the
  // initialisation work still to land; the logging plugin is bound here.
  bindLogPlugin();
  return true;
}

}  // namespace ko::core
