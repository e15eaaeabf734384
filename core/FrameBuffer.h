// Frame buffers, their queue nodes and the pool of three buffers a streaming camera reuses.
// Every plane is allocated when the pool is built; nothing is allocated while streaming.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "ZentroxTOFCamera.h"

namespace Zentrox {

// One frame of DEPTH output: confidence, amplitude and depth planes of the depth geometry.
class ZENTROX_API DepthData final : public ZentroxFrameBuffer {
public:
    DepthData(uint32_t width, uint32_t height);
    ~DepthData() override;
    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    int getFormat(FrameType type, FrameDataFormat& out) override;

private:
    std::unique_ptr<float[]> confidence;
    std::unique_ptr<float[]> amplitude;
    std::unique_ptr<float[]> depth;
    FrameDataFormat depthFormat;
    FrameDataFormat confidenceFormat;  // also answers for the amplitude plane
};

// One frame of RAW output: one int16 plane of the raw geometry.
class ZENTROX_API RawData final : public ZentroxFrameBuffer {
public:
    RawData(uint32_t width, uint32_t height);
    ~RawData() override;
    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    int getFormat(FrameType type, FrameDataFormat& out) override;

private:
    std::unique_ptr<int16_t[]> raw;
    FrameDataFormat format;
};

// The capture buffer the sensor writes one camera frame of raw bytes into.
class ZENTROX_API CacheData final : public ZentroxFrameBuffer {
public:
    // `bytes` bytes of storage; the format records width x formatHeight.
    CacheData(uint32_t width, uint32_t formatHeight, size_t bytes);
    ~CacheData() override;
    void setTimestamp(uint64_t timestamp) override;
    void* getData(FrameType type) override;
    int getFormat(FrameType type, FrameDataFormat& out) override;
    size_t size() const { return bytes; }

private:
    std::unique_ptr<uint8_t[]> data;
    size_t bytes;
    FrameDataFormat format;
};

// Where a node is; a node is always in exactly one place.
enum class NodePlace : uint8_t { FREE, READY, HELD };

struct LinkNode {
    LinkNode* next = nullptr;
    ZentroxFrameBuffer* buffer = nullptr;
    NodePlace place = NodePlace::HELD;  // guarded by FrameQueue::mutex
};

// The free stack and the ready queue of one pool. Owns its nodes and their buffers.
class FrameQueue {
public:
    FrameQueue() = default;
    ~FrameQueue();
    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;

    LinkNode* takeFree();
    void pushReady(LinkNode* node);
    LinkNode* takeReady();
    // Returns a held node of this queue to the free stack; -1 for a foreign node or one that is
    // already free or ready (linking it twice would let two frames share one buffer).
    int putFree(LinkNode* node);
    LinkNode* findNode(ZentroxFrameBuffer* buffer) const;

    // Used while the pool is built: takes ownership of `buffer` and pushes a new node on the stack.
    void adopt(std::unique_ptr<ZentroxFrameBuffer> buffer);

    const std::vector<LinkNode*>& allNodes() const { return nodes; }
    size_t freeCount() const;
    size_t readyCount() const;

private:
    LinkNode* freeHead = nullptr;
    LinkNode* readyHead = nullptr;
    LinkNode* readyTail = nullptr;
    std::vector<LinkNode*> nodes;
    mutable std::mutex mutex;
};

class FramePool {
public:
    // `info.height` is already multiplied by the sensor's subFrameCount. Throws std::bad_alloc after
    // freeing whatever it had built.
    FramePool(FrameType outputType, CameraInfo info, const OutputGeometry& geometry);
    ~FramePool();
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

    std::unique_ptr<FrameQueue> queue;
    std::unique_ptr<CacheData> cache;
    uint8_t capacity = 3;
    std::mutex mutex;  // guards readyCount; never held together with queue->mutex
    std::condition_variable cond;
    int32_t readyCount = 0;
    int32_t readyLimit = 3;
};

}  // namespace Zentrox
