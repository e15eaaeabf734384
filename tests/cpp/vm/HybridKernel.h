// The kernel seam of the capture program: the video node goes to the real kernel (every call on its
// descriptor and every mapping of it), everything else to a fake kernel that plays the board around
// it: media node, sub-devices, sysfs, procfs, I2C and sleeping. vivid has no sensor sub-device and
// no I2C controller, so the transport meets a real capture driver inside a fake pipeline.
#pragma once

#include <set>
#include <string>

#include "system/KernelSeam.h"

namespace Zentrox {

class HybridKernel : public KernelSeam {
  public:
    HybridKernel(KernelSeam& real, KernelSeam& fake, std::string videoPath)
        : real(real), fake(fake), videoPath(std::move(videoPath)) {}

    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
    int munmap(void* addr, size_t length) override;
    int fstat(int fd, struct stat* st) override;
    int listDirectory(const char* path, std::vector<std::string>& names) override;
    ssize_t readlink(const char* path, char* buf, size_t size) override;
    bool readFile(const char* path, std::string& content) override;
    int nanosleep(const struct timespec* request, struct timespec* remaining) override;
    // The video node's readiness comes from the real kernel, anything else's from the fake.
    int poll(struct pollfd* fds, nfds_t count, int timeout_ms) override;

    // Descriptors of the video node open in the real kernel.
    size_t realDescriptors() const { return realFds.size(); }

  private:
    KernelSeam& seamOf(int fd) { return realFds.count(fd) ? real : fake; }

    KernelSeam& real;
    KernelSeam& fake;
    std::string videoPath;
    std::set<int> realFds;
    std::set<void*> realMappings;
};

}  // namespace Zentrox
