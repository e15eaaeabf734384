#include "ZentroxTypes.h"

namespace Zentrox {

const char* to_str(TofErrorCode code) {
    switch (static_cast<int32_t>(code)) {
        case ZentroxSuccess: return "Success";
        case ZentroxInvalidParameter: return "Invalid parameter";
        case ZentroxNoCache: return "No cache";
        case ZentroxUnkownDevice: return "Unkown device";
        case ZentroxNotImplemented: return "Not implemented";
        case ZentroxSkipFrame: return "Skip frame";
        case ZentroxSystemError: return "System error";
        default: return "Unknown error";
    }
}

}  // namespace Zentrox
