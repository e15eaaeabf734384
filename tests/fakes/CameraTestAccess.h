// The tests' way into a camera: installs a sensor and a device as a successful open would, replaces
// the clock, and reads or drives the private state the capture thread works on. Only tests include it.
#pragma once

#include <memory>
#include <mutex>

#include "ZentroxTOFCamera.h"
#include "core/CameraClock.h"
#include "core/FrameBuffer.h"
#include "device/ZentroxDevice.h"
#include "sensor/ZentroxTOFSensor.h"

namespace Zentrox {

class CameraTestAccess {
  public:
    // Installs both collaborators and binds the device to the sensor; `opened` says whether the
    // latest open counts as successful.
    static void install(ZentroxTOFCamera& cam, std::unique_ptr<ZentroxTOFSensor> sensor,
                        std::unique_ptr<ZentroxDevice> device, bool opened = true) {
        cam.sensor = std::move(sensor);
        cam.device = std::move(device);
        if (cam.sensor) cam.sensor->open(cam.info);
        if (cam.device) cam.device->open(cam.sensor.get());
        cam.sensorOpened = cam.sensor != nullptr;
        cam.opened = opened;
    }
    // As the end of an open would leave it: a failed open has closed the sensor too.
    static void setOpened(ZentroxTOFCamera& cam, bool opened) {
        cam.opened = opened;
        if (!opened) cam.sensorOpened = false;
    }
    static bool opened(const ZentroxTOFCamera& cam) { return cam.opened; }
    static void setClock(ZentroxTOFCamera& cam, CameraClock& clock) { cam.clock = &clock; }
    static ZentroxTOFSensor* sensor(ZentroxTOFCamera& cam) { return cam.sensor.get(); }
    static ZentroxDevice* device(ZentroxTOFCamera& cam) { return cam.device.get(); }

    static FramePool* pool(ZentroxTOFCamera& cam) { return cam.pool.get(); }
    static int readyCount(ZentroxTOFCamera& cam) {
        std::lock_guard<std::mutex> lock(cam.pool->mutex);
        return cam.pool->readyCount;
    }
    static int requestWaiters(ZentroxTOFCamera& cam) { return cam.pool->counts().waiters; }
    static PoolCounts counts(ZentroxTOFCamera& cam) { return cam.pool->counts(); }
    static bool streaming(const ZentroxTOFCamera& cam) { return cam.worker.joinable(); }
    static bool stopped(const ZentroxTOFCamera& cam) { return cam.stopped; }
    static OutputGeometry rawGeometry(const ZentroxTOFCamera& cam) { return cam.rawGeometry; }
    static OutputGeometry depthGeometry(const ZentroxTOFCamera& cam) { return cam.depthGeometry; }

    // Capture-thread state: read only while no capture thread runs, or after a frame it published
    // was taken with requestFrame and before the sensor is fed the next one.
    static float frameInterval(const ZentroxTOFCamera& cam) { return cam.frameInterval; }
    static float smoothing(const ZentroxTOFCamera& cam) { return cam.smoothing; }
    static float fps(const ZentroxTOFCamera& cam) { return cam.fps; }
    static void setFps(ZentroxTOFCamera& cam, float fps) { cam.fps = fps; }
    static int fpsSamples(const ZentroxTOFCamera& cam) { return cam.fpsSamples; }
    static int frameIndex(const ZentroxTOFCamera& cam) { return cam.frameIndex; }
    static int skipFrame(const ZentroxTOFCamera& cam) { return cam.skipFrame; }
    static int skipFrameLoop(const ZentroxTOFCamera& cam) { return cam.skipFrameLoop; }
    static void setLastFrameTime(ZentroxTOFCamera& cam, int64_t ns) { cam.lastFrameTime = ns; }

    // Private steps, driven without a capture thread.
    static void updateFps(ZentroxTOFCamera& cam) { cam.updateFps(); }
    static void adjustFrameRate(ZentroxTOFCamera& cam) { cam.adjustFrameRate(); }
    static bool skipThisFrame(ZentroxTOFCamera& cam) { return cam.skipThisFrame(); }
};

}  // namespace Zentrox
