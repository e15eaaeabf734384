#include "sensor/csi/CaptureNode.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>

#include "system/KernelStatus.h"

namespace Zentrox {

namespace {

struct SinglePlane {
    static void requestFormat(v4l2_format& format, uint32_t width, uint32_t height, uint32_t pixelFormat) {
        format.fmt.pix.width = width;
        format.fmt.pix.height = height;
        format.fmt.pix.pixelformat = pixelFormat;
        format.fmt.pix.field = V4L2_FIELD_NONE;
    }
    static void answeredFormat(const v4l2_format& format, uint32_t& width, uint32_t& height,
                               uint32_t& pixelFormat) {
        width = format.fmt.pix.width;
        height = format.fmt.pix.height;
        pixelFormat = format.fmt.pix.pixelformat;
    }
    static void attachPlane(v4l2_buffer&, v4l2_plane&) {}
    static size_t mapLength(const v4l2_buffer& buffer, const v4l2_plane&) { return buffer.length; }
    static int64_t mapOffset(const v4l2_buffer& buffer, const v4l2_plane&) { return buffer.m.offset; }
    static bool filledLength(const v4l2_buffer& buffer, const v4l2_plane&, size_t& length) {
        length = buffer.length;
        return true;
    }
};

struct MultiPlane {
    static void requestFormat(v4l2_format& format, uint32_t width, uint32_t height, uint32_t pixelFormat) {
        format.fmt.pix_mp.width = width;
        format.fmt.pix_mp.height = height;
        format.fmt.pix_mp.pixelformat = pixelFormat;
        format.fmt.pix_mp.field = V4L2_FIELD_NONE;
        format.fmt.pix_mp.num_planes = 1;
        format.fmt.pix_mp.plane_fmt[0].bytesperline = 2 * width;
        format.fmt.pix_mp.plane_fmt[0].sizeimage = 2 * width * height;
    }
    static void answeredFormat(const v4l2_format& format, uint32_t& width, uint32_t& height,
                               uint32_t& pixelFormat) {
        width = format.fmt.pix_mp.width;
        height = format.fmt.pix_mp.height;
        pixelFormat = format.fmt.pix_mp.pixelformat;
    }
    static void attachPlane(v4l2_buffer& buffer, v4l2_plane& plane) {
        buffer.m.planes = &plane;
        buffer.length = 1;
    }
    static size_t mapLength(const v4l2_buffer&, const v4l2_plane& plane) { return plane.length; }
    static int64_t mapOffset(const v4l2_buffer&, const v4l2_plane& plane) { return plane.m.mem_offset; }
    // One plane is read, when the driver reports any.
    static bool filledLength(const v4l2_buffer& buffer, const v4l2_plane& plane, size_t& length) {
        length = plane.length;
        return buffer.length >= 1;
    }
};

template <typename L>
constexpr PlaneLayout layoutOf(uint32_t type) {
    return {type,         L::requestFormat, L::answeredFormat, L::attachPlane,
            L::mapLength, L::mapOffset,     L::filledLength};
}

}  // namespace

const PlaneLayout kSinglePlane = layoutOf<SinglePlane>(V4L2_BUF_TYPE_VIDEO_CAPTURE);
const PlaneLayout kMultiPlane = layoutOf<MultiPlane>(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE);

bool CaptureNode::open(const char* path) {
    fd = KernelFd(seam.open(path, O_RDWR), seam);
    return fd.valid();
}

void CaptureNode::close() {
    unmapBuffers();
    fd.reset();
}

int CaptureNode::capabilities(uint32_t& flags) {
    v4l2_capability cap;
    std::memset(&cap, 0, sizeof cap);
    const int r = fd.ioctl(VIDIOC_QUERYCAP, &cap);
    flags = cap.capabilities;
    return r < 0 ? r : 0;
}

int CaptureNode::selectInput(int index) {
    const int r = fd.ioctl(VIDIOC_S_INPUT, &index);
    return r < 0 ? r : 0;
}

int CaptureNode::setFormat(uint32_t width, uint32_t height, uint32_t pixelFormat) {
    v4l2_format format;
    std::memset(&format, 0, sizeof format);
    format.type = layout->bufferType;
    layout->requestFormat(format, width, height, pixelFormat);
    if (int r = fd.ioctl(VIDIOC_TRY_FMT, &format); r < 0) return r;
    if (int r = fd.ioctl(VIDIOC_S_FMT, &format); r < 0) return r;
    // A driver answers a size or pixel format it cannot stream with one it can, and succeeds:
    // streaming that would hand out frames of another geometry or sample layout.
    uint32_t gotWidth = 0, gotHeight = 0, gotFormat = 0;
    layout->answeredFormat(format, gotWidth, gotHeight, gotFormat);
    return gotWidth == width && gotHeight == height && gotFormat == pixelFormat ? 0 : 1;
}

void CaptureNode::describe(v4l2_buffer& buffer, v4l2_plane& plane, uint32_t index) const {
    std::memset(&buffer, 0, sizeof buffer);
    std::memset(&plane, 0, sizeof plane);
    buffer.index = index;
    buffer.type = layout->bufferType;
    buffer.memory = V4L2_MEMORY_MMAP;
    layout->attachPlane(buffer, plane);
}

int CaptureNode::startStreaming(int64_t& reportedLength) {
    v4l2_requestbuffers request;
    std::memset(&request, 0, sizeof request);
    request.count = kBufferCount;
    request.type = layout->bufferType;
    request.memory = V4L2_MEMORY_MMAP;
    if (int r = fd.ioctl(VIDIOC_REQBUFS, &request); r < 0) return statusFromErrno(r, KernelRequest::SETTING);
    if (request.count != kBufferCount) {
        // The buffer table has exactly 8 slots: anything else is handed back and refused.
        releaseDriverBuffers();
        return -1;
    }
    // On any failure below, what was mapped so far is unmapped and the driver's buffers are given
    // back, so that nothing is left behind and a later start begins afresh.
    auto fail = [this](int code) {
        if (unmapBuffers() == 0) releaseDriverBuffers();
        return code;
    };
    for (uint32_t i = 0; i < kBufferCount; ++i) {
        v4l2_buffer buffer;
        v4l2_plane plane;
        describe(buffer, plane, i);
        if (int r = fd.ioctl(VIDIOC_QUERYBUF, &buffer); r < 0)
            return fail(statusFromErrno(r, KernelRequest::SETTING));
        reportedLength = buffer.length;
        const size_t length = layout->mapLength(buffer, plane);
        const off_t offset = off_t(layout->mapOffset(buffer, plane));
        void* address = seam.mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), offset);
        if (address == MAP_FAILED)
            return fail(statusFromErrno(errno != 0 ? errno : EIO, KernelRequest::SETTING));
        buffers[i] = KernelMapping(address, length, seam);
        describe(buffer, plane, i);
        if (int r = fd.ioctl(VIDIOC_QBUF, &buffer); r < 0)
            return fail(statusFromErrno(r, KernelRequest::SETTING));
    }
    int type = int(layout->bufferType);
    if (int r = fd.ioctl(VIDIOC_STREAMON, &type); r < 0)
        return fail(statusFromErrno(r, KernelRequest::DEVICE));
    return 0;
}

