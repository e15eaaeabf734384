#include "system/KernelSeam.h"
#include "system/TextLines.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace Zentrox {

namespace {
LibcKernel libcKernel;
std::atomic<KernelSeam*> current{&libcKernel};
}  // namespace

int64_t KernelSeam::monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int LibcKernel::open(const char* path, int flags) {
    return ::open(path, flags);
}
int LibcKernel::close(int fd) {
    return ::close(fd);
}
int LibcKernel::ioctl(int fd, unsigned long request, void* arg) {
    return ::ioctl(fd, request, arg);
}

void* LibcKernel::mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    return ::mmap(addr, length, prot, flags, fd, offset);
}

int LibcKernel::munmap(void* addr, size_t length) {
    return ::munmap(addr, length);
}
int LibcKernel::fstat(int fd, struct stat* st) {
    return ::fstat(fd, st);
}

int LibcKernel::listDirectory(const char* path, std::vector<std::string>& names) {
    struct dirent** list = nullptr;
    int n = ::scandir(path, &list, nullptr, nullptr);
    if (n < 0) return -1;
    names.clear();
    for (int i = 0; i < n; ++i) {
        names.emplace_back(list[i]->d_name);
        std::free(list[i]);
    }
    std::free(list);
    return 0;
}

ssize_t LibcKernel::readlink(const char* path, char* buf, size_t size) {
    return ::readlink(path, buf, size);
}

bool LibcKernel::readFile(const char* path, std::string& content) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    content.clear();
    char chunk[4096];
    constexpr size_t kLimit = 1 << 20;  // sysfs and procfs texts are small; never read without bound
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            int saved = errno;
            ::close(fd);
            errno = saved;
            return false;
        }
        if (n == 0 || content.size() >= kLimit) break;
        content.append(chunk, size_t(n));
    }
    ::close(fd);
    return true;
}

int LibcKernel::nanosleep(const struct timespec* request, struct timespec* remaining) {
    return ::nanosleep(request, remaining);
}

int LibcKernel::poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
    return ::poll(fds, count, timeout_ms);
}

KernelSeam& kernel() {
    return *current.load(std::memory_order_acquire);
}

ScopedKernel::ScopedKernel(KernelSeam& seam) : previous(current.exchange(&seam, std::memory_order_acq_rel)) {}

ScopedKernel::~ScopedKernel() {
    current.store(previous, std::memory_order_release);
}

bool readTextLines(const char* path, size_t bufferSize, std::vector<std::string>& lines) {
    return readTextLines(kernel(), path, bufferSize, lines);
}

bool readTextLines(KernelSeam& seam, const char* path, size_t bufferSize, std::vector<std::string>& lines) {
    lines.clear();
    std::string content;
    if (!seam.readFile(path, content)) return false;
    const size_t piece = bufferSize > 1 ? bufferSize - 1 : 1;
    size_t at = 0;
    while (at < content.size()) {
        size_t end = std::min(content.size(), at + piece);
        size_t newline = content.find('\n', at);
        if (newline != std::string::npos && newline < end) end = newline + 1;
        lines.emplace_back(content, at, end - at);
        at = end;
    }
    return true;
}

}  // namespace Zentrox
