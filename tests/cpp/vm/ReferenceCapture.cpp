#include "ReferenceCapture.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <cstring>

#include "KernelSeam.h"

namespace Zentrox {

namespace {
constexpr unsigned kBuffers = 8;

void prepare(v4l2_buffer& buf, v4l2_plane& plane, uint32_t type) {
    std::memset(&buf, 0, sizeof buf);
    std::memset(&plane, 0, sizeof plane);
    buf.type = type;
    buf.memory = V4L2_MEMORY_MMAP;
    if (type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE) {
        buf.m.planes = &plane;
        buf.length = 1;
    }
}
}  // namespace

ReferenceCapture::ReferenceCapture(const char* devicePath, bool multiPlane, uint32_t pixelFormat)
    : devicePath(devicePath),
      bufType(multiPlane ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE),
      pixelFormat(pixelFormat) {}

int ReferenceCapture::xioctl(unsigned long request, void* arg) {
    int result = -1;
    for (int attempt = 0; attempt < 5; ++attempt) {
        result = kernel().ioctl(videoFd, request, arg);
        if (result == 0 || (errno != EINTR && errno != EAGAIN && errno != ETIMEDOUT)) {
            break;
        }
    }
    return result;
}

int ReferenceCapture::open(CameraInfo& given) {
    videoFd = kernel().open(devicePath, O_RDWR);
    if (videoFd < 0) {
        return -2;
    }
    v4l2_capability cap;
    std::memset(&cap, 0, sizeof cap);
    if (xioctl(VIDIOC_QUERYCAP, &cap) != 0) {
        return -2;
    }
    const uint32_t wanted =
        bufType == V4L2_BUF_TYPE_VIDEO_CAPTURE ? V4L2_CAP_VIDEO_CAPTURE : V4L2_CAP_VIDEO_CAPTURE_MPLANE;
    if (!(cap.capabilities & wanted) || !(cap.capabilities & V4L2_CAP_STREAMING)) {
        return -2;
    }
    if (bufType == V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        int input = 0;
        if (xioctl(VIDIOC_S_INPUT, &input) != 0) {
            return -2;
        }
    }
    info = given;
    info.width = 640;
    info.height = 480;
    info.bit_width = 12;
    info.bpp = 2;
    given = info;
    return 0;
}

int ReferenceCapture::close() {
    if (videoFd >= 0) {
        kernel().close(videoFd);
        videoFd = -1;
    }
    return 0;
}

int ReferenceCapture::configureFormat() {
    v4l2_format fmt;
    std::memset(&fmt, 0, sizeof fmt);
    fmt.type = bufType;
    if (bufType == V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        fmt.fmt.pix.width = info.width;
        fmt.fmt.pix.height = info.height;
        fmt.fmt.pix.pixelformat = pixelFormat;
        fmt.fmt.pix.field = V4L2_FIELD_NONE;
    } else {
        fmt.fmt.pix_mp.width = info.width;
        fmt.fmt.pix_mp.height = info.height;
        fmt.fmt.pix_mp.pixelformat = pixelFormat;
        fmt.fmt.pix_mp.field = V4L2_FIELD_NONE;
        fmt.fmt.pix_mp.num_planes = 1;
        fmt.fmt.pix_mp.plane_fmt[0].bytesperline = 2 * info.width;
        fmt.fmt.pix_mp.plane_fmt[0].sizeimage = 2 * info.width * info.height;
    }
    if (xioctl(VIDIOC_TRY_FMT, &fmt) != 0 || xioctl(VIDIOC_S_FMT, &fmt) != 0) {
        return -1;
    }
    // Drivers adjust a format they cannot take instead of refusing it.
    const bool single = bufType == V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const uint32_t width = single ? fmt.fmt.pix.width : fmt.fmt.pix_mp.width;
    const uint32_t height = single ? fmt.fmt.pix.height : fmt.fmt.pix_mp.height;
    const uint32_t format = single ? fmt.fmt.pix.pixelformat : fmt.fmt.pix_mp.pixelformat;
    return width == info.width && height == info.height && format == pixelFormat ? 0 : -1;
}

int ReferenceCapture::start() {
    if (configureFormat() != 0) {
        return -1;
    }
    v4l2_requestbuffers req;
    std::memset(&req, 0, sizeof req);
    req.count = kBuffers;
    req.type = bufType;
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(VIDIOC_REQBUFS, &req) != 0 || req.count != kBuffers) {
        return -1;
    }
    for (unsigned i = 0; i < kBuffers; ++i) {
        v4l2_buffer buf;
        v4l2_plane plane;
        prepare(buf, plane, bufType);
        buf.index = i;
        if (xioctl(VIDIOC_QUERYBUF, &buf) != 0) {
            return -1;
        }
        const bool single = bufType == V4L2_BUF_TYPE_VIDEO_CAPTURE;
        lengths[i] = single ? buf.length : plane.length;
        const off_t offset = single ? buf.m.offset : plane.m.mem_offset;
        buffers[i] = kernel().mmap(nullptr, lengths[i], PROT_READ | PROT_WRITE, MAP_SHARED, videoFd, offset);
        if (buffers[i] == MAP_FAILED) {
            buffers[i] = nullptr;
            return -1;
        }
        if (xioctl(VIDIOC_QBUF, &buf) != 0) {
            return -1;
        }
    }
    int type = bufType;
    return xioctl(VIDIOC_STREAMON, &type) == 0 ? 0 : -2;
}

