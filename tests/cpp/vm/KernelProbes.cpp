#include "tests/cpp/vm/KernelProbes.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <cstring>

#include "system/KernelSeam.h"
#include "tests/cpp/vm/VividSource.h"

namespace Zentrox {

namespace {

struct Node {
    int fd = -1;
    uint32_t type = 0;
    bool multi = false;

    int call(unsigned long request, void* arg, int* error) {
        errno = 0;
        const int result = kernel().ioctl(fd, request, arg);
        *error = result == 0 ? 0 : errno;
        return result;
    }

    // S_FMT (or TRY_FMT) of width x height in `fourcc`; the driver's answer comes back in the arguments.
    int setFormat(unsigned long request, uint32_t& width, uint32_t& height, uint32_t& fourcc,
                  uint32_t* sizeimage) {
        v4l2_format fmt;
        std::memset(&fmt, 0, sizeof fmt);
        fmt.type = type;
        if (multi) {
            fmt.fmt.pix_mp.width = width;
            fmt.fmt.pix_mp.height = height;
            fmt.fmt.pix_mp.pixelformat = fourcc;
            fmt.fmt.pix_mp.field = V4L2_FIELD_NONE;
            fmt.fmt.pix_mp.num_planes = 1;
            fmt.fmt.pix_mp.plane_fmt[0].bytesperline = 2 * width;
            fmt.fmt.pix_mp.plane_fmt[0].sizeimage = 2 * width * height;
        } else {
            fmt.fmt.pix.width = width;
            fmt.fmt.pix.height = height;
            fmt.fmt.pix.pixelformat = fourcc;
            fmt.fmt.pix.field = V4L2_FIELD_NONE;
        }
        int error = 0;
        call(request, &fmt, &error);
        width = multi ? fmt.fmt.pix_mp.width : fmt.fmt.pix.width;
        height = multi ? fmt.fmt.pix_mp.height : fmt.fmt.pix.height;
        fourcc = multi ? fmt.fmt.pix_mp.pixelformat : fmt.fmt.pix.pixelformat;
        if (sizeimage) *sizeimage = multi ? fmt.fmt.pix_mp.plane_fmt[0].sizeimage : fmt.fmt.pix.sizeimage;
        return error;
    }

    int requestBuffers(uint32_t count, uint32_t* granted) {
        v4l2_requestbuffers req;
        std::memset(&req, 0, sizeof req);
        req.count = count;
        req.type = type;
        req.memory = V4L2_MEMORY_MMAP;
        int error = 0;
        call(VIDIOC_REQBUFS, &req, &error);
        if (granted) *granted = req.count;
        return error;
    }

