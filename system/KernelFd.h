// Move-only owners of a descriptor and of a memory mapping obtained through the kernel seam.
// Each releases its resource once, through the seam it was obtained from (the one in force when the
// owner was made, unless one is named); a released owner reads -1 / null.
#pragma once

#include <cstddef>
#include <utility>

#include "system/KernelIoctl.h"
#include "system/KernelSeam.h"

namespace Zentrox {

class KernelFd {
  public:
    KernelFd() = default;
    explicit KernelFd(int fd, KernelSeam& seam = kernel()) : fd(fd), seam(&seam) {}
    ~KernelFd() { reset(); }
    KernelFd(KernelFd&& other) noexcept : fd(std::exchange(other.fd, -1)), seam(other.seam) {}
    KernelFd& operator=(KernelFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd = std::exchange(other.fd, -1);
            seam = other.seam;
        }
        return *this;
    }
    KernelFd(const KernelFd&) = delete;
    KernelFd& operator=(const KernelFd&) = delete;

    int get() const { return fd; }
    bool valid() const { return fd >= 0; }
    // The one ioctl of every owner of a kernel node (see kernelIoctl): its non-negative result, or
    // -errno; -EBADF when nothing is held.
    int ioctl(unsigned long request, void* arg, Retry retry = Retry::TRANSIENT) const {
        return kernelIoctl(seam ? *seam : kernel(), fd, request, arg, retry);
    }
    KernelSeam& kernelSeam() const { return seam ? *seam : kernel(); }
    // Closes the descriptor if one is held; the owner reads -1 afterwards whatever close reported
    // (Linux releases the descriptor even when close fails). Returns close's result, 0 when empty.
    int reset() {
        if (fd < 0) return 0;
        int held = std::exchange(fd, -1);
        return seam->close(held);
    }

  private:
    int fd = -1;
    KernelSeam* seam = nullptr;
};

class KernelMapping {
  public:
    KernelMapping() = default;
    KernelMapping(void* address, size_t length, KernelSeam& seam = kernel())
        : address(address), length(length), seam(&seam) {}
    ~KernelMapping() { unmap(); }
    KernelMapping(KernelMapping&& other) noexcept
        : address(std::exchange(other.address, nullptr)),
          length(std::exchange(other.length, 0)),
          seam(other.seam) {}
    KernelMapping& operator=(KernelMapping&& other) noexcept {
        if (this != &other) {
            unmap();
            address = std::exchange(other.address, nullptr);
            length = std::exchange(other.length, 0);
            seam = other.seam;
        }
        return *this;
    }
    KernelMapping(const KernelMapping&) = delete;
    KernelMapping& operator=(const KernelMapping&) = delete;

    void* data() const { return address; }
    size_t size() const { return length; }
    bool mapped() const { return address != nullptr; }
    // Unmaps; the owner keeps the mapping when munmap fails so that a later call can retry.
    int unmap() {
        if (!address) return 0;
        if (seam->munmap(address, length) != 0) return -1;
        address = nullptr;
        length = 0;
        return 0;
    }

  private:
    void* address = nullptr;
    size_t length = 0;
    KernelSeam* seam = nullptr;
};

}  // namespace Zentrox
