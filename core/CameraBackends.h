// The camera's backends and working state as the core sees them: the open path installs the sensor
// and the device through it, and internal code (the core, its tools and checks) reads or drives the
// state the capture thread works on without going through the public interface. The camera names it
// as its friend; it is not installed.
#pragma once

#include <cstdint>
#include <memory>

#include "ZentroxTOFCamera.h"
#include "core/CameraClock.h"
#include "core/FrameBuffer.h"
#include "device/ZentroxDevice.h"
#include "sensor/ZentroxTOFSensor.h"

namespace Zentrox {

class CameraBackends {
  public:
    // Installs `fresh` as the camera's sensor, not opened yet. The device keeps a pointer to the
    // sensor it was opened on, so the previous device goes first, then the previous sensor: nothing
    // is left pointing at a destroyed sensor. Neither is closed here; closing is the caller's business.
    static void installSensor(ZentroxTOFCamera& cam, std::unique_ptr<ZentroxTOFSensor> fresh) {
        std::unique_ptr<ZentroxTOFSensor> previous = std::move(cam.sensor);
        cam.sensor = std::move(fresh);
        cam.device.reset();
        previous.reset();
    }
    // Installs `fresh` as the camera's device, not opened yet; the previous one is destroyed after.
    static void installDevice(ZentroxTOFCamera& cam, std::unique_ptr<ZentroxDevice> fresh) {
        std::unique_ptr<ZentroxDevice> previous = std::move(cam.device);
        cam.device = std::move(fresh);
        previous.reset();
    }
    // Records how far the latest open got: the sensor is open, and the whole open succeeded.
    static void setOpenState(ZentroxTOFCamera& cam, bool sensorOpened, bool opened) {
        cam.sensorOpened = sensorOpened;
        cam.opened = opened;
    }
    // The clocks the capture thread reads; not owned, and must outlive the camera's streaming.
    static void setClock(ZentroxTOFCamera& cam, CameraClock& clock) { cam.clock = &clock; }

    static CameraInfo& info(ZentroxTOFCamera& cam) { return cam.info; }
    static ZentroxTOFSensor* sensor(ZentroxTOFCamera& cam) { return cam.sensor.get(); }
    static ZentroxDevice* device(ZentroxTOFCamera& cam) { return cam.device.get(); }
    static bool sensorOpened(const ZentroxTOFCamera& cam) { return cam.sensorOpened; }
    static bool opened(const ZentroxTOFCamera& cam) { return cam.opened; }
    static FramePool* pool(ZentroxTOFCamera& cam) { return cam.pool.get(); }
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

    // The capture thread's steps, one at a time, without a capture thread.
    static void updateFps(ZentroxTOFCamera& cam) { cam.updateFps(); }
    static void adjustFrameRate(ZentroxTOFCamera& cam) { cam.adjustFrameRate(); }
    static bool skipThisFrame(ZentroxTOFCamera& cam) { return cam.skipThisFrame(); }
};

}  // namespace Zentrox
