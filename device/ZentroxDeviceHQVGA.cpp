#include "device/ZentroxDeviceHQVGA.h"

#include "sensor/ZentroxTOFSensor.h"
#include "system/Platform.h"

namespace Zentrox {

ZentroxDeviceHQVGA::ZentroxDeviceHQVGA(int platform) : ZentroxDeviceHQVGA(platform, hqvgaBestKernels()) {}

ZentroxDeviceHQVGA::ZentroxDeviceHQVGA(int platform, const HqvgaKernels& conversions)
    : ZentroxDevice(platform), shift(platform == Platform::JETSON ? 4 : 0), kernels(conversions) {}

void ZentroxDeviceHQVGA::getFrameFormat(OutputGeometry& raw, OutputGeometry& depth) {
    raw = OutputGeometry{2, HQVGA_WIDTH, HQVGA_HEIGHT * HQVGA_PLANES};
    depth = OutputGeometry{2, HQVGA_WIDTH, HQVGA_HEIGHT};
}

int ZentroxDeviceHQVGA::open(ZentroxTOFSensor* newSensor) {
    sensor = newSensor;
    return ZentroxSuccess;
}

int ZentroxDeviceHQVGA::setControl(CameraCtrl ctrl, int value) {
    if (ctrl != CameraCtrl::RANGE) return ZentroxInvalidParameter;
    // Only 2000 and 4000 have a frequency. The module must modulate at the frequency the phases are
    // decoded with, so the range switches only once the sensor has taken it; a refusal leaves the
    // device decoding the range it had, and is returned.
    if (value != 2000 && value != 4000) return ZentroxInvalidParameter;
    if (sensor != nullptr) {
        const int status = sensor->setControl(CameraCtrl::RANGE, value);
        if (status != ZentroxSuccess) return status;
    }
    state.store(RangeState{value, value == 2000 ? 75000000.0f : 37500000.0f}, std::memory_order_relaxed);
    return ZentroxSuccess;
}

int ZentroxDeviceHQVGA::getControl(CameraCtrl ctrl, int* value) {
    if (value == nullptr) return ZentroxInvalidParameter;
    if (ctrl == CameraCtrl::RANGE) {
        *value = state.load(std::memory_order_relaxed).range;
        return ZentroxSuccess;
    }
    // Opened without a transport: nobody can answer for the other controls.
    if (sensor == nullptr) return ZentroxUnkownError;
    return sensor->getControl(ctrl, value);
}

HqvgaParams ZentroxDeviceHQVGA::params() const {
    const RangeState now = state.load(std::memory_order_relaxed);
    return HqvgaParams{shift, now.range == 2000, hqvgaDepthScale(now.frequency)};
}

bool ZentroxDeviceHQVGA::getRawImagesReference(const uint8_t* frame, int16_t* raw) {
    if (frame == nullptr || raw == nullptr) return false;
    hqvgaRawImagesReference(frame, raw, shift);
    return true;
}

bool ZentroxDeviceHQVGA::getPhaseImageReference(const uint8_t* frame, float* depth, float* amplitude,
                                                float* confidence) {
    if (frame == nullptr || depth == nullptr || amplitude == nullptr || confidence == nullptr) return false;
    hqvgaPhaseImageReference(frame, depth, amplitude, confidence, params());
    return true;
}

bool ZentroxDeviceHQVGA::getRawImages(const uint8_t* frame, int16_t* raw) {
    if (frame == nullptr || raw == nullptr) return false;
    kernels.raw_images(frame, raw, shift);
    return true;
}

bool ZentroxDeviceHQVGA::getPhaseImage(const uint8_t* frame, float* depth, float* amplitude,
                                       float* confidence) {
    if (frame == nullptr || depth == nullptr || amplitude == nullptr || confidence == nullptr) return false;
    kernels.phase_image(frame, depth, amplitude, confidence, params());
    return true;
}

}  // namespace Zentrox
