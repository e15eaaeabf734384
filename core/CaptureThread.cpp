// The capture thread and the frame hand-off: frames flow sensor -> cache -> device -> pool buffer ->
// ready queue -> caller -> free stack. Nothing on this path allocates.
#include <cmath>
#include <cstdint>
#include <limits>

#include "ZentroxTOFCamera.h"
#include "core/CameraClock.h"
#include "core/FrameBuffer.h"
#include "core/FrameWait.h"
#include "device/ZentroxDevice.h"
#include "sensor/ZentroxTOFSensor.h"

namespace Zentrox {

namespace {
constexpr int64_t ADJUST_PERIOD_NS = 3'000'000'000;
constexpr int64_t RECLAIM_SLICE_NS = 20'000'000;
constexpr int64_t SLICE_PAUSE_NS = 10'000;
}  // namespace

void ZentroxTOFCamera::captureThread() {
    const std::shared_ptr<FramePool> frames = currentPool();
    uint8_t* cacheBytes = static_cast<uint8_t*>(frames->cache->getData(FrameType::CACHE));
    int64_t lastAdjust = clock->systemNs();
    lastFrameTime = lastAdjust;

    while (!stopped.load()) {
        if (autoFrameRate.load(std::memory_order_relaxed) &&
            clock->systemNs() - lastAdjust > ADJUST_PERIOD_NS) {
            adjustFrameRate();
            lastAdjust = clock->systemNs();
        }

        // A free buffer, or the oldest ready frame nobody waits for. With neither (the caller holds
        // the other buffers), the pool waits one slice for a release, then the loop looks at the
        // stop flag again.
        LinkNode* node = frames->takeForCapture(*clock, RECLAIM_SLICE_NS);
        if (node == nullptr) {
            clock->sleepFor(SLICE_PAUSE_NS);
            continue;
        }

        int result = analysisFrame(cacheBytes, node);
        if (result == 0) {
            updateFps();
            frames->publish(node);
        } else {
            frames->discard(node);  // failed or skipped: the buffer is reused at once
        }
    }
}

int ZentroxTOFCamera::analysisFrame(uint8_t* cache, LinkNode* node) {
    uint64_t timestamp = 0;
    if (sensor->getFrame(cache, &timestamp) != 0) return ZentroxUnkownError;
    node->buffer->setTimestamp(timestamp);
    if (skipThisFrame()) return ZentroxSkipFrame;

    ZentroxFrameBuffer* buffer = node->buffer;
    if (info.type == FrameType::RAW) {
        auto* raw = static_cast<int16_t*>(buffer->getData(FrameType::RAW));
        if (raw == nullptr) return ZentroxUnkownError;
        getRawImages(cache, raw);  // a failed raw conversion still delivers the frame
        return ZentroxSuccess;
    }
    if (info.type == FrameType::DEPTH) {
        auto* depth = static_cast<float*>(buffer->getData(FrameType::DEPTH));
        auto* amplitude = static_cast<float*>(buffer->getData(FrameType::AMPLITUDE));
        auto* confidence = static_cast<float*>(buffer->getData(FrameType::CONFIDENCE));
        if (depth == nullptr || amplitude == nullptr || confidence == nullptr) return ZentroxUnkownError;
        return getPhaseImage(cache, depth, amplitude, confidence) ? ZentroxSuccess : ZentroxUnkownError;
    }
    return ZentroxUnkownError;
}

// Within each cycle of skipFrameLoop frames, skipFrameLoop - skipFrame frames are delivered, spread
// evenly. The rule works on the low eight bits; a cycle whose low eight bits are zero cannot be
// divided and delivers every frame.
bool ZentroxTOFCamera::skipThisFrame() {
    int loop = skipFrameLoop.load(std::memory_order_relaxed);
    int skip = skipFrame.load(std::memory_order_relaxed);
    if (loop != 0) frameIndex = int(((int64_t)frameIndex + 1) % loop);
    unsigned cycle = uint8_t(loop);
    if (cycle == 0) return false;
    unsigned kept = uint8_t(uint32_t(loop) - uint32_t(skip));
    unsigned i = uint8_t(frameIndex);
    return i * kept / cycle == (i + 1) * kept / cycle;
}

void ZentroxTOFCamera::updateFps() {
    int64_t now = clock->systemNs();
    float dt = float((now - lastFrameTime) / 1'000'000);
    lastFrameTime = now;
    if (fpsSamples == 0) {
        frameInterval = dt;
    } else {
        float x = dt * smoothing + (1.0f - smoothing) * frameInterval;
        if (std::isfinite(x)) {
            frameInterval = x;
            smoothing = 1.0f / 30.0f;
        }
    }
    if (fpsSamples < std::numeric_limits<int>::max()) ++fpsSamples;
    fps.store(1000.0f / frameInterval, std::memory_order_relaxed);
}

ZentroxFrameBuffer* ZentroxTOFCamera::requestFrame(short timeout) {
    return requestFrame(timeout, nullptr, nullptr);
}

ZentroxFrameBuffer* ZentroxTOFCamera::requestFrame(short timeout, FrameWaitHook* hook,
                                                   uint64_t* poolSerialOut) {
    std::shared_ptr<FramePool> frames;
    {
        std::unique_lock<std::mutex> lock(poolMutex);
        if (!pool) {
            // Nothing to hand out before the first start. The time-out still holds, so that a caller
            // asking in a loop does not spin; a start ends the wait as it ends every other.
            waitForRequest(lock, poolCond, poolWakes, timeout, hook, [this] { return pool != nullptr; });
            return nullptr;
        }
        frames = pool;
    }
    // The pool stays alive while this call waits on it, even if a start replaces it meanwhile.
    ZentroxFrameBuffer* buffer = frames->request(timeout, hook);
    if (buffer != nullptr && poolSerialOut != nullptr) *poolSerialOut = frames->serial;
    return buffer;
}

int ZentroxTOFCamera::releaseFrame(ZentroxFrameBuffer* buffer) {
    std::shared_ptr<FramePool> frames = currentPool();
    if (!frames || buffer == nullptr) return ZentroxUnkownError;
    return frames->release(buffer);
}

void ZentroxTOFCamera::wakeRequests() {
    std::shared_ptr<FramePool> frames;
    {
        std::lock_guard<std::mutex> lock(poolMutex);
        ++poolWakes;
        poolCond.notify_all();
        frames = pool;
    }
    if (frames) frames->wakeRequests();
}

uint64_t ZentroxTOFCamera::poolSerial() const {
    std::lock_guard<std::mutex> lock(poolMutex);
    return pool ? pool->serial : 0;
}

bool ZentroxTOFCamera::holdsFrame(const ZentroxFrameBuffer* buffer, uint64_t serial) const {
    std::shared_ptr<FramePool> frames = currentPool();
    return frames && frames->serial == serial && frames->holds(buffer);
}

bool ZentroxTOFCamera::getRawImages(uint8_t* cache, int16_t* raw) {
    if (!hasBackend()) return false;
    return device->getRawImages(cache, raw);
}

bool ZentroxTOFCamera::getPhaseImage(uint8_t* cache, float* depth, float* amplitude, float* confidence) {
    if (!hasBackend()) return false;
    return device->getPhaseImage(cache, depth, amplitude, confidence);
}

}  // namespace Zentrox
