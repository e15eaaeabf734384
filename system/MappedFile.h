// A whole file mapped read-only and shared, together with its descriptor. Move-only; the mapping and
// the descriptor are released exactly once (at release() or destruction), through the seam they came
// from; afterwards descriptor() reads -1 and data() null.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/KernelSeam.h"

namespace Zentrox {

class MappedFile {
  public:
    MappedFile() = default;
    ~MappedFile() { release(); }
    MappedFile(MappedFile&& other) noexcept { take(other); }
    MappedFile& operator=(MappedFile&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Maps `path` (relative names resolve in the working directory). Nothing is kept, and the result
    // is empty, when the file cannot be opened, is not a regular file, is empty, does not fit a 32-bit
    // length, or cannot be mapped. The name is opened without waiting, so a FIFO or a device node
    // cannot hold the caller; `notRegular`, when given, tells whether something that is not a regular
    // file has the name.
    // Every call goes through `seam`, the release too.
    static MappedFile openReadOnly(const char* path, bool* notRegular = nullptr, KernelSeam& seam = kernel());

    void release();
    bool mapped() const { return map != nullptr; }
    const uint8_t* data() const { return static_cast<const uint8_t*>(map); }
    uint32_t size() const { return uint32_t(length); }
    int descriptor() const { return fd; }

  private:
    void take(MappedFile& other) {
        seam = other.seam;
        fd = other.fd;
        map = other.map;
        length = other.length;
        other.fd = -1;
        other.map = nullptr;
        other.length = 0;
    }

    KernelSeam* seam = nullptr;
    int fd = -1;
    void* map = nullptr;
    size_t length = 0;
};

}  // namespace Zentrox
