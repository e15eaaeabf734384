#include "device/ZentroxDeviceVGA.h"

#include <cstdio>
#include <cstring>

#include "device/DefaultConfigFiles.h"
#include "sensor/ZentroxModuleMemory.h"
#include "sensor/ZentroxTOFSensor.h"
#include "system/Sleep.h"

namespace Zentrox {

namespace {

constexpr int kRangeSingleMm = 1250;
constexpr int kRangeDoubleMm = 4500;

// Highest frame rate before one has been set, by output size and mode; 0 where none is known.
int frameRateLimit(int width, int height, bool single) {
    if (width == 640 && height == 480) return single ? 41 : 23;
    if (width == 320 && height == 240) return single ? 61 : 36;
    return 0;
}

}  // namespace

ZentroxDeviceVGA::ZentroxDeviceVGA(int platform) : ZentroxDevice(platform) {}

ZentroxDeviceVGA::~ZentroxDeviceVGA() {
    if (handle) SiSDKDestroy(&handle);
    handle = nullptr;
}

bool ZentroxDeviceVGA::singleFrequency() {
    if (handle) lastSingle = SiSDKIsSingleFreq(handle);
    return lastSingle;
}

void ZentroxDeviceVGA::destroyHandle() {
    if (handle) SiSDKDestroy(&handle);
    handle = nullptr;  // whatever the SDK left in the variable, it is never used again
    calibrationFile.release();
}

void ZentroxDeviceVGA::getFrameFormat(OutputGeometry& raw, OutputGeometry& depth) {
    std::lock_guard<std::mutex> lock(stateMutex);
    raw.tag = 2;
    raw.width = uint32_t(width);
    raw.height = uint32_t(rawHeight());
    depth.width = uint32_t(width);
    depth.height = uint32_t(height);
}

int ZentroxDeviceVGA::open(ZentroxTOFSensor* sensor) {
    if (!sensor) return ZentroxInvalidParameter;
    this->sensor = sensor;
    destroyHandle();  // a second open replaces the engine rather than leaking it
    if (!SiSDKCreate(&handle) || !handle) {
        handle = nullptr;
        return ZentroxUnkownError;
    }
    std::lock_guard<std::mutex> lock(stateMutex);
    singleFrequency();
    return ZentroxSuccess;
}

int ZentroxDeviceVGA::close() {
    if (handle) {
        // Give the SDK time to finish work still in flight before its handle goes.
        sleepFully(timespec{0, 500 * 1000 * 1000});
        SiSDKDestroy(&handle);
        handle = nullptr;
    }
    calibrationFile.release();
    return ZentroxSuccess;
}

int ZentroxDeviceVGA::prepare() {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        preparedWidth = width;
        preparedRawHeight = rawHeight();
    }
    if (sensor) {
        sensor->setControl(CameraCtrl::FMT_WIDTH, preparedWidth);
        sensor->setControl(CameraCtrl::FMT_HEIGHT, preparedRawHeight);
    }
    return ZentroxSuccess;
}

bool ZentroxDeviceVGA::readModuleCalibration(const uint8_t** data, uint32_t* length) {
    auto* memory = dynamic_cast<ZentroxModuleMemory*>(sensor);
    if (!memory) return false;  // only the CSI transport reaches the module's memory
    uint8_t* buffer = memory->calibrationBuffer();
    if (!buffer || memory->readDataBlock(kCalibrationOffset, buffer) != 0) return false;
    const uint32_t total = uint32_t(buffer[0]) | uint32_t(buffer[1]) << 8;
    if (total < kMinCalibrationLength || total > kMaxCalibrationLength) return false;
    const uint32_t blocks = (total + ZentroxModuleMemory::kBlockSize - 1) / ZentroxModuleMemory::kBlockSize;
    for (uint32_t k = 1; k < blocks; ++k) {
        const uint32_t at = k * ZentroxModuleMemory::kBlockSize;
        if (memory->readDataBlock(uint16_t(kCalibrationOffset + at), buffer + at) != 0) return false;
    }
    *data = buffer;
    *length = total;
    return true;
}

void ZentroxDeviceVGA::handOverCalibration() {
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    if (readModuleCalibration(&data, &length)) {
        SiSDKSetCaliData(handle, data, length);
        return;
    }
    bool notRegular = false;
    MappedFile file = MappedFile::openReadOnly("cali.bin", &notRegular);
    if (notRegular) {
        std::fputs(
            "ZentroxDeviceVGA: cali.bin is not a regular file; depth is computed without calibration\n",
            stderr);
    }
    if (!file.mapped()) return;
    SiSDKSetCaliData(handle, file.data(), file.size());
    calibrationFile = std::move(file);
}

