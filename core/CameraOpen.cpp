// Opening: the camera builds the transport for the requested connection, opens it, and chooses the
// depth-processing device from the image size the transport reports.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "ZentroxTOFCamera.h"
#include "core/CameraBackends.h"
#include "core/FrameBuffer.h"
#include "device/ZentroxDevice.h"
#include "device/ZentroxDeviceHQVGA.h"
#include "device/ZentroxDeviceVGA.h"
#include "sensor/CsiTransport.h"
#include "sensor/ZentroxTOFSensor.h"
#include "sensor/usb/ZentroxTOFUSBSensor.h"

namespace Zentrox {

namespace {

// The only frame size that the camera's own phase-to-depth device serves.
constexpr uint32_t HQVGA_SENSOR_WIDTH = 240;
constexpr uint32_t HQVGA_SENSOR_HEIGHT = 180;
// Four phase images make one camera frame of a 240 x 180 module.
constexpr int32_t HQVGA_SENSOR_SUB_FRAMES = 4;

// The VGA device's outputs and the raw frames it reads for them: (height + 1) rows per block, five
// blocks in single-frequency mode, ten in double.
struct VgaOutput {
    int width;
    int height;
};
constexpr VgaOutput VGA_OUTPUTS[] = {{640, 480}, {320, 240}};
constexpr struct {
    int blocks;
    TofWorkMode mode;
    const char* name;
} VGA_MODES[] = {{5, TofWorkMode::SINGLE_FREQ, "single"}, {10, TofWorkMode::DOUBLE_FREQ, "double"}};

// The VGA device's settings that read a sensor's frames; width 0: the sensor takes the size it is
// asked for, and the device's stays as it is.
struct VgaFit {
    int width = 0;
    int height = 0;
    TofWorkMode mode = TofWorkMode::SINGLE_FREQ;
};

// A sensor that delivers one of the VGA device's raw frames fixes the device's output size and mode
// (a USB kit, whose images have the size it was built for); one that takes the size it is asked for
// (the CSI transport) is given the device's at every start. Frames of any other sensor no device
// reads: false, after one line that says which frames are read, instead of a start that fails later
// without a word or frames cut from others.
bool fitVgaDevice(ZentroxTOFSensor& sensor, const CameraInfo& info, VgaFit& fit) {
    std::string served;
    for (const auto& mode : VGA_MODES) {
        for (const VgaOutput& out : VGA_OUTPUTS) {
            const uint64_t rawHeight = uint64_t(out.height + 1) * uint64_t(mode.blocks);
            if (info.width == uint32_t(out.width) && info.height == rawHeight) {
                fit = VgaFit{out.width, out.height, mode.mode};
                return true;
            }
            served += std::to_string(out.width) + " x " + std::to_string(rawHeight) + " (" +
                      std::to_string(out.width) + " x " + std::to_string(out.height) + ", " + mode.name +
                      " frequency), ";
        }
    }
    // Asking for the size it has already changes nothing and tells whether the sensor takes one.
    if (info.width <= uint32_t(INT32_MAX) && info.height <= uint32_t(INT32_MAX) &&
        sensor.setControl(CameraCtrl::FMT_WIDTH, int(info.width)) == 0 &&
        sensor.setControl(CameraCtrl::FMT_HEIGHT, int(info.height)) == 0) {
        return true;
    }
    std::fprintf(stderr,
                 "ZentroxTOFCamera: no device reads the sensor's %u x %u images; served are %u x %u "
                 "(four phase images per frame) and the raw frames %s\n",
                 info.width, info.height, HQVGA_SENSOR_WIDTH, HQVGA_SENSOR_HEIGHT,
                 served.substr(0, served.size() - 2).c_str());
    return false;
}

// Installs `fresh` as the camera's sensor (the previous device and sensor go) and opens it.
int openSensor(ZentroxTOFCamera& cam, std::unique_ptr<ZentroxTOFSensor> fresh) {
    CameraBackends::installSensor(cam, std::move(fresh));
    ZentroxTOFSensor& sensor = *CameraBackends::sensor(cam);
    int result = sensor.open(CameraBackends::info(cam));
    // A transport that failed part-way keeps what it had acquired; the camera refuses close until an
    // open succeeds, so release it here rather than leak descriptors or an SDK handle.
    if (result != 0) sensor.close();
    return result;
}

}  // namespace

void ZentroxTOFCamera::releaseBackend() {
    if (hasBackend()) device->close();
    if (sensor != nullptr && sensorOpened.load()) sensor->close();
    opened.store(false);
    sensorOpened.store(false);
}

int ZentroxTOFCamera::open(Connection connection, int index) {
    // The capture thread uses the sensor and the device: replacing them now would pull them out from
    // under it. Streaming cameras refuse and keep everything as it is.
    if (worker.joinable() || !stopped.load()) return ZentroxUnkownError;

    // Whatever happens below, the camera is not usable until this open has succeeded, and what the
    // previous open acquired is given back first: a failed open leaves nothing open.
    releaseBackend();
    info.index = static_cast<uint32_t>(index);
    info.connect = connection;

    std::unique_ptr<ZentroxTOFSensor> fresh;
    if (connection == Connection::CSI) {
        char path[80];
        std::snprintf(path, sizeof(path), "/dev/video%d", index);
        fresh = makeCsiSensor(path, platform);
    } else if (connection == Connection::USB) {
        fresh = std::make_unique<ZentroxTOFUSBSensor>("", index);
    } else {
        return ZentroxUnkownError;
    }
    int result = openSensor(*this, std::move(fresh));
    if (result != 0) return result;
    sensorOpened.store(true);
    return openPostHandle();
}

int ZentroxTOFCamera::openWithFile(const char* path, int index) {
    if (path == nullptr) return ZentroxUnkownError;
    if (worker.joinable() || !stopped.load()) return ZentroxUnkownError;

    releaseBackend();
    info.index = static_cast<uint32_t>(index);
    info.connect = Connection::USB;
    int result = openSensor(*this, std::make_unique<ZentroxTOFUSBSensor>(path, index));
    if (result != 0) return result;
    sensorOpened.store(true);
    return openPostHandle();
}

int ZentroxTOFCamera::openPostHandle() {
    // Only a transport the latest open opened can get a device: after a failed open, or a close,
    // there is none.
    if (sensor == nullptr || !sensorOpened.load()) return ZentroxUnkownError;
    if (worker.joinable() || !stopped.load()) return ZentroxUnkownError;
    opened.store(false);

    std::unique_ptr<ZentroxDevice> fresh;
    if (info.height == HQVGA_SENSOR_HEIGHT && info.width == HQVGA_SENSOR_WIDTH) {
        sensor->subFrameCount = HQVGA_SENSOR_SUB_FRAMES;
        fresh = std::make_unique<ZentroxDeviceHQVGA>(platform);
        info.device_type = HQVGA;
    } else {
        fresh = std::make_unique<ZentroxDeviceVGA>(platform);
        info.device_type = VGA;
    }
    CameraBackends::installDevice(*this, std::move(fresh));

    VgaFit fit;
    const bool served = info.device_type != VGA || fitVgaDevice(*sensor, info, fit);
    int result = served ? device->open(sensor.get()) : ZentroxUnkownError;
    // A size whose frame would not fit a pool (or whose byte count would wrap) is refused now rather
    // than at every start.
    if (result == 0 && boundedSamples({info.width, info.height, uint64_t(sensor->subFrameCount)}) == 0)
        result = ZentroxUnkownError;
    if (result == 0 && fit.width != 0) result = device->setControl(CameraCtrl::FMT_WIDTH, fit.width);
    if (result == 0 && fit.width != 0) result = device->setControl(CameraCtrl::FMT_HEIGHT, fit.height);
    if (result == 0 && fit.width != 0) result = device->setControl(CameraCtrl::MODE, int(fit.mode));
    if (result == 0) {
        opened.store(true);
    } else {
        // The camera is unusable until the next open; nothing may stay acquired.
        device->close();
        sensor->close();
        sensorOpened.store(false);
    }
    return result;
}

}  // namespace Zentrox
