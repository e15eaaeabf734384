// The one way the driver makes an ioctl: through a seam, with the retry rule of its caller.
#pragma once

#include "system/KernelSeam.h"

namespace Zentrox {

enum class Retry {
    // One attempt: the answer stands, whatever it is.
    ONCE,
    // Up to five attempts, the next one only after EINTR, EAGAIN or ETIMEDOUT: a driver busy for a
    // moment, or a signal, does not fail the request.
    TRANSIENT,
};

// The request's non-negative result, or -errno with errno left as the kernel set it (-EBADF, errno
// EBADF, for a negative descriptor, which is never passed on).
int kernelIoctl(KernelSeam& seam, int fd, unsigned long request, void* arg, Retry retry);

}  // namespace Zentrox