    int queryBuffer(uint32_t index, v4l2_buffer& buf, v4l2_plane& plane) {
        std::memset(&buf, 0, sizeof buf);
        std::memset(&plane, 0, sizeof plane);
        buf.index = index;
        buf.type = type;
        buf.memory = V4L2_MEMORY_MMAP;
        if (multi) {
            buf.m.planes = &plane;
            buf.length = 1;
        }
        int error = 0;
        call(VIDIOC_QUERYBUF, &buf, &error);
        return error;
    }
};

const char* fourccText(uint32_t f, char* out) {
    for (int i = 0; i < 4; ++i)
        out[i] = char((f >> (8 * i)) & 0xff);
    out[4] = 0;
    return out;
}

}  // namespace

void runKernelProbes(VmChecks& checks, const char* videoPath, bool multiPlane, uint32_t width,
                     uint32_t height) {
    Node node;
    node.multi = multiPlane;
    node.type = multiPlane ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
    node.fd = kernel().open(videoPath, O_RDWR);
    if (!checks.check(node.fd >= 0, "probe: open %s", videoPath)) return;
    char a[5], b[5];

    // The capability word: the transport picks the buffer type from `capabilities`.
    v4l2_capability cap;
    std::memset(&cap, 0, sizeof cap);
    int error = 0;
    node.call(VIDIOC_QUERYCAP, &cap, &error);
    checks.note("fact querycap: capabilities 0x%08x device_caps 0x%08x", cap.capabilities, cap.device_caps);
    const uint32_t want = multiPlane ? V4L2_CAP_VIDEO_CAPTURE_MPLANE : V4L2_CAP_VIDEO_CAPTURE;
    const uint32_t other = multiPlane ? V4L2_CAP_VIDEO_CAPTURE : V4L2_CAP_VIDEO_CAPTURE_MPLANE;
    checks.check(error == 0 && (cap.capabilities & want) && !(cap.capabilities & other) &&
                     (cap.capabilities & V4L2_CAP_STREAMING) && (cap.capabilities & V4L2_CAP_DEVICE_CAPS),
                 "probe: capabilities name the one capture type, streaming and device caps");

    // A wrong buffer type is refused outright: vivid answers ENOTTY (no handler for that type),
    // other drivers EINVAL.
    v4l2_format wrongType;
    std::memset(&wrongType, 0, sizeof wrongType);
    wrongType.type = multiPlane ? V4L2_BUF_TYPE_VIDEO_CAPTURE : V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
    node.call(VIDIOC_S_FMT, &wrongType, &error);
    checks.note("fact s_fmt_other_type: errno %d", error);
    checks.check(error == EINVAL || error == ENOTTY, "probe: S_FMT of the other buffer type fails");

    // Sizes and pixel formats the driver cannot take are adjusted, not refused.
    uint32_t w = 8, h = height, f = V4L2_PIX_FMT_Y12, size = 0;
    error = node.setFormat(VIDIOC_TRY_FMT, w, h, f, &size);
    checks.note("fact try_fmt_width_8: errno %d -> %ux%u %s", error, w, h, fourccText(f, a));
    checks.check(error == 0 && w != 8 && f == V4L2_PIX_FMT_Y12,
                 "probe: TRY_FMT adjusts a width of 8 and succeeds");
    w = 8, h = height, f = V4L2_PIX_FMT_Y12;
    error = node.setFormat(VIDIOC_S_FMT, w, h, f, &size);
    checks.note("fact s_fmt_width_8: errno %d -> %ux%u sizeimage %u", error, w, h, size);
    checks.check(error == 0 && w != 8, "probe: S_FMT adjusts a width of 8 and succeeds");
    w = width, h = height, f = V4L2_PIX_FMT_Y12P;
    error = node.setFormat(VIDIOC_S_FMT, w, h, f, &size);
    checks.note("fact s_fmt_y12p: errno %d -> %ux%u %s sizeimage %u", error, w, h, fourccText(f, a), size);
    checks.check(error == 0 && f != V4L2_PIX_FMT_Y12P,
                 "probe: S_FMT replaces an unknown pixel format and succeeds");
    w = width, h = height, f = V4L2_PIX_FMT_Y12;
    error = node.setFormat(VIDIOC_S_FMT, w, h, f, &size);
    checks.note("fact s_fmt_y12: errno %d -> %ux%u %s sizeimage %u", error, w, h, fourccText(f, b), size);
    checks.check(
        error == 0 && w == width && h == height && f == V4L2_PIX_FMT_Y12 && size == 2 * width * height,
        "probe: S_FMT takes %ux%u Y12 with 2 bytes per sample", width, height);

    // Stream-on needs buffers; an input the node lacks is refused.
    int type = node.type;
    node.call(VIDIOC_STREAMON, &type, &error);
    checks.note("fact streamon_no_buffers: errno %d", error);
    checks.check(error == EINVAL, "probe: STREAMON without buffers fails with EINVAL");
    if (!multiPlane) {
        int input = 1;
        node.call(VIDIOC_S_INPUT, &input, &error);
        checks.note("fact s_input_1: errno %d", error);
        checks.check(error == EINVAL, "probe: S_INPUT of a missing input fails with EINVAL");
        input = 0;
        node.call(VIDIOC_S_INPUT, &input, &error);
        checks.check(error == 0, "probe: S_INPUT 0 succeeds");
    }

    // Buffers: exactly 8 granted; the multi-plane QUERYBUF reports the plane count in `length`.
    uint32_t granted = 0;
    error = node.requestBuffers(8, &granted);
    checks.check(error == 0 && granted == 8, "probe: REQBUFS 8 grants %u", granted);
    v4l2_buffer buf;
    v4l2_plane plane;
    error = node.queryBuffer(0, buf, plane);
    checks.note("fact querybuf: errno %d length %u plane length %u offset %u flags 0x%x", error, buf.length,
                plane.length, multiPlane ? plane.m.mem_offset : buf.m.offset, buf.flags);
    if (multiPlane) {
        checks.check(error == 0 && buf.length == 1 && plane.length == size,
                     "probe: QUERYBUF reports 1 plane of %u", size);
    } else {
        checks.check(error == 0 && buf.length == size, "probe: QUERYBUF reports the image size %u", size);
    }
    checks.check((buf.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC,
                 "probe: buffers carry monotonic timestamps");
    const uint32_t length = multiPlane ? plane.length : buf.length;
    const off_t offset = multiPlane ? plane.m.mem_offset : buf.m.offset;

    // Mappings: longer than the buffer or at an offset no buffer has are refused.
    void* tooLong =
        kernel().mmap(nullptr, length + 4096, PROT_READ | PROT_WRITE, MAP_SHARED, node.fd, offset);
    error = tooLong == MAP_FAILED ? errno : 0;
    checks.note("fact mmap_too_long: errno %d", error);
    checks.check(tooLong == MAP_FAILED && error == EINVAL,
                 "probe: mmap longer than the buffer fails with EINVAL");
    if (tooLong != MAP_FAILED) kernel().munmap(tooLong, length + 4096);
    void* nowhere = kernel().mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, node.fd, 0x7ff00000);
    error = nowhere == MAP_FAILED ? errno : 0;
    checks.note("fact mmap_unknown_offset: errno %d", error);
    checks.check(nowhere == MAP_FAILED && error == EINVAL,
                 "probe: mmap at an unknown offset fails with EINVAL");
    if (nowhere != MAP_FAILED) kernel().munmap(nowhere, 4096);
    void* mapped = kernel().mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, node.fd, offset);
    checks.check(mapped != MAP_FAILED, "probe: mmap of buffer 0");

