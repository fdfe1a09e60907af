#include "BridgeKit/BridgePrinter.h"

namespace BridgeKit {

BridgePrinter::~BridgePrinter() = default;

}  // namespace BridgeKit
