// Frame buffers, their queue nodes and the pool of three buffers a streaming camera reuses.
// Every plane is allocated when the pool is built; nothing is allocated while streaming.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <vector>

#include "ZentroxTOFCamera.h"
#include "core/CameraClock.h"

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

// Where a node is; a node is always in exactly one place. Guarded by the pool's lock.
enum class NodePlace : uint8_t {
    FREE,       // in the free stack
    CAPTURING,  // taken by the capture thread to be filled
    READY,      // in the ready queue
    HELD,       // handed to the caller by requestFrame, until releaseFrame
};

struct LinkNode {
    LinkNode* next = nullptr;
    ZentroxFrameBuffer* buffer = nullptr;
    NodePlace place = NodePlace::HELD;
};

// The free stack and the ready queue of one pool. Owns its nodes and their buffers. It takes no lock
// of its own: the pool that owns it calls it with FramePool::mutex held (or before any other thread
// can see the pool).
class FrameQueue {
  public:
    FrameQueue() = default;
    ~FrameQueue();
    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;

    // The node leaves the free stack as CAPTURING.
    LinkNode* takeFree();
    void pushReady(LinkNode* node);
    // The node leaves the ready queue as HELD.
    LinkNode* takeReady();
    // Returns a node of this queue that is outside both lists (CAPTURING or HELD) to the free stack;
    // -1 for a foreign node or one that is already free or ready (linking it twice would let two
    // frames share one buffer).
    int putFree(LinkNode* node);
    LinkNode* findNode(const ZentroxFrameBuffer* buffer) const;

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
};

// The largest frame a pool is built for, in samples: the cache (width x height x sub-frames) and
// every plane must stay within it. The largest geometry any device serves, the double-frequency raw
// layout of a 640 x 480 module (640 x 4810 samples), fits more than five times; sizes beyond it are
// refused before anything is allocated, so that no byte count can wrap.
constexpr uint64_t MAX_FRAME_SAMPLES = uint64_t(1) << 24;

// The product of `factors` when it stays within MAX_FRAME_SAMPLES, else 0 (also for a zero factor).
uint64_t boundedSamples(std::initializer_list<uint64_t> factors);

// How many nodes are in each place, and how many requests wait, read in one go.
struct PoolCounts {
    int free = 0;
    int capturing = 0;
    int ready = 0;
    int held = 0;
    int waiters = 0;
};

// The pool of one start: the three buffers, the cache, and the one record of where every buffer is.
// Every change of place goes through the methods below, under `mutex`: the capture thread takes a
// buffer to fill and publishes or discards it, callers request and release. A requester that waits
// is counted, and the capture thread never takes back a ready frame that a waiting requester is
// owed.
class FramePool {
  public:
    // `info.height` is already multiplied by the sensor's subFrameCount. Throws std::bad_alloc after
    // freeing whatever it had built (std::bad_array_new_length for sizes beyond MAX_FRAME_SAMPLES).
    FramePool(FrameType outputType, CameraInfo info, const OutputGeometry& geometry);
    ~FramePool();
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

    // Capture thread: a free buffer, else the oldest ready frame that no waiting requester is owed
    // (that frame is dropped). With neither, waits one slice of `sliceNs` on `clock` for one and
    // returns null if none came.
    LinkNode* takeForCapture(CameraClock& clock, int64_t sliceNs);
    // Capture thread: a filled buffer joins the ready queue and waiting requesters are woken.
    void publish(LinkNode* node);
    // Capture thread: a failed or skipped frame's buffer is free again at once.
    void discard(LinkNode* node);

    // The oldest ready frame, now held by the caller; waits up to `timeout` ms (negative: without
    // limit, 0: not at all). Null on time-out, when `hook` ends the wait, or once the pool is retired.
    ZentroxFrameBuffer* request(short timeout, FrameWaitHook* hook);
    // A held buffer goes back to the free stack: 0; -1 for a buffer that is not held in this pool.
    int release(const ZentroxFrameBuffer* buffer);
    bool holds(const ZentroxFrameBuffer* buffer) const;
    // Every request waiting now asks its hook whether to go on.
    void wakeRequests();
    // The camera replaced this pool: every waiting request ends with null, and new ones get null.
    void retire();

    PoolCounts counts() const;

    std::unique_ptr<FrameQueue> queue;
    std::unique_ptr<CacheData> cache;
    uint8_t capacity = 3;
    // Guards every node's place, the lists, readyCount, the waiter count and the wake and retire
    // state. `cond` is signalled whenever any of them changes.
    mutable std::mutex mutex;
    std::condition_variable cond;
    // Number of nodes in the ready queue.
    int32_t readyCount = 0;
    // Most frames ready at once: publishing beyond it drops the oldest ready frame.
    int32_t readyLimit = 3;
    // Identity of this pool, unique in the process.
    const uint64_t serial;

  private:
    int32_t waiters = 0;  // requests waiting for a frame now
    uint64_t wakes = 0;   // wakeRequests calls so far
    bool retired = false;
};

}  // namespace Zentrox
