#include "system/KernelIoctl.h"

#include <errno.h>

namespace Zentrox {

int kernelIoctl(KernelSeam& seam, int fd, unsigned long request, void* arg, Retry retry) {
    if (fd < 0) {
        errno = EBADF;
        return -EBADF;
    }
    const int attempts = retry == Retry::TRANSIENT ? 5 : 1;
    for (int attempt = 1;; ++attempt) {
        const int r = seam.ioctl(fd, request, arg);
        if (r >= 0) return r;
        const int error = errno;
        const bool transient = error == EINTR || error == EAGAIN || error == ETIMEDOUT;
        if (!transient || attempt >= attempts) return error > 0 ? -error : -EIO;
    }
}

}  // namespace Zentrox
