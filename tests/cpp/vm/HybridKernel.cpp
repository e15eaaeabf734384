#include "tests/cpp/vm/HybridKernel.h"

#include <sys/mman.h>

namespace Zentrox {

int HybridKernel::open(const char* path, int flags) {
    if (videoPath != path) {
        return fake.open(path, flags);
    }
    const int fd = real.open(path, flags);
    if (fd >= 0) {
        realFds.insert(fd);
    }
    return fd;
}

int HybridKernel::close(int fd) {
    if (realFds.erase(fd)) {
        return real.close(fd);
    }
    return fake.close(fd);
}

int HybridKernel::ioctl(int fd, unsigned long request, void* arg) {
    return seamOf(fd).ioctl(fd, request, arg);
}

void* HybridKernel::mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    if (!realFds.count(fd)) {
        return fake.mmap(addr, length, prot, flags, fd, offset);
    }
    void* mapped = real.mmap(addr, length, prot, flags, fd, offset);
    if (mapped != MAP_FAILED) {
        realMappings.insert(mapped);
    }
    return mapped;
}

int HybridKernel::munmap(void* addr, size_t length) {
    if (!realMappings.count(addr)) {
        return fake.munmap(addr, length);
    }
    const int result = real.munmap(addr, length);
    if (result == 0) {
        realMappings.erase(addr);
    }
    return result;
}

int HybridKernel::fstat(int fd, struct stat* st) {
    return seamOf(fd).fstat(fd, st);
}

int HybridKernel::listDirectory(const char* path, std::vector<std::string>& names) {
    return fake.listDirectory(path, names);
}

ssize_t HybridKernel::readlink(const char* path, char* buf, size_t size) {
    return fake.readlink(path, buf, size);
}

bool HybridKernel::readFile(const char* path, std::string& content) {
    return fake.readFile(path, content);
}

int HybridKernel::poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
    if (count > 0 && realFds.count(fds[0].fd)) return real.poll(fds, count, timeout_ms);
    return fake.poll(fds, count, timeout_ms);
}

int HybridKernel::nanosleep(const struct timespec* request, struct timespec* remaining) {
    return fake.nanosleep(request, remaining);
}

}  // namespace Zentrox
