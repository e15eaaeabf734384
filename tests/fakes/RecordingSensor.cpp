#include "tests/fakes/RecordingSensor.h"

#include "tests/fakes/ReportGeometry.h"

namespace Zentrox {

int RecordingSensor::open(CameraInfo& out) {
    reportGeometry(info, out);
    return ZentroxSuccess;
}

int RecordingSensor::getFrame(uint8_t*, uint64_t*) {
    return ZentroxUnkownError;
}

int RecordingSensor::setControl(CameraCtrl ctrl, int value) {
    calls.push_back(Call{true, ctrl, value});
    return answer_status;
}

int RecordingSensor::getControl(CameraCtrl ctrl, int* value) {
    if (answer_status == ZentroxSuccess) *value = answer_value;
    calls.push_back(Call{false, ctrl, answer_value});
    return answer_status;
}

}  // namespace Zentrox
