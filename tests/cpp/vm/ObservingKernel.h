// A seam that forwards every call to another seam and keeps what the capture checks need to see of
// the conversation: the timestamps of the dequeued buffers and failed unmappings.
#pragma once

#include <cstdint>
#include <vector>

#include "system/KernelSeam.h"

namespace Zentrox {

class ObservingKernel : public KernelSeam {
  public:
    explicit ObservingKernel(KernelSeam& inner) : inner(inner) {}

    int open(const char* path, int flags) override { return inner.open(path, flags); }
    int close(int fd) override { return inner.close(fd); }
    int ioctl(int fd, unsigned long request, void* arg) override;
    void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
    int munmap(void* addr, size_t length) override;
    int fstat(int fd, struct stat* st) override { return inner.fstat(fd, st); }
    int listDirectory(const char* path, std::vector<std::string>& names) override {
        return inner.listDirectory(path, names);
    }
    ssize_t readlink(const char* path, char* buf, size_t size) override {
        return inner.readlink(path, buf, size);
    }
    bool readFile(const char* path, std::string& content) override { return inner.readFile(path, content); }
    int poll(struct pollfd* fds, nfds_t count, int timeout_ms) override {
        return inner.poll(fds, count, timeout_ms);
    }
    int nanosleep(const struct timespec* request, struct timespec* remaining) override {
        return inner.nanosleep(request, remaining);
    }

    // Timestamps (us) of every successful VIDIOC_DQBUF, in order; reserved up front so that recording
    // allocates nothing while streaming.
    std::vector<int64_t> dequeued;
    int dequeueFailures = 0;
    int mappings = 0;
    int unmappings = 0;
    int unmapFailures = 0;

  private:
    KernelSeam& inner;
};

}  // namespace Zentrox
