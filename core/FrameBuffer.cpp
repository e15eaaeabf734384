#include "core/FrameBuffer.h"

#include <atomic>
#include <new>

#include "core/FrameWait.h"

namespace Zentrox {

ZentroxFrameBuffer::~ZentroxFrameBuffer() = default;
FrameWaitHook::~FrameWaitHook() = default;

// Planes are left uninitialised: the device writes every element before a frame is handed out.
DepthData::DepthData(uint32_t width, uint32_t height)
    : confidence(new float[size_t(width) * height]),
      amplitude(new float[size_t(width) * height]),
      depth(new float[size_t(width) * height]),
      depthFormat{width, height, FrameType::DEPTH, 0},
      confidenceFormat{width, height, FrameType::CONFIDENCE, 0} {}

DepthData::~DepthData() = default;

void DepthData::setTimestamp(uint64_t timestamp) {
    depthFormat.timestamp = timestamp;
    confidenceFormat.timestamp = timestamp;
}

void* DepthData::getData(FrameType type) {
    switch (type) {
        case FrameType::CONFIDENCE:
            return confidence.get();
        case FrameType::AMPLITUDE:
            return amplitude.get();
        case FrameType::DEPTH:
            return depth.get();
        default:
            return nullptr;
    }
}

int DepthData::getFormat(FrameType type, FrameDataFormat& out) {
    switch (type) {
        case FrameType::DEPTH:
            out = depthFormat;
            return 0;
        case FrameType::CONFIDENCE:
        case FrameType::AMPLITUDE:
            out = confidenceFormat;
            return 0;
        default:
            return -1;
    }
}

RawData::RawData(uint32_t width, uint32_t height)
    : raw(new int16_t[size_t(width) * height]), format{width, height, FrameType::RAW, 0} {}

RawData::~RawData() = default;

void RawData::setTimestamp(uint64_t timestamp) {
    format.timestamp = timestamp;
}

void* RawData::getData(FrameType type) {
    return type == FrameType::RAW ? raw.get() : nullptr;
}

int RawData::getFormat(FrameType type, FrameDataFormat& out) {
    if (type != FrameType::RAW) return -1;
    out = format;
    return 0;
}

CacheData::CacheData(uint32_t width, uint32_t formatHeight, size_t bytes)
    : data(new uint8_t[bytes]), bytes(bytes), format{width, formatHeight, FrameType::CACHE, 0} {}

CacheData::~CacheData() = default;

void CacheData::setTimestamp(uint64_t timestamp) {
    format.timestamp = timestamp;
}

void* CacheData::getData(FrameType type) {
    return type == FrameType::CACHE ? data.get() : nullptr;
}

int CacheData::getFormat(FrameType type, FrameDataFormat& out) {
    if (type != FrameType::CACHE) return -1;
    out = format;
    return 0;
}

FrameQueue::~FrameQueue() {
    for (LinkNode* node : nodes) {
        delete node->buffer;
        delete node;
    }
}

LinkNode* FrameQueue::takeFree() {
    LinkNode* node = freeHead;
    if (node) {
        freeHead = node->next;
        node->next = nullptr;
        node->place = NodePlace::CAPTURING;
    }
    return node;
}

void FrameQueue::pushReady(LinkNode* node) {
    node->next = nullptr;
    node->place = NodePlace::READY;
    if (readyTail) {
        readyTail->next = node;
    } else {
        readyHead = node;
    }
    readyTail = node;
}

LinkNode* FrameQueue::takeReady() {
    LinkNode* node = readyHead;
    if (node) {
        readyHead = node->next;
        if (!readyHead) readyTail = nullptr;
        node->next = nullptr;
        node->place = NodePlace::HELD;
    }
    return node;
}

int FrameQueue::putFree(LinkNode* node) {
    bool ours = false;
    for (LinkNode* n : nodes) {
        if (n == node) {
            ours = true;
            break;
        }
    }
    if (!ours || (node->place != NodePlace::HELD && node->place != NodePlace::CAPTURING)) return -1;
    node->next = freeHead;
    node->place = NodePlace::FREE;
    freeHead = node;
    return 0;
}

LinkNode* FrameQueue::findNode(const ZentroxFrameBuffer* buffer) const {
    for (LinkNode* n : nodes) {
        if (n->buffer == buffer) return n;
    }
    return nullptr;
}

void FrameQueue::adopt(std::unique_ptr<ZentroxFrameBuffer> buffer) {
    std::unique_ptr<LinkNode> node(new LinkNode);
    nodes.reserve(nodes.size() + 1);  // the only step that may throw after the node exists
    node->buffer = buffer.release();
    LinkNode* raw = node.release();
    nodes.push_back(raw);
    raw->next = freeHead;
    raw->place = NodePlace::FREE;
    freeHead = raw;
}

size_t FrameQueue::freeCount() const {
    size_t n = 0;
    for (LinkNode* p = freeHead; p; p = p->next)
        ++n;
    return n;
}

size_t FrameQueue::readyCount() const {
    size_t n = 0;
    for (LinkNode* p = readyHead; p; p = p->next)
        ++n;
    return n;
}

uint64_t boundedSamples(std::initializer_list<uint64_t> factors) {
    uint64_t product = 1;
    for (uint64_t factor : factors) {
        // Both stay within 2^32 before the multiplication, so it cannot wrap.
        if (factor == 0 || factor > MAX_FRAME_SAMPLES) return 0;
        product *= factor;
        if (product > MAX_FRAME_SAMPLES) return 0;
    }
    return product;
}

namespace {

std::atomic<uint64_t> lastPoolSerial{0};

// Samples of a width x height plane; throws before anything is allocated if out of bounds.
uint64_t planeSamples(uint32_t width, uint32_t height) {
    const uint64_t samples = boundedSamples({width, height});
    if (samples == 0 && width != 0 && height != 0) throw std::bad_array_new_length();
    return samples;
}

// Byte count of the cache, once both the cache and the buffers' planes are known to be in bounds.
size_t cacheBytes(const CameraInfo& info, const OutputGeometry& geometry) {
    planeSamples(geometry.width, geometry.height);
    return size_t(planeSamples(info.width, info.height)) * 2;
}

}  // namespace

FramePool::FramePool(FrameType outputType, CameraInfo info, const OutputGeometry& geometry)
    : queue(new FrameQueue),
      cache(new CacheData(info.width, 2 * info.height, cacheBytes(info, geometry))),
      serial(++lastPoolSerial) {
    // If anything below throws, the members built so far are destroyed with their buffers.
    for (uint8_t i = 0; i < capacity; ++i) {
        if (outputType == FrameType::RAW) {
            queue->adopt(std::unique_ptr<ZentroxFrameBuffer>(new RawData(geometry.width, geometry.height)));
        } else if (outputType == FrameType::DEPTH) {
            queue->adopt(std::unique_ptr<ZentroxFrameBuffer>(new DepthData(geometry.width, geometry.height)));
        }
    }
}

FramePool::~FramePool() = default;

LinkNode* FramePool::takeForCapture(CameraClock& clock, int64_t sliceNs) {
    std::unique_lock<std::mutex> lock(mutex);
    // A ready frame may be taken back only if every waiting requester still finds one: otherwise a
    // caller holding two buffers could never get a third.
    auto take = [this]() -> LinkNode* {
        if (LinkNode* node = queue->takeFree()) return node;
        if (readyCount > waiters) {
            --readyCount;
            LinkNode* node = queue->takeReady();
            node->place = NodePlace::CAPTURING;
            return node;
        }
        return nullptr;
    };
    if (LinkNode* node = take()) return node;
    // The caller holds the buffers that are not ready: wait for one to come back (a release wakes
    // this wait) or a waiting requester to give up.
    const int64_t deadline = clock.steadyNs() + sliceNs;
    LinkNode* node = nullptr;
    while ((node = take()) == nullptr && clock.waitUntil(cond, lock, deadline)) {
    }
    return node != nullptr ? node : take();
}

void FramePool::publish(LinkNode* node) {
    std::lock_guard<std::mutex> lock(mutex);
    if (readyCount >= readyLimit) {
        // Cannot happen with capacity <= readyLimit; kept so that the bound holds whatever the size.
        LinkNode* oldest = queue->takeReady();
        --readyCount;
        queue->putFree(oldest);
    }
    queue->pushReady(node);
    ++readyCount;
    cond.notify_all();
}

void FramePool::discard(LinkNode* node) {
    std::lock_guard<std::mutex> lock(mutex);
    queue->putFree(node);
}

ZentroxFrameBuffer* FramePool::request(short timeout, FrameWaitHook* hook) {
    std::unique_lock<std::mutex> lock(mutex);
    auto ready = [this] { return readyCount > 0 || retired; };
    bool got = ready();
    if (!got && timeout != 0) {
        // Counted for the whole wait, also while the hook runs, so that the capture thread leaves
        // the next frame to this request.
        ++waiters;
        got = waitForRequest(lock, cond, wakes, timeout, hook, ready);
        --waiters;
    }
    // A wait the hook ended takes nothing, even if a frame came meanwhile: it stays for the next.
    if (!got || retired) {
        // Giving up may let the capture thread take back a frame it had to leave.
        cond.notify_all();
        return nullptr;
    }
    --readyCount;
    return queue->takeReady()->buffer;
}

int FramePool::release(const ZentroxFrameBuffer* buffer) {
    std::lock_guard<std::mutex> lock(mutex);
    LinkNode* node = buffer != nullptr ? queue->findNode(buffer) : nullptr;
    // Only a buffer the caller holds goes back: one released twice, still ready, or being filled by
    // the capture thread is refused and nothing changes.
    if (node == nullptr || node->place != NodePlace::HELD) return -1;
    queue->putFree(node);
    cond.notify_all();  // the capture thread may be waiting for a buffer
    return 0;
}

bool FramePool::holds(const ZentroxFrameBuffer* buffer) const {
    std::lock_guard<std::mutex> lock(mutex);
    const LinkNode* node = buffer != nullptr ? queue->findNode(buffer) : nullptr;
    return node != nullptr && node->place == NodePlace::HELD;
}

void FramePool::wakeRequests() {
    std::lock_guard<std::mutex> lock(mutex);
    ++wakes;
    cond.notify_all();
}

void FramePool::retire() {
    std::lock_guard<std::mutex> lock(mutex);
    retired = true;
    cond.notify_all();
}

PoolCounts FramePool::counts() const {
    std::lock_guard<std::mutex> lock(mutex);
    PoolCounts counts;
    counts.waiters = waiters;
    for (const LinkNode* node : queue->allNodes()) {
        switch (node->place) {
            case NodePlace::FREE:
                ++counts.free;
                break;
            case NodePlace::CAPTURING:
                ++counts.capturing;
                break;
            case NodePlace::READY:
                ++counts.ready;
                break;
            case NodePlace::HELD:
                ++counts.held;
                break;
        }
    }
    return counts;
}

}  // namespace Zentrox
