// The control surface of the camera: the skip rule and the automatic frame-rate switch are answered
// here, FRAME_RATE is checked against the device's limit, everything else goes to the device.
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "ZentroxTOFCamera.h"
#include "device/ZentroxDevice.h"

namespace Zentrox {

int ZentroxTOFCamera::setControl(CameraCtrl ctrl, int value) {
    switch (ctrl) {
        case CameraCtrl::SKIP_FRAME:
            skipFrame.store(value, std::memory_order_relaxed);
            return ZentroxSuccess;
        case CameraCtrl::SKIP_FRAME_LOOP:
            skipFrameLoop.store(value, std::memory_order_relaxed);
            return ZentroxSuccess;
        case CameraCtrl::AUTO_FRAME_RATE:
            autoFrameRate.store(value != 0, std::memory_order_relaxed);
            return ZentroxSuccess;
        default:
            break;
    }
    if (!hasBackend()) return ZentroxUnkownError;
    if (ctrl == CameraCtrl::FRAME_RATE) {
        // The device's answer for FRAME_RATE is the highest rate that may be set now.
        int limit = 0;
        int result = device->getControl(CameraCtrl::FRAME_RATE, &limit);
        if (result != 0) return result;
        if (value > limit || value <= 0) return ZentroxInvalidParameter;
    }
    return device->setControl(ctrl, value);
}

int ZentroxTOFCamera::getControl(CameraCtrl ctrl, int* value) {
    if (value == nullptr) return ZentroxInvalidParameter;
    if (ctrl == CameraCtrl::AUTO_FRAME_RATE) {
        *value = autoFrameRate.load(std::memory_order_relaxed) ? 1 : 0;
        return ZentroxSuccess;
    }
    // SKIP_FRAME and SKIP_FRAME_LOOP are kept here when set, but read back from the device.
    if (!hasBackend()) return ZentroxUnkownError;
    return device->getControl(ctrl, value);
}

int ZentroxTOFCamera::setControlExt(CameraCtrl ctrl, const char* value) {
    if (value == nullptr) return ZentroxInvalidParameter;
    if (!hasBackend()) return ZentroxUnkownError;
    return device->setControlExt(ctrl, value);
}

// No text control is readable through the camera: success, *value untouched, device not consulted.
int ZentroxTOFCamera::getControlExt(CameraCtrl, const char**) {
    return ZentroxSuccess;
}

void ZentroxTOFCamera::adjustFrameRate() {
    float measured = fps.load(std::memory_order_relaxed);
    int target = 1;
    if (std::isfinite(measured)) {
        float whole = std::floor(measured);
        if (whole >= 1.0f && whole < 2147483648.0f) target = int(whole);
    }
    int current = 0;
    getControl(CameraCtrl::FRAME_RATE, &current);
    int tolerance = current <= 9 ? 1 : current / 10;
    if (std::llabs(int64_t(target) - int64_t(current)) > tolerance)
        setControl(CameraCtrl::FRAME_RATE, target);
}

}  // namespace Zentrox