int CaptureNode::stopStreaming() {
    if (!fd.valid()) return -2;
    int type = int(layout->bufferType);
    if (int r = fd.ioctl(VIDIOC_STREAMOFF, &type); r < 0) return statusFromErrno(r, KernelRequest::DEVICE);
    int failures = 0;
    for (uint32_t i = 0; i < kBufferCount; ++i) {
        if (!buffers[i].mapped()) continue;
        v4l2_buffer buffer;
        v4l2_plane plane;
        describe(buffer, plane, i);
        if (int r = fd.ioctl(VIDIOC_QUERYBUF, &buffer); r < 0)
            return statusFromErrno(r, KernelRequest::DEVICE);
        // Released with the length it was mapped with.
        if (buffers[i].unmap() != 0) ++failures;
    }
    if (failures) return -2;
    // Drivers refuse a new format while buffers are allocated: give them back for the next start.
    if (int r = releaseDriverBuffers(); r < 0) return statusFromErrno(r, KernelRequest::DEVICE);
    return 0;
}

// A DQBUF on the blocking video node waits for ever when nothing will be filled: a module that stopped
// sending, or every buffer lost to failed re-queues. The capture thread would then never see a stop,
// and stop would never return. So the wait for a filled buffer is bounded, and measured against a
// deadline: a signal resumes the wait for the time left, so frequent signals cannot keep the capture
// thread (and with it stop) waiting beyond the bound.
bool CaptureNode::waitReadable(int waitMs) {
    constexpr int64_t kMsNs = 1000000;
    const int64_t deadline = seam.monotonicNs() + int64_t(waitMs) * kMsNs;
    pollfd ready{fd.get(), POLLIN, 0};
    for (int64_t left = int64_t(waitMs) * kMsNs; left > 0; left = deadline - seam.monotonicNs()) {
        const int r = seam.poll(&ready, 1, int((left + kMsNs - 1) / kMsNs));
        if (r > 0) return (ready.revents & POLLIN) != 0;  // POLLERR: not streaming, or nothing queued
        if (r == 0 || errno != EINTR) return false;       // no buffer in time, or the wait failed
    }
    return false;  // interrupted until the deadline passed
}

int CaptureNode::dequeue(FilledBuffer& filled, int waitMs) {
    describe(filled.buffer, filled.plane, 0);
    if (!waitReadable(waitMs)) return -1;
    if (int r = fd.ioctl(VIDIOC_DQBUF, &filled.buffer); r < 0)
        return statusFromErrno(r, KernelRequest::SETTING);
    if (filled.buffer.index >= uint32_t(kBufferCount)) return 1;
    const KernelMapping& mapping = buffers[filled.buffer.index];
    filled.data = static_cast<const uint8_t*>(mapping.data());
    size_t length = 0;
    filled.hasPlane = layout->filledLength(filled.buffer, filled.plane, length);
    filled.length = std::min(length, mapping.size());
    return 0;
}

int CaptureNode::requeue(FilledBuffer& filled) {
    const int r = fd.ioctl(VIDIOC_QBUF, &filled.buffer);
    return r < 0 ? r : 0;
}

int CaptureNode::releaseDriverBuffers() {
    v4l2_requestbuffers request;
    std::memset(&request, 0, sizeof request);
    request.count = 0;
    request.type = layout->bufferType;
    request.memory = V4L2_MEMORY_MMAP;
    return fd.ioctl(VIDIOC_REQBUFS, &request);
}

int CaptureNode::mappedBuffers() const {
    int n = 0;
    for (const auto& mapping : buffers)
        n += mapping.mapped() ? 1 : 0;
    return n;
}

int CaptureNode::unmapBuffers() {
    int failures = 0;
    for (auto& mapping : buffers) {
        if (mapping.unmap() != 0) ++failures;
    }
    return failures;
}

}  // namespace Zentrox
