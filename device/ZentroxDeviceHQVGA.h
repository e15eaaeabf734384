// The device of 240 x 180 modules: computes depth itself from four phase images per camera frame with
// a single-frequency four-phase arctangent. The amplitude image serves as the confidence image too.
#pragma once

#include <atomic>
#include <cstdint>

#include "device/HqvgaReference.h"
#include "device/ZentroxDevice.h"
#include "device/simd/HqvgaKernels.h"

namespace Zentrox {

class ZentroxDeviceHQVGA : public ZentroxDevice {
  public:
    // Converts with the fastest conversions this CPU runs (hqvgaBestKernels).
    explicit ZentroxDeviceHQVGA(int platform);
    // Converts with the given conversions, which must outlive the device.
    ZentroxDeviceHQVGA(int platform, const HqvgaKernels& conversions);

    DeviceType getDeviceType() override { return HQVGA; }
    void getFrameFormat(OutputGeometry& raw, OutputGeometry& depth) override;
    int open(ZentroxTOFSensor* sensor) override;
    int close() override { return ZentroxSuccess; }
    int prepare() override { return ZentroxSuccess; }
    int start() override { return ZentroxSuccess; }
    int stop() override { return ZentroxSuccess; }
    // RANGE 2000 or 4000, once the sensor has taken it: 0. Any other value 1, a sensor's refusal its
    // status; both leave the range as it was. Every other control: 1, without asking the sensor.
    int setControl(CameraCtrl ctrl, int value) override;
    int setControlExt(CameraCtrl, const char*) override { return ZentroxInvalidParameter; }
    int getControl(CameraCtrl ctrl, int* value) override;
    int getControlExt(CameraCtrl, const char**) override { return ZentroxInvalidParameter; }
    bool getRawImages(const uint8_t* frame, int16_t* raw) override;
    bool getPhaseImage(const uint8_t* frame, float* depth, float* amplitude, float* confidence) override;

    // The scalar conversions with the device's current state: the reference for the faster paths
    // that getRawImages and getPhaseImage take.
    bool getRawImagesReference(const uint8_t* frame, int16_t* raw);
    bool getPhaseImageReference(const uint8_t* frame, float* depth, float* amplitude, float* confidence);

    uint8_t sampleShift() const { return shift; }
    // The instruction set of the conversions this device uses.
    HqvgaIsa conversionIsa() const { return kernels.isa; }
    float modulationFrequency() const { return state.load(std::memory_order_relaxed).frequency; }
    // The state one conversion uses, taken in one piece.
    HqvgaParams params() const;

  private:
    // Range and frequency change together on the caller's thread while the capture thread converts;
    // one atomic word keeps every frame on a consistent pair. Aligned to its size so that every
    // compiler does the load and store inline (clang otherwise calls libatomic).
    struct alignas(8) RangeState {
        int32_t range;
        float frequency;  // Hz
    };
    static_assert(std::atomic<RangeState>::is_always_lock_free, "the range state is one lock-free word");
    std::atomic<RangeState> state{RangeState{4000, 37500000.0f}};
    const uint8_t shift;
    const HqvgaKernels& kernels;
};

}  // namespace Zentrox
