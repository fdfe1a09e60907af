#pragma once

#include <string_view>

namespace BridgeKit {

// The web application's host name, without scheme, port or path; fixed at build time by the CMake
// cache variable KELM_WEB_HOST.
std::string_view webHost();

}  // namespace BridgeKit