    // A buffer queued twice is refused.
    error = node.queryBuffer(0, buf, plane);
    node.call(VIDIOC_QBUF, &buf, &error);
    checks.check(error == 0, "probe: QBUF of buffer 0");
    error = node.queryBuffer(0, buf, plane);
    checks.check((buf.flags & V4L2_BUF_FLAG_QUEUED) && (buf.flags & V4L2_BUF_FLAG_MAPPED),
                 "probe: QUERYBUF flags a queued, mapped buffer (0x%x)", buf.flags);
    node.call(VIDIOC_QBUF, &buf, &error);
    checks.note("fact qbuf_twice: errno %d", error);
    checks.check(error == EINVAL, "probe: QBUF of a queued buffer fails with EINVAL");

    error = node.queryBuffer(8, buf, plane);
    checks.note("fact querybuf_index_8: errno %d", error);
    checks.check(error == EINVAL, "probe: QUERYBUF of index 8 fails with EINVAL");

    // While buffers are allocated the format is locked, even with the stream off.
    w = width, h = height, f = V4L2_PIX_FMT_Y12;
    error = node.setFormat(VIDIOC_S_FMT, w, h, f, nullptr);
    checks.note("fact s_fmt_with_buffers: errno %d", error);
    checks.check(error == EBUSY, "probe: S_FMT with buffers allocated fails with EBUSY");
    w = width, h = height, f = V4L2_PIX_FMT_Y12;
    error = node.setFormat(VIDIOC_TRY_FMT, w, h, f, nullptr);
    checks.check(error == 0, "probe: TRY_FMT with buffers allocated still succeeds");

    // Dequeue when not streaming; stream off when not streaming.
    std::memset(&buf, 0, sizeof buf);
    std::memset(&plane, 0, sizeof plane);
    buf.type = node.type;
    buf.memory = V4L2_MEMORY_MMAP;
    if (multiPlane) {
        buf.m.planes = &plane;
        buf.length = 1;
    }
    node.call(VIDIOC_DQBUF, &buf, &error);
    checks.note("fact dqbuf_not_streaming: errno %d", error);
    checks.check(error == EINVAL, "probe: DQBUF when not streaming fails with EINVAL");
    node.call(VIDIOC_STREAMOFF, &type, &error);
    checks.check(error == 0, "probe: STREAMOFF when not streaming succeeds");
    // videobuf2 accepts stream-on before any buffer is queued and starts the driver once enough are.
    node.call(VIDIOC_STREAMON, &type, &error);
    checks.note("fact streamon_nothing_queued: errno %d", error);
    checks.check(error == 0, "probe: STREAMON with no buffer queued succeeds");
    error = node.requestBuffers(0, &granted);
    checks.note("fact reqbufs_0_streaming: errno %d", error);
    checks.check(error == EBUSY, "probe: REQBUFS 0 while streaming fails with EBUSY");
    node.call(VIDIOC_STREAMOFF, &type, &error);
    checks.check(error == 0, "probe: STREAMOFF after that succeeds");

    // Stream off gives every buffer back to the caller; the mapping goes with munmap.
    error = node.queryBuffer(0, buf, plane);
    checks.check(error == 0 && !(buf.flags & V4L2_BUF_FLAG_QUEUED),
                 "probe: no buffer queued after STREAMOFF");
    if (mapped != MAP_FAILED) checks.check(kernel().munmap(mapped, length) == 0, "probe: munmap of buffer 0");

    // Giving the buffers back unlocks the format.
    error = node.requestBuffers(0, &granted);
    checks.check(error == 0 && granted == 0, "probe: REQBUFS 0 frees the buffers");
    w = width, h = height, f = V4L2_PIX_FMT_Y12;
    error = node.setFormat(VIDIOC_S_FMT, w, h, f, nullptr);
    checks.check(error == 0, "probe: S_FMT succeeds again after REQBUFS 0");
    kernel().close(node.fd);
}

}  // namespace Zentrox
