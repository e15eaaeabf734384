// The one place where the result of a failed kernel request (-errno as KernelFd::ioctl returns it,
// an errno, or any other non-zero result) becomes a status code of the sensor's operations.
//
// The code depends on what the request was part of, never on the errno: the same EINVAL means a
// refused format in one place and a dead node in another, and callers act on the operation that
// failed. A request that configures the stream (formats, buffers, controls) or waits for one frame
// leaves the device usable and fails with ZentroxUnkownError; one that opens or queries the device,
// turns streaming on or off, hands buffers back to the driver or talks to the module fails with
// ZentroxSystemError.
#pragma once

#include "ZentroxTypes.h"

namespace Zentrox {

enum class KernelRequest {
    SETTING,  // formats, buffer allocation and mapping, controls, taking a filled buffer
    DEVICE,   // opening and querying, streaming on and off, re-queueing, the module's bus
};

// ZentroxSuccess for 0; for any other result the code of the request's kind.
constexpr int statusFromErrno(int err, KernelRequest request) {
    if (err == 0) return ZentroxSuccess;
    return request == KernelRequest::SETTING ? ZentroxUnkownError : ZentroxSystemError;
}

}  // namespace Zentrox