int ZentroxDeviceVGA::start() {
    // A failed start destroyed the handle; only a new open brings the SDK back.
    if (!handle) return ZentroxUnkownError;
    if (!writeDefaultConfigFiles()) return ZentroxUnkownError;
    int initWidth, initHeight;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        initWidth = width;
        initHeight = height;
    }
    const bool initialised = SiSDKInit(handle, initWidth, initHeight);
    // Init makes the SDK forget the calibration of the previous start, so its bytes can go now.
    calibrationFile.release();
    if (!initialised) {
        destroyHandle();
        return ZentroxUnkownError;
    }
    handOverCalibration();
    if (!configPath.empty()) SiSDKSetConfig(handle, configPath.c_str());
    if (!SiSDKStart(handle)) {
        destroyHandle();
        return ZentroxUnkownError;
    }
    return ZentroxSuccess;
}

int ZentroxDeviceVGA::setControl(CameraCtrl ctrl, int value) {
    switch (ctrl) {
        case CameraCtrl::FMT_WIDTH: {
            if (value != 640 && value != 320) return ZentroxInvalidParameter;
            std::lock_guard<std::mutex> lock(stateMutex);
            width = value;
            return ZentroxSuccess;
        }
        case CameraCtrl::FMT_HEIGHT: {
            if (value != 480 && value != 240) return ZentroxInvalidParameter;
            std::lock_guard<std::mutex> lock(stateMutex);
            height = value;
            return ZentroxSuccess;
        }
        case CameraCtrl::MODE: {
            if (value != int(TofWorkMode::SINGLE_FREQ) && value != int(TofWorkMode::DOUBLE_FREQ))
                return ZentroxInvalidParameter;
            if (!handle) return ZentroxUnkownError;
            std::lock_guard<std::mutex> lock(stateMutex);
            SiSDKSetSingleFreq(handle, value == int(TofWorkMode::SINGLE_FREQ));
            singleFrequency();
            return ZentroxSuccess;
        }
        case CameraCtrl::FRAME_MODE:
            return ZentroxNotImplemented;
        case CameraCtrl::FRAME_RATE: {
            if (!sensor) return ZentroxUnkownError;
            const int status = sensor->setControl(CameraCtrl::FRAME_RATE, value);
            if (status == ZentroxSuccess) {
                std::lock_guard<std::mutex> lock(stateMutex);
                frameRateSet = true;
            }
            return status;
        }
        default:  // RANGE and EXPOSURE follow from the mode and the module; the rest is not ours
            return ZentroxInvalidParameter;
    }
}

int ZentroxDeviceVGA::getControl(CameraCtrl ctrl, int* value) {
    if (!value) return ZentroxInvalidParameter;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        switch (ctrl) {
            case CameraCtrl::RANGE:
                *value = singleFrequency() ? kRangeSingleMm : kRangeDoubleMm;
                return ZentroxSuccess;
            case CameraCtrl::FMT_WIDTH:
                *value = width;
                return ZentroxSuccess;
            case CameraCtrl::FMT_HEIGHT:
                *value = height;
                return ZentroxSuccess;
            case CameraCtrl::MODE:
                *value = singleFrequency() ? int(TofWorkMode::SINGLE_FREQ) : int(TofWorkMode::DOUBLE_FREQ);
                return ZentroxSuccess;
            case CameraCtrl::FRAME_MODE:
                return ZentroxNotImplemented;
            case CameraCtrl::FRAME_RATE:
                if (!frameRateSet) {
                    const int limit = frameRateLimit(width, height, singleFrequency());
                    if (limit == 0) return ZentroxInvalidParameter;
                    *value = limit;
                    return ZentroxSuccess;
                }
                break;
            default:
                break;
        }
    }
    // EXPOSURE, a set frame rate and everything else: the sensor's answer, asked without the lock.
    if (!sensor) return ZentroxUnkownError;
    return sensor->getControl(ctrl, value);
}

int ZentroxDeviceVGA::setControlExt(CameraCtrl ctrl, const char* value) {
    if (ctrl != CameraCtrl::CONFIG_DIR_EXT) return ZentroxInvalidParameter;
    configPath = value ? value : "";
    return ZentroxSuccess;
}

int ZentroxDeviceVGA::getControlExt(CameraCtrl ctrl, const char** value) {
    if (ctrl != CameraCtrl::CONFIG_DIR_EXT || !value) return ZentroxInvalidParameter;
    *value = configPath.c_str();
    return ZentroxSuccess;
}

bool ZentroxDeviceVGA::getRawImages(const uint8_t* frame, int16_t* raw) {
    if (!frame || !raw || preparedWidth == 0) return false;
    std::memcpy(raw, frame, size_t(preparedWidth) * size_t(preparedRawHeight) * sizeof(int16_t));
    return true;
}

bool ZentroxDeviceVGA::getPhaseImage(const uint8_t* frame, float* depth, float* amplitude,
                                     float* confidence) {
    if (!handle) return false;
    return SiSDKGetPhaseImage(handle, frame, depth, amplitude, confidence);
}

}  // namespace Zentrox
