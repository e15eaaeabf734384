// The device of every module that is not 240 x 180: it hands raw frames to the depth-processing SDK
// (si4c.h) and keeps the bookkeeping around it: output size, frequency mode, frame-rate limits, the
// calibration blob and the SDK's configuration files.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "device/ZentroxDevice.h"
#include "si4c.h"
#include "system/MappedFile.h"

namespace Zentrox {

class ZentroxDeviceVGA : public ZentroxDevice {
  public:
    explicit ZentroxDeviceVGA(int platform);
    // Destroys a handle that close() did not (without close's wait) and releases the calibration file.
    ~ZentroxDeviceVGA() override;

    DeviceType getDeviceType() override { return VGA; }
    void getFrameFormat(OutputGeometry& raw, OutputGeometry& depth) override;
    int open(ZentroxTOFSensor* sensor) override;
    int close() override;
    int prepare() override;
    int start() override;
    int stop() override { return ZentroxSuccess; }
    int setControl(CameraCtrl ctrl, int value) override;
    int setControlExt(CameraCtrl ctrl, const char* value) override;
    int getControl(CameraCtrl ctrl, int* value) override;
    int getControlExt(CameraCtrl ctrl, const char** value) override;
    bool getRawImages(const uint8_t* frame, int16_t* raw) override;
    bool getPhaseImage(const uint8_t* frame, float* depth, float* amplitude, float* confidence) override;

    // Where the offsets of module memory start, and the bounds of a module calibration length.
    static constexpr uint16_t kCalibrationOffset = 80;
    static constexpr uint32_t kMinCalibrationLength = 512;
    static constexpr uint32_t kMaxCalibrationLength = 16384;

  private:
    // Both with stateMutex held.
    bool singleFrequency();
    int rawHeight() { return (height + 1) * (singleFrequency() ? 5 : 10); }
    bool readModuleCalibration(const uint8_t** data, uint32_t* length);
    void handOverCalibration();
    void destroyHandle();

    SiSDKHandle handle = nullptr;
    std::string configPath;
    // The controls: the caller changes them while the capture thread's frame-rate adjustment reads the
    // limit of size and mode and sets the rate. The conversions do not take the lock.
    std::mutex stateMutex;
    int width = 640;
    int height = 480;
    bool frameRateSet = false;
    bool lastSingle = true;  // the SDK's mode when it was last asked; answers while there is no handle
    // The geometry pushed to the sensor at the last prepare: what the sensor delivers and the camera
    // sized its buffers for, so what getRawImages copies even if the controls change while streaming.
    int preparedWidth = 0;
    int preparedRawHeight = 0;
    // "cali.bin" as handed to the SDK; kept while the SDK may read it.
    MappedFile calibrationFile;
};

}  // namespace Zentrox
