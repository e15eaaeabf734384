#include "tests/fakes/FakeCaptureNode.h"

#include <poll.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace Zentrox {

namespace {

constexpr size_t kPage = 4096;
constexpr uint8_t kPadByte = 0xEE;  // fills row padding and the tail of each buffer

size_t pageAlign(size_t n) {
    return (n + kPage - 1) / kPage * kPage;
}

std::shared_ptr<uint8_t> pageMemory(size_t length) {
    size_t size = pageAlign(std::max<size_t>(length, 1));
    auto* p = static_cast<uint8_t*>(std::aligned_alloc(kPage, size));
    std::memset(p, kPadByte, size);
    return std::shared_ptr<uint8_t>(p, [](uint8_t* q) { std::free(q); });
}

void copyName(uint8_t* to, size_t size, const std::string& from) {
    std::memset(to, 0, size);
    std::memcpy(to, from.data(), std::min(size - 1, from.size()));
}

}  // namespace

FakeCaptureNode::FakeCaptureNode(CaptureNodeConfig c) : config(std::move(c)) {
    current = adjust(config.width, config.height, config.pixelFormats.front());
}

uint32_t FakeCaptureNode::bufferType() const {
    return config.multiPlane ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
}

uint32_t FakeCaptureNode::capabilities() const {
    if (config.capabilities) return config.capabilities;
    return (config.multiPlane ? V4L2_CAP_VIDEO_CAPTURE_MPLANE : V4L2_CAP_VIDEO_CAPTURE) | V4L2_CAP_STREAMING;
}

CaptureFormat FakeCaptureNode::adjust(uint32_t width, uint32_t height, uint32_t pixelformat) const {
    CaptureFormat f{};
    f.width = std::clamp<uint32_t>(width, 16, 4096);
    f.height = std::clamp<uint32_t>(height, 16, 4096);
    if (!config.sizes.empty()) {
        // As v4l2_find_nearest_size: the smallest sum of width and height differences.
        auto distance = [&](const std::pair<uint32_t, uint32_t>& s) {
            return std::abs(int64_t(s.first) - width) + std::abs(int64_t(s.second) - height);
        };
        auto nearest =
            std::min_element(config.sizes.begin(), config.sizes.end(),
                             [&](const auto& a, const auto& b) { return distance(a) < distance(b); });
        f.width = nearest->first;
        f.height = nearest->second;
    }
    bool known = std::find(config.pixelFormats.begin(), config.pixelFormats.end(), pixelformat) !=
                 config.pixelFormats.end();
    f.pixelformat = known ? pixelformat : config.pixelFormats.front();
    uint32_t line = f.pixelformat == V4L2_PIX_FMT_Y12P ? (f.width * 3 + 1) / 2 : f.width * 2;
    uint32_t a = std::max<uint32_t>(config.strideAlignment, 1);
    f.bytesperline = (line + a - 1) / a * a;
    f.sizeimage = f.bytesperline * f.height;
    return f;
}

uint32_t FakeCaptureNode::otherCaptureType() const {
    return config.multiPlane ? V4L2_BUF_TYPE_VIDEO_CAPTURE : V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
}

int FakeCaptureNode::doFormat(v4l2_format* f, bool set) {
    if (f->type != bufferType()) return -EINVAL;
    if (set && !buffers.empty()) return -EBUSY;  // videobuf2 is busy while buffers exist
    CaptureFormat a;
    // The members both layouts share; the line and image sizes sit in different places.
    auto adjustShared = [&](auto& p) {
        a = adjust(p.width, p.height, p.pixelformat);
        p.width = a.width;
        p.height = a.height;
        p.pixelformat = a.pixelformat;
        p.field = V4L2_FIELD_NONE;
    };
    if (config.multiPlane) {
        auto& p = f->fmt.pix_mp;
        adjustShared(p);
        p.num_planes = 1;
        p.plane_fmt[0].bytesperline = a.bytesperline;
        p.plane_fmt[0].sizeimage = a.sizeimage;
    } else {
        auto& p = f->fmt.pix;
        adjustShared(p);
        p.bytesperline = a.bytesperline;
        p.sizeimage = a.sizeimage;
    }
    if (set) current = a;
    return 0;
}

int FakeCaptureNode::checkBuffer(const FakeFile& file, v4l2_buffer* b, bool needIndex) const {
    if (b->type != bufferType() || b->memory != V4L2_MEMORY_MMAP) return -EINVAL;
    if (owner != 0 && owner != file.handle) return -EBUSY;
    if (needIndex && b->index >= buffers.size()) return -EINVAL;
    if (config.multiPlane && (!b->m.planes || b->length < 1)) return -EINVAL;
    return 0;
}

