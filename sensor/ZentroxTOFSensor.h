// The transport between the camera and the physical module: CSI (Video4Linux2) or the USB kit.
// A sensor delivers raw frames only; one camera frame is `subFrameCount` sub-frames laid end to end.
#pragma once

#include <cstdint>

#include "ZentroxTypes.h"

namespace Zentrox {

class ZentroxTOFSensor {
public:
    virtual ~ZentroxTOFSensor() = default;
    // Opens the transport and fills width, height, bit_width and bpp of `info`; keeps a copy.
    virtual int open(CameraInfo& info) = 0;
    virtual int close() = 0;
    virtual int start() = 0;
    virtual int stop() = 0;
    virtual CameraInfo getCameraInfo() = 0;
    // Blocks until one camera frame has been copied into `data`; its time in ms goes to *timestamp.
    virtual int getFrame(uint8_t* data, uint64_t* timestamp) = 0;
    virtual int setControl(CameraCtrl ctrl, int value) = 0;
    virtual int getControl(CameraCtrl ctrl, int* value) = 0;

    int32_t subFrameCount = 1;
};

}  // namespace Zentrox
