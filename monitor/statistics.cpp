// The periodic statistics report. Still to land: the report is not written.
#include "core/dvr_core.h"

namespace ko::core {

void DvrCore::reportStatistics() {}

}  // namespace ko::core
