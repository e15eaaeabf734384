// A depth-processing device: turns the raw frames of a sensor into raw int16 images or into depth,
// amplitude and confidence images, and owns the controls that depend on the processing.
#pragma once

#include <cstdint>

#include "ZentroxTypes.h"

namespace Zentrox {

class ZentroxTOFSensor;

class ZentroxDevice {
public:
    explicit ZentroxDevice(int platform) : platform(platform) {}
    virtual ~ZentroxDevice() = default;

    virtual DeviceType getDeviceType() = 0;
    virtual void getFrameFormat(OutputGeometry& raw, OutputGeometry& depth) = 0;
    virtual int open(ZentroxTOFSensor* sensor) = 0;
    virtual int close() = 0;
    virtual int prepare() = 0;
    virtual int start() = 0;
    virtual int stop() = 0;
    virtual int setControl(CameraCtrl ctrl, int value) = 0;
    virtual int setControlExt(CameraCtrl ctrl, const char* value) = 0;
    virtual int getControl(CameraCtrl ctrl, int* value) = 0;
    virtual int getControlExt(CameraCtrl ctrl, const char** value) = 0;
    virtual bool getRawImages(const uint8_t* frame, int16_t* raw) = 0;
    virtual bool getPhaseImage(const uint8_t* frame, float* depth, float* amplitude, float* confidence) = 0;

protected:
    int platform;
    ZentroxTOFSensor* sensor = nullptr;  // owned by the camera, outlives every use here
};

}  // namespace Zentrox
