// A V4L2 sub-device of the capture path (a receiver or the sensor itself): its pad format and, on the
// sensor, the driver's controls.
#pragma once

#include <cstdint>
#include <utility>

#include "system/KernelFd.h"

namespace Zentrox {

class SubDevice {
  public:
    SubDevice() = default;
    explicit SubDevice(KernelFd node) : fd(std::move(node)) {}

    int get() const { return fd.get(); }
    bool valid() const { return fd.valid(); }
    int reset() { return fd.reset(); }

    // Sets the active format of pad 0 to `width` x `height` 12-bit greyscale; 0 or -errno.
    int setFormat(uint32_t width, uint32_t height);
    // Reads the format of pad 0, in one attempt: a sensor that does not answer at once is not
    // asked again. 0 or -errno.
    int getFormat(uint32_t& width, uint32_t& height);
    // A driver control; 0, or -errno after a message on standard error.
    int setControl(uint32_t id, int value);
    int getControl(uint32_t id, int& value);

  private:
    KernelFd fd;
};

}  // namespace Zentrox
