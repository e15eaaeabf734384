#include "FrameBuffer.h"

namespace Zentrox {

ZentroxFrameBuffer::~ZentroxFrameBuffer() = default;

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
        case FrameType::CONFIDENCE: return confidence.get();
        case FrameType::AMPLITUDE: return amplitude.get();
        case FrameType::DEPTH: return depth.get();
        default: return nullptr;
    }
}

int DepthData::getFormat(FrameType type, FrameDataFormat& out) {
    switch (type) {
        case FrameType::DEPTH: out = depthFormat; return 0;
        case FrameType::CONFIDENCE:
        case FrameType::AMPLITUDE: out = confidenceFormat; return 0;
        default: return -1;
    }
}

RawData::RawData(uint32_t width, uint32_t height)
    : raw(new int16_t[size_t(width) * height]), format{width, height, FrameType::RAW, 0} {}

RawData::~RawData() = default;

void RawData::setTimestamp(uint64_t timestamp) { format.timestamp = timestamp; }

void* RawData::getData(FrameType type) { return type == FrameType::RAW ? raw.get() : nullptr; }

int RawData::getFormat(FrameType type, FrameDataFormat& out) {
    if (type != FrameType::RAW) return -1;
    out = format;
    return 0;
}

CacheData::CacheData(uint32_t width, uint32_t formatHeight, size_t bytes)
    : data(new uint8_t[bytes]), bytes(bytes), format{width, formatHeight, FrameType::CACHE, 0} {}

CacheData::~CacheData() = default;

void CacheData::setTimestamp(uint64_t timestamp) { format.timestamp = timestamp; }

void* CacheData::getData(FrameType type) { return type == FrameType::CACHE ? data.get() : nullptr; }

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
    std::lock_guard<std::mutex> lock(mutex);
    LinkNode* node = freeHead;
    if (node) {
        freeHead = node->next;
        node->next = nullptr;
        node->place = NodePlace::HELD;
    }
    return node;
}

void FrameQueue::pushReady(LinkNode* node) {
    std::lock_guard<std::mutex> lock(mutex);
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
    std::lock_guard<std::mutex> lock(mutex);
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
    std::lock_guard<std::mutex> lock(mutex);
    bool ours = false;
    for (LinkNode* n : nodes) {
        if (n == node) {
            ours = true;
            break;
        }
    }
    if (!ours || node->place != NodePlace::HELD) return -1;
    node->next = freeHead;
    node->place = NodePlace::FREE;
    freeHead = node;
    return 0;
}

LinkNode* FrameQueue::findNode(ZentroxFrameBuffer* buffer) const {
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
    std::lock_guard<std::mutex> lock(mutex);
    raw->next = freeHead;
    raw->place = NodePlace::FREE;
    freeHead = raw;
}

size_t FrameQueue::freeCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (LinkNode* p = freeHead; p; p = p->next) ++n;
    return n;
}

size_t FrameQueue::readyCount() const {
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = 0;
    for (LinkNode* p = readyHead; p; p = p->next) ++n;
    return n;
}

FramePool::FramePool(FrameType outputType, CameraInfo info, const OutputGeometry& geometry)
    : queue(new FrameQueue),
      cache(new CacheData(info.width, 2 * info.height, size_t(info.width) * info.height * 2)) {
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

}  // namespace Zentrox
