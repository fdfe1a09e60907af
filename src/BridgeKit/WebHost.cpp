#include "BridgeKit/WebHost.h"

// The only file that sees the build-time value, so that changing it rebuilds this file alone.
#ifndef KELM_WEB_HOST
#error "KELM_WEB_HOST must be defined by the build"
#endif

namespace BridgeKit {

std::string_view webHost() { return KELM_WEB_HOST; }

}  // namespace BridgeKit
