// The crypto event service. Until it lands, crypto requests are refused.
#include "core/dvr_core.h"

namespace ko::core {

int32_t DvrCore::onCryptoEvent(EventParms& /*record*/) { return -1; }

}  // namespace ko::core
