// A sensor double that records the control calls it receives and answers getControl with a
// configurable status and value. It delivers no frames.
#pragma once

#include <vector>

#include "sensor/ZentroxTOFSensor.h"

namespace Zentrox {

class RecordingSensor : public ZentroxTOFSensor {
  public:
    struct Call {
        bool set;  // setControl, else getControl
        CameraCtrl ctrl;
        int value;  // the value set, or the value answered
    };

    int open(CameraInfo& info) override;
    int close() override { return ZentroxSuccess; }
    int start() override { return ZentroxSuccess; }
    int stop() override { return ZentroxSuccess; }
    CameraInfo getCameraInfo() override { return info; }
    int getFrame(uint8_t* data, uint64_t* timestamp) override;
    int setControl(CameraCtrl ctrl, int value) override;
    int getControl(CameraCtrl ctrl, int* value) override;

    CameraInfo info{};
    int answer_status = ZentroxSuccess;  // result of getControl and setControl
    int answer_value = 0;                // written by getControl when answer_status is 0
    std::vector<Call> calls;
};

}  // namespace Zentrox
