// The capture sequence of the CSI transport on the video node alone, in plain V4L2 calls through the
// kernel seam: open and capability check, format, 8 mapped buffers, streaming, sub-frame grouping
// with the 5 ms re-synchronisation rule, stream off and unmapping. It drives vivid in the VM until
// the transport itself runs there, and keeps the sound choices where real drivers demand them:
// the format the driver settled on is compared with the one asked for, and stop gives the buffers
// back (a driver refuses a new format while buffers are allocated).
#pragma once

#include <cstddef>
#include <cstdint>

#include "ZentroxTOFSensor.h"

namespace Zentrox {

class ReferenceCapture : public ZentroxTOFSensor {
  public:
    ReferenceCapture(const char* devicePath, bool multiPlane, uint32_t pixelFormat);

    int open(CameraInfo& info) override;
    int close() override;
    int start() override;
    int stop() override;
    CameraInfo getCameraInfo() override { return info; }
    int getFrame(uint8_t* data, uint64_t* timestamp) override;
    int setControl(CameraCtrl ctrl, int value) override;
    int getControl(CameraCtrl ctrl, int* value) override;

  private:
    int configureFormat();
    int xioctl(unsigned long request, void* arg);

    const char* devicePath;
    uint32_t bufType;
    uint32_t pixelFormat;
    int videoFd = -1;
    void* buffers[8] = {};
    size_t lengths[8] = {};
    CameraInfo info{};
    int64_t prevSec = 0;
    int64_t prevUsec = 0;
};

}  // namespace Zentrox
