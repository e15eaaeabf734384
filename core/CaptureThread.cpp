// The capture thread and the frame hand-off: frames flow sensor -> cache -> device -> pool buffer ->
// ready queue -> caller -> free stack. Nothing on this path allocates.
#include <cmath>
#include <cstdint>
#include <limits>

#include "CameraClock.h"
#include "FrameBuffer.h"
#include "ZentroxDevice.h"
#include "ZentroxTOFCamera.h"
#include "ZentroxTOFSensor.h"

namespace Zentrox {

namespace {
constexpr int64_t ADJUST_PERIOD_NS = 3'000'000'000;
constexpr int64_t RECLAIM_SLICE_NS = 20'000'000;
constexpr int64_t SLICE_PAUSE_NS = 10'000;
}  // namespace

void ZentroxTOFCamera::captureThread() {
    FramePool& frames = *pool;
    FrameQueue& queue = *frames.queue;
    uint8_t* cacheBytes = static_cast<uint8_t*>(frames.cache->getData(FrameType::CACHE));
    int64_t lastAdjust = clock->systemNs();
    lastFrameTime = lastAdjust;

    while (!stopped.load()) {
        if (autoFrameRate.load(std::memory_order_relaxed) &&
            clock->systemNs() - lastAdjust > ADJUST_PERIOD_NS) {
            adjustFrameRate();
            lastAdjust = clock->systemNs();
        }

        LinkNode* node = queue.takeFree();
        if (node == nullptr) {
            // The caller holds some buffers and the rest are ready: take back the oldest frame
            // nobody has requested. A frame that a waiting requestFrame is about to take is not
            // taken back, or a caller holding two buffers could never get a third. If no frame can
            // be taken back, poll in slices until the caller takes or returns one.
            std::unique_lock<std::mutex> lock(frames.mutex);
            if (frames.readyCount <= requestWaiters) {
                int64_t deadline = clock->steadyNs() + RECLAIM_SLICE_NS;
                while (frames.readyCount <= requestWaiters && clock->waitUntil(frames.cond, lock, deadline)) {
                }
            }
            if (frames.readyCount <= requestWaiters) {
                lock.unlock();
                clock->sleepFor(SLICE_PAUSE_NS);
                continue;
            }
            --frames.readyCount;
            lock.unlock();
            node = queue.takeReady();
            if (node == nullptr) continue;
        }

        int result = analysisFrame(cacheBytes, node);
        if (result == 0) {
            updateFps();
            queue.pushReady(node);
            std::lock_guard<std::mutex> lock(frames.mutex);
            if (frames.readyCount <= frames.readyLimit) {
                ++frames.readyCount;
                frames.cond.notify_all();
            }
        } else {
            // Failed or skipped: the buffer is reused at once.
            LinkNode* own = queue.findNode(node->buffer);
            if (own != nullptr) queue.putFree(own);
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
    if (!pool) return nullptr;
    FramePool& frames = *pool;
    std::unique_lock<std::mutex> lock(frames.mutex);
    auto ready = [&frames] { return frames.readyCount > 0; };
    bool got = true;
    if (!ready()) {
        // Counted while waiting, so that the capture thread leaves the next frame to this call.
        ++requestWaiters;
        if (timeout < 0) {
            frames.cond.wait(lock, ready);
        } else {
            got = frames.cond.wait_for(lock, std::chrono::milliseconds(timeout), ready);
        }
        --requestWaiters;
    }
    if (!got) return nullptr;
    --frames.readyCount;
    lock.unlock();

    LinkNode* node = frames.queue->takeReady();
    if (node == nullptr) return nullptr;
    int index = nodeIndex(node->buffer);
    if (index >= 0) callerHeld.fetch_or(1u << index);
    return node->buffer;
}

int ZentroxTOFCamera::releaseFrame(ZentroxFrameBuffer* buffer) {
    if (!pool || buffer == nullptr) return ZentroxUnkownError;
    int index = nodeIndex(buffer);
    if (index < 0) return ZentroxUnkownError;
    // Only a buffer the caller holds goes back: one released twice, still ready, or being filled by
    // the capture thread is refused and nothing changes.
    uint32_t bit = 1u << index;
    if ((callerHeld.fetch_and(~bit) & bit) == 0) return ZentroxUnkownError;
    return pool->queue->putFree(pool->queue->allNodes()[size_t(index)]) == 0 ? ZentroxSuccess
                                                                             : ZentroxUnkownError;
}

int ZentroxTOFCamera::nodeIndex(const ZentroxFrameBuffer* buffer) const {
    const std::vector<LinkNode*>& nodes = pool->queue->allNodes();
    for (size_t i = 0; i < nodes.size() && i < 32; ++i) {
        if (nodes[i]->buffer == buffer) return int(i);
    }
    return -1;
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