void FakeCaptureNode::fillBuffer(v4l2_buffer* b, uint32_t index) const {
    const Buffer& buf = buffers[index];
    b->index = index;
    // A mapping holds a reference to the buffer's memory: more than one owner means mapped.
    b->flags = (buf.queued ? V4L2_BUF_FLAG_QUEUED : 0) |
               (buf.memory.use_count() > 1 ? V4L2_BUF_FLAG_MAPPED : 0) | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    b->field = V4L2_FIELD_NONE;
    if (config.multiPlane) {
        b->length = 1;
        v4l2_plane& p = b->m.planes[0];
        p.length = uint32_t(buf.length);
        p.m.mem_offset = buf.offset;
        p.bytesused = current.sizeimage;
    } else {
        b->length = uint32_t(buf.length);
        b->m.offset = buf.offset;
        b->bytesused = current.sizeimage;
    }
}

int FakeCaptureNode::requestBuffers(FakeFile& file, v4l2_requestbuffers* r) {
    if (r->type != bufferType() || r->memory != V4L2_MEMORY_MMAP) return -EINVAL;
    if (owner != 0 && owner != file.handle) return -EBUSY;
    if (isStreaming) return -EBUSY;
    lastRequestedCount = int(r->count);
    // Mapped memory outlives the buffers: each mapping holds its own reference.
    buffers.clear();
    queue.clear();
    owner = 0;
    if (r->count == 0) return 0;
    uint32_t n = config.grantCount ? config.grantCount : std::clamp<uint32_t>(r->count, 2, 32);
    size_t length = current.sizeimage + config.lengthExtra;
    uint32_t offset = 0;
    for (uint32_t i = 0; i < n; ++i) {
        buffers.push_back(Buffer{pageMemory(length), length, offset});
        offset += uint32_t(pageAlign(length));
    }
    samples.assign(size_t(current.width) * current.height, 0);
    owner = file.handle;
    r->count = n;
    return 0;
}

void FakeCaptureNode::scriptTimestamps(const std::vector<timeval>& stamps) {
    for (auto& s : stamps)
        scripted.push_back(s);
}

timeval FakeCaptureNode::stamp(uint64_t sequence) {
    if (!scripted.empty()) {
        timeval t = scripted.front();
        scripted.pop_front();
        return t;
    }
    uint32_t g = std::max<uint32_t>(timing.groupSize, 1);
    int64_t us = timing.startUsec + int64_t(sequence / g) * timing.groupSpacingUs +
                 int64_t(sequence % g) * timing.subFrameSpacingUs;
    timeval t{};
    t.tv_sec = time_t(timing.startSec + us / 1000000);
    t.tv_usec = suseconds_t(us % 1000000);
    return t;
}

void FakeCaptureNode::writeFrame(uint64_t sequence, Buffer& buffer) {
    uint8_t* memory = buffer.memory.get();
    if (byteWriter) {
        byteWriter(sequence, memory, buffer.length);
        return;
    }
    std::memset(memory, kPadByte, buffer.length);
    const uint32_t w = current.width, h = current.height;
    if (sampleSource) {
        sampleSource(sequence, w, h, samples.data());
    } else {
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                samples[size_t(y) * w + x] = uint16_t((x + 3 * y + 7 * sequence) & 0xFFF);
    }
    for (uint32_t y = 0; y < h; ++y) {
        uint8_t* row = memory + size_t(y) * current.bytesperline;
        const uint16_t* s = samples.data() + size_t(y) * w;
        if (current.pixelformat == V4L2_PIX_FMT_Y12P) {
            for (uint32_t x = 0; x < w; x += 2) {
                uint16_t a = s[x] & 0xFFF, b = x + 1 < w ? s[x + 1] & 0xFFF : 0;
                uint8_t* o = row + size_t(x / 2) * 3;
                o[0] = uint8_t(a >> 4);
                o[1] = uint8_t(b >> 4);
                o[2] = uint8_t((a & 0x0F) | ((b & 0x0F) << 4));
            }
        } else {
            for (uint32_t x = 0; x < w; ++x) {
                uint16_t v = uint16_t((s[x] & 0xFFF) << config.sampleShift);
                row[2 * x] = uint8_t(v);
                row[2 * x + 1] = uint8_t(v >> 8);
            }
        }
    }
}

short FakeCaptureNode::poll(FakeFile&, short requested) {
    if (!isStreaming) return POLLERR;
    if (queue.empty() || stalled) return 0;
    return short(requested & (POLLIN | POLLRDNORM));
}

int FakeCaptureNode::dequeue(FakeFile& file, v4l2_buffer* b) {
    if (int r = checkBuffer(file, b, false)) return r;
    if (!isStreaming) return -EINVAL;
    // A real driver would block here for ever: nothing is queued, or nothing will be filled. The
    // call is counted so that tests can tell the transport never relies on it.
    if (queue.empty() || stalled) {
        ++hangs;
        return -EDEADLK;
    }
    uint32_t index = queue.front();
    queue.pop_front();
    Buffer& buf = buffers[index];
    buf.queued = false;
    uint64_t sequence = nextSequence++;
    writeFrame(sequence, buf);
    fillBuffer(b, index);
    b->sequence = uint32_t(sequence);
    b->timestamp = stamp(sequence);
    if (errorFlags > 0) {
        --errorFlags;
        b->flags |= V4L2_BUF_FLAG_ERROR;
    }
    if (!bogusIndex.empty()) {
        // The driver's buffer is lost to the caller: it never comes back with this index.
        b->index = bogusIndex.front();
        bogusIndex.pop_front();
    }
    return 0;
}

