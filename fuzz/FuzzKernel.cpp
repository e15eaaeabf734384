#include "fuzz/FuzzKernel.h"

#include <sys/mman.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Zentrox {
namespace Fuzz {

int FuzzKernel::open(const char* path, int) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (nodes.count(path) == 0 && files.count(path) == 0) {
        errno = ENOENT;
        return -1;
    }
    int fd = next_fd++;
    open_fds[fd] = path;
    return fd;
}

int FuzzKernel::close(int fd) {
    if (open_fds.erase(fd) == 0) {
        double_close = true;
        errno = EBADF;
        return -1;
    }
    return 0;
}

int FuzzKernel::ioctl(int fd, unsigned long request, void* arg) {
    auto it = open_fds.find(fd);
    if (it == open_fds.end()) {
        errno = EBADF;
        return -1;
    }
    if (!ioctlHandler) {
        errno = ENOTTY;
        return -1;
    }
    return ioctlHandler(it->second, request, arg);
}

void* FuzzKernel::mmap(void*, size_t, int, int, int, off_t) {
    errno = ENODEV;
    return MAP_FAILED;
}

int FuzzKernel::munmap(void*, size_t) {
    errno = EINVAL;
    return -1;
}

int FuzzKernel::fstat(int fd, struct stat* st) {
    auto it = open_fds.find(fd);
    if (it == open_fds.end()) {
        errno = EBADF;
        return -1;
    }
    std::memset(st, 0, sizeof(*st));
    auto node = nodes.find(it->second);
    if (node != nodes.end()) {
        st->st_mode = node->second.character ? S_IFCHR : S_IFREG;
        st->st_rdev = node->second.rdev;
    } else {
        st->st_mode = S_IFREG;
    }
    return 0;
}

int FuzzKernel::listDirectory(const char* path, std::vector<std::string>& names) {
    auto it = directories.find(path);
    if (it == directories.end()) {
        errno = ENOENT;
        return -1;
    }
    names = it->second;
    return 0;
}

ssize_t FuzzKernel::readlink(const char* path, char* buf, size_t size) {
    auto it = links.find(path);
    if (it == links.end()) {
        errno = ENOENT;
        return -1;
    }
    size_t n = std::min(size, it->second.size());
    std::memcpy(buf, it->second.data(), n);
    return static_cast<ssize_t>(n);
}

bool FuzzKernel::readFile(const char* path, std::string& content) {
    auto it = files.find(path);
    if (it == files.end()) {
        errno = ENOENT;
        return false;
    }
    content = it->second;
    return true;
}

int FuzzKernel::nanosleep(const struct timespec*, struct timespec*) {
    return 0;
}

int FuzzKernel::poll(struct pollfd* fds, nfds_t count, int) {
    int ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
        fds[i].revents = open_fds.count(fds[i].fd) ? short(fds[i].events & POLLIN) : short(POLLNVAL);
        ready += fds[i].revents != 0;
    }
    return ready;
}

std::string FuzzKernel::pathOf(int fd) const {
    auto it = open_fds.find(fd);
    return it == open_fds.end() ? std::string() : it->second;
}

void FuzzKernel::requireNoLeaks() const {
    if (!open_fds.empty() || double_close) {
        std::fprintf(stderr, "fuzz kernel: %zu descriptor(s) left open, double close %d\n", open_fds.size(),
                     double_close ? 1 : 0);
        std::abort();
    }
}

}  // namespace Fuzz
}  // namespace Zentrox
