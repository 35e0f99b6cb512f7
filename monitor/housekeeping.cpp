// The 250 ms housekeeping tick (io thread). Memory throttling, the clock watch
// and the statistics report are still to land.
#include "core/dvr_core.h"

namespace ko::core {

void DvrCore::housekeepingTick() {}
void DvrCore::updateThrottle(bool /*low*/) {}

}  // namespace ko::core
