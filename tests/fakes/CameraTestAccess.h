// The tests' way into a camera: the core's own CameraBackends, plus installing a sensor and a device
// as a successful open would, and views of the camera's frame pool. Only tests include it.
#pragma once

#include <memory>
#include <mutex>

#include "core/CameraBackends.h"

namespace Zentrox {

class CameraTestAccess : public CameraBackends {
  public:
    // Installs both collaborators and opens them, the device on the sensor; `opened` says whether
    // the latest open counts as successful.
    static void install(ZentroxTOFCamera& cam, std::unique_ptr<ZentroxTOFSensor> sensor,
                        std::unique_ptr<ZentroxDevice> device, bool opened = true) {
        installSensor(cam, std::move(sensor));
        installDevice(cam, std::move(device));
        ZentroxTOFSensor* s = CameraBackends::sensor(cam);
        if (s) s->open(info(cam));
        if (ZentroxDevice* d = CameraBackends::device(cam)) d->open(s);
        setOpenState(cam, s != nullptr, opened);
    }
    // As the end of an open would leave it: a failed open has closed the sensor too.
    static void setOpened(ZentroxTOFCamera& cam, bool opened) {
        setOpenState(cam, opened && sensorOpened(cam), opened);
    }

    static int readyCount(ZentroxTOFCamera& cam) {
        std::lock_guard<std::mutex> lock(pool(cam)->mutex);
        return pool(cam)->readyCount;
    }
    static int requestWaiters(ZentroxTOFCamera& cam) { return pool(cam)->counts().waiters; }
    static PoolCounts counts(ZentroxTOFCamera& cam) { return pool(cam)->counts(); }
};

}  // namespace Zentrox
