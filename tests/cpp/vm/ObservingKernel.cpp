#include "tests/cpp/vm/ObservingKernel.h"

#include <errno.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

namespace Zentrox {

int ObservingKernel::ioctl(int fd, unsigned long request, void* arg) {
    const int result = inner.ioctl(fd, request, arg);
    if (request == VIDIOC_DQBUF) {
        if (result == 0) {
            const v4l2_buffer* buf = static_cast<const v4l2_buffer*>(arg);
            dequeued.push_back(int64_t(buf->timestamp.tv_sec) * 1000000 + buf->timestamp.tv_usec);
        } else {
            const int saved = errno;
            ++dequeueFailures;
            errno = saved;
        }
    }
    return result;
}

void* ObservingKernel::mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    void* result = inner.mmap(addr, length, prot, flags, fd, offset);
    if (result != MAP_FAILED) {
        ++mappings;
    }
    return result;
}

int ObservingKernel::munmap(void* addr, size_t length) {
    const int result = inner.munmap(addr, length);
    ++unmappings;
    if (result != 0) {
        ++unmapFailures;
    }
    return result;
}

}  // namespace Zentrox
