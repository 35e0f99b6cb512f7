// Configuration loading and publication. Until the configuration model lands
// the core runs on its built-in defaults and publishes nothing.
#include "core/dvr_core.h"

namespace ko::core {

void DvrCore::loadConfig() {}
void DvrCore::publishConfig() {}
void DvrCore::publishMemoryState() {}
void DvrCore::configDeltaHook(const EventParms& /*record*/) {}

}  // namespace ko::core