void FakeCaptureNode::setStreaming(bool on) {
    if (isStreaming == on) return;
    isStreaming = on;
    if (!on) {
        queue.clear();
        for (auto& b : buffers)
            b.queued = false;
    }
    if (streamListener) streamListener(on);
}

int FakeCaptureNode::ioctl(FakeFile& file, unsigned long request, void* arg) {
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* cap = static_cast<v4l2_capability*>(arg);
            std::memset(cap, 0, sizeof *cap);
            copyName(cap->driver, sizeof cap->driver, config.driver);
            copyName(cap->card, sizeof cap->card, config.card);
            copyName(cap->bus_info, sizeof cap->bus_info, config.busInfo);
            cap->version = 0x00060100;
            cap->device_caps = capabilities();
            cap->capabilities = capabilities() | V4L2_CAP_DEVICE_CAPS;
            return 0;
        }
        case VIDIOC_G_INPUT:
        case VIDIOC_S_INPUT: {
            if (config.inputs == 0) return -ENOTTY;
            int* index = static_cast<int*>(arg);
            if (request == VIDIOC_G_INPUT) {
                *index = int(currentInput);
                return 0;
            }
            if (*index < 0 || uint32_t(*index) >= config.inputs) return -EINVAL;
            if (isStreaming) return -EBUSY;
            currentInput = uint32_t(*index);
            return 0;
        }
        case VIDIOC_G_FMT: {
            auto* f = static_cast<v4l2_format*>(arg);
            if (f->type != bufferType()) return -EINVAL;
            v4l2_format g{};
            g.type = f->type;
            if (config.multiPlane) {
                g.fmt.pix_mp.width = current.width;
                g.fmt.pix_mp.height = current.height;
                g.fmt.pix_mp.pixelformat = current.pixelformat;
            } else {
                g.fmt.pix.width = current.width;
                g.fmt.pix.height = current.height;
                g.fmt.pix.pixelformat = current.pixelformat;
            }
            int r = doFormat(&g, false);
            *f = g;
            return r;
        }
        case VIDIOC_TRY_FMT:
        case VIDIOC_S_FMT: {
            auto* f = static_cast<v4l2_format*>(arg);
            // As vivid: the other capture type has no handler at all.
            if (f->type == otherCaptureType()) return -ENOTTY;
            return doFormat(f, request == VIDIOC_S_FMT);
        }
        case VIDIOC_REQBUFS:
            return requestBuffers(file, static_cast<v4l2_requestbuffers*>(arg));
        case VIDIOC_QUERYBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            if (b->type != bufferType() || b->memory != V4L2_MEMORY_MMAP || b->index >= buffers.size())
                return -EINVAL;
            if (config.multiPlane && (!b->m.planes || b->length < 1)) return -EINVAL;
            fillBuffer(b, b->index);
            return 0;
        }
        case VIDIOC_QBUF: {
            auto* b = static_cast<v4l2_buffer*>(arg);
            if (int r = checkBuffer(file, b, true)) return r;
            if (buffers[b->index].queued) return -EINVAL;
            buffers[b->index].queued = true;
            queue.push_back(b->index);
            fillBuffer(b, b->index);
            return 0;
        }
        case VIDIOC_DQBUF:
            return dequeue(file, static_cast<v4l2_buffer*>(arg));
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF: {
            int type = *static_cast<int*>(arg);
            if (uint32_t(type) != bufferType()) return -EINVAL;
            if (owner != 0 && owner != file.handle) return -EBUSY;
            if (request == VIDIOC_STREAMOFF) {
                setStreaming(false);
                return 0;
            }
            if (isStreaming) return 0;
            if (buffers.empty()) return -EINVAL;
            if (pipelineCheck) {
                if (int r = pipelineCheck(current)) return r;
            }
            setStreaming(true);
            return 0;
        }
        default:
            return -ENOTTY;
    }
}

std::shared_ptr<uint8_t> FakeCaptureNode::mmap(FakeFile&, size_t length, int prot, int flags, off_t offset,
                                               uint8_t** address, int* error) {
    *address = nullptr;
    *error = EINVAL;
    if (!(flags & MAP_SHARED) || !(prot & PROT_READ)) return nullptr;
    for (auto& b : buffers) {
        if (off_t(b.offset) != offset) continue;
        if (pageAlign(length) > pageAlign(b.length)) return nullptr;
        *address = b.memory.get();
        *error = 0;
        return b.memory;
    }
    return nullptr;
}

void FakeCaptureNode::closed(FakeFile& file) {
    // The owner's last close stops the stream and frees the buffers, as videobuf2 does.
    if (file.handle != owner) return;
    setStreaming(false);
    buffers.clear();
    queue.clear();
    owner = 0;
}

const uint8_t* FakeCaptureNode::bufferMemory(uint32_t index) const {
    return index < buffers.size() ? buffers[index].memory.get() : nullptr;
}

}  // namespace Zentrox
