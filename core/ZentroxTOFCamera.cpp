// Lifecycle of the camera: construction, start, output type and frame pool, stop, close, destruction.
#include "ZentroxTOFCamera.h"

#include <cstdint>
#include <new>
#include <system_error>

#include "core/CameraClock.h"
#include "core/FrameBuffer.h"
#include "device/ZentroxDevice.h"
#include "sensor/ZentroxTOFSensor.h"
#include "system/Platform.h"

namespace Zentrox {

ZentroxTOFCamera::ZentroxTOFCamera() : clock(&CameraClock::system()), platform(detectPlatform()) {}

ZentroxTOFCamera::~ZentroxTOFCamera() {
    // A joinable std::thread would end the process when destroyed: stop streaming as stop() does,
    // then release what is still open, as close() does. Nothing may escape a destructor.
    try {
        if (worker.joinable()) {
            stopped.store(true);
            worker.join();
            if (hasBackend()) {
                device->stop();
                sensor->stop();
            }
        }
        if (hasBackend()) {
            device->close();
            sensor->close();
            opened.store(false);
        }
    } catch (...) {
    }
    // Pool, then device, then sensor: the device points at the sensor. A request still waiting on
    // the pool is woken and keeps the pool alive until it has left.
    std::shared_ptr<FramePool> last;
    {
        std::lock_guard<std::mutex> lock(poolMutex);
        last = std::move(pool);
        ++poolWakes;
        poolCond.notify_all();
    }
    if (last) last->retire();
    last.reset();
    device.reset();
    sensor.reset();
}

bool ZentroxTOFCamera::hasBackend() const {
    return sensor != nullptr && device != nullptr && opened.load(std::memory_order_relaxed);
}

std::shared_ptr<FramePool> ZentroxTOFCamera::currentPool() const {
    std::lock_guard<std::mutex> lock(poolMutex);
    return pool;
}

int ZentroxTOFCamera::start(FrameType type) {
    if (!hasBackend()) return ZentroxUnkownError;
    // Already streaming: refuse before the running device and sensor are prepared or started again.
    if (worker.joinable() || !stopped.load()) return ZentroxUnkownError;

    // Re-apply the current range before streaming; a failed read re-applies 0.
    int value = 0;
    getControl(CameraCtrl::RANGE, &value);
    setControl(CameraCtrl::RANGE, value);

    int result = device->prepare();
    if (result != 0) return result;

    // From here on a failure undoes every step that was begun, the failed one included, latest
    // first, so that nothing streams after a failed start: a transport left started (the USB one
    // keeps its started flag after a failed start) would refuse every later start.
    bool sensorStarted = false;
    bool deviceStarted = false;
    auto undo = [&] {
        if (deviceStarted) device->stop();
        if (sensorStarted) sensor->stop();
    };
    std::shared_ptr<FramePool> previous;
    try {
        sensorStarted = true;
        result = sensor->start();
        if (result != 0) {
            undo();
            return result;
        }
        deviceStarted = true;
        result = device->start();
        if (result != 0) {
            undo();
            return result;
        }

        CameraInfo current = sensor->getCameraInfo();
        info.width = current.width;
        info.height = current.height;
        info.bit_width = current.bit_width;
        info.bpp = current.bpp;

        info.type = type;
        result = installPool(type, previous);
        if (result != 0) {
            undo();
            return result;
        }
    } catch (...) {
        undo();  // an allocation failure kept the previous pool
        throw;
    }

    // The previous pool stays alive until the capture thread runs, so that a start that fails here
    // leaves the camera with the pool, and the frames, it had.
    auto rollBack = [&] {
        stopped.store(true);
        restorePool(std::move(previous));
        undo();
    };
    stopped.store(false);
    try {
        worker = std::thread(&ZentroxTOFCamera::captureThread, this);
    } catch (const std::system_error&) {
        rollBack();
        return ZentroxUnkownError;
    } catch (...) {
        rollBack();
        throw;
    }
    if (previous) previous->retire();
    return ZentroxSuccess;
}

int ZentroxTOFCamera::setOutputType(FrameType type) {
    std::shared_ptr<FramePool> previous;
    int result = installPool(type, previous);
    if (previous) previous->retire();
    return result;
}

int ZentroxTOFCamera::installPool(FrameType type, std::shared_ptr<FramePool>& previous) {
    if (!hasBackend()) return ZentroxUnkownError;
    if (!stopped.load() || worker.joinable()) return ZentroxUnkownError;

    info.type = type;
    // One camera frame of `subFrameCount` sensor images, within the bound of a pool: a transport
    // reporting a size whose byte count would wrap is refused here, before anything is allocated.
    const int32_t subFrames = sensor->subFrameCount;
    const uint64_t cacheSamples =
        subFrames < 1 ? 0 : boundedSamples({info.width, info.height, uint64_t(subFrames)});
    if (cacheSamples == 0) return ZentroxUnkownError;
    CameraInfo sized = info;
    sized.height = uint32_t(uint64_t(info.height) * uint64_t(subFrames));

    device->getFrameFormat(rawGeometry, depthGeometry);
    if (type != FrameType::RAW && type != FrameType::DEPTH) return ZentroxUnkownError;

    // Both conversions read one raw frame of rawGeometry 16-bit samples from the cache, which holds
    // one sensor frame: refuse a device that would read past it, or whose planes are out of bounds.
    const OutputGeometry& planes = type == FrameType::RAW ? rawGeometry : depthGeometry;
    const uint64_t rawSamples = boundedSamples({rawGeometry.width, rawGeometry.height});
    if (rawSamples == 0 || rawSamples > cacheSamples) return ZentroxUnkownError;
    if (boundedSamples({planes.width, planes.height}) == 0) return ZentroxUnkownError;

    // Built completely before it replaces the previous pool; an allocation failure propagates and
    // leaves the previous pool in place.
    std::shared_ptr<FramePool> fresh = std::make_shared<FramePool>(type, sized, planes);
    std::lock_guard<std::mutex> lock(poolMutex);
    previous = std::move(pool);
    pool = std::move(fresh);
    ++poolWakes;
    poolCond.notify_all();
    return ZentroxSuccess;
}

void ZentroxTOFCamera::restorePool(std::shared_ptr<FramePool> previous) {
    std::shared_ptr<FramePool> built;
    {
        std::lock_guard<std::mutex> lock(poolMutex);
        built = std::move(pool);
        pool = std::move(previous);
        ++poolWakes;
        poolCond.notify_all();
    }
    if (built) built->retire();
}

int ZentroxTOFCamera::stop() {
    stopped.store(true);
    // Throws std::system_error (invalid argument) when no capture thread runs.
    worker.join();
    if (!hasBackend()) return ZentroxUnkownError;
    device->stop();
    return sensor->stop();
}

int ZentroxTOFCamera::close() {
    if (worker.joinable()) stop();
    if (!hasBackend()) return ZentroxUnkownError;
    device->close();
    int result = sensor->close();
    opened.store(false);
    sensorOpened.store(false);
    return result;
}

CameraInfo ZentroxTOFCamera::getCameraInfo() const {
    return info;
}

}  // namespace Zentrox