int ReferenceCapture::getFrame(uint8_t* data, uint64_t* timestamp) {
    const int n = subFrameCount;
    if (n <= 0) {
        *timestamp = 0;
        return 0;
    }
    const size_t room = size_t(info.width) * info.height * 2;
    size_t position = 0;
    for (int i = 0; i < n;) {
        v4l2_buffer buf;
        v4l2_plane plane;
        prepare(buf, plane, bufType);
        if (videoFd < 0 || xioctl(VIDIOC_DQBUF, &buf) != 0) {
            return -2;
        }
        if (buf.index >= kBuffers) {
            return 2;
        }
        if (i > 0) {
            const int64_t d = int64_t(buf.timestamp.tv_usec) - prevUsec;
            const int64_t seconds = int64_t(buf.timestamp.tv_sec) - prevSec;
            if (seconds * 1000000 + d > 5000) {
                position = 0;
                i = 0;
            }
        }
        const size_t length = bufType == V4L2_BUF_TYPE_VIDEO_CAPTURE ? buf.length : plane.length;
        const size_t copied = length < room ? length : room;
        std::memcpy(data + position, buffers[buf.index], copied);
        position += copied;
        prevSec = buf.timestamp.tv_sec;
        prevUsec = buf.timestamp.tv_usec;
        if (xioctl(VIDIOC_QBUF, &buf) != 0) {
            return -2;
        }
        ++i;
    }
    *timestamp = uint64_t(prevSec) * 1000 + uint64_t(prevUsec) / 1000;
    return 0;
}

int ReferenceCapture::stop() {
    int type = bufType;
    if (videoFd < 0 || xioctl(VIDIOC_STREAMOFF, &type) != 0) {
        return -2;
    }
    int failures = 0;
    for (unsigned i = 0; i < kBuffers; ++i) {
        if (buffers[i] != nullptr && kernel().munmap(buffers[i], lengths[i]) != 0) {
            ++failures;
        }
        buffers[i] = nullptr;
    }
    v4l2_requestbuffers req;
    std::memset(&req, 0, sizeof req);
    req.type = bufType;
    req.memory = V4L2_MEMORY_MMAP;
    if (xioctl(VIDIOC_REQBUFS, &req) != 0) {
        return -2;
    }
    return failures == 0 ? 0 : -2;
}

int ReferenceCapture::setControl(CameraCtrl ctrl, int value) {
    switch (ctrl) {
        case CameraCtrl::FMT_WIDTH:
            info.width = value;
            return 0;
        case CameraCtrl::FMT_HEIGHT:
            info.height = value;
            return 0;
        default:
            return 1;
    }
}

int ReferenceCapture::getControl(CameraCtrl ctrl, int* value) {
    switch (ctrl) {
        case CameraCtrl::FMT_WIDTH:
            *value = info.width;
            return 0;
        case CameraCtrl::FMT_HEIGHT:
            *value = info.height;
            return 0;
        default:
            return 1;
    }
}

}  // namespace Zentrox
