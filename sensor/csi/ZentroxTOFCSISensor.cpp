#include "ZentroxTOFCSISensor.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/i2c.h>
#include <linux/media-bus-format.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "I2cAccess.h"
#include "Platform.h"
#include "Sleep.h"

// Older kernel headers lack the packed 12-bit greyscale format (two samples in three bytes).
#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

namespace Zentrox {

namespace {

// The module driver's private range control: 1 selects the 2 m range, 0 the 4 m range.
constexpr uint32_t kRangeControl = V4L2_CID_USER_BASE + 0x1001;
constexpr size_t kCalibrationBytes = 16384;
constexpr int kAttempts = 5;
constexpr int64_t kGroupGapUs = 5000;
// How long getFrame waits for the driver to fill a buffer, as the USB transport does for the kit.
constexpr int kFrameWaitMs = 2000;

bool isMultiPlane(uint32_t type) {
    return type == V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
}

}  // namespace

ZentroxTOFCSISensor::ZentroxTOFCSISensor(const char* path, int platform)
    : platform(platform), bufType(V4L2_BUF_TYPE_VIDEO_CAPTURE) {
    subFrameCount = 1;
    if (path) std::snprintf(devicePath, sizeof devicePath, "%s", path);
}

ZentroxTOFCSISensor::~ZentroxTOFCSISensor() {
    close();
}

int ZentroxTOFCSISensor::xioctl(int fd, unsigned long request, void* arg) {
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    int r = -1;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        r = kernel().ioctl(fd, request, arg);
        if (r >= 0) return 0;
        if (errno != EINTR && errno != EAGAIN && errno != ETIMEDOUT) break;
    }
    return r;
}

int ZentroxTOFCSISensor::open(CameraInfo& callerInfo) {
    if (videoFd.valid()) close();
    videoFd = KernelFd(kernel().open(devicePath, O_RDWR));
    if (!videoFd.valid()) return -2;

    v4l2_capability cap;
    std::memset(&cap, 0, sizeof cap);
    if (xioctl(videoFd.get(), VIDIOC_QUERYCAP, &cap) != 0) {
        // Reported and refused; the descriptor is released by close like every other.
        std::fprintf(stderr, "VIDIOC_QUERYCAP: error - %d\n", errno);
        return -2;
    }
    if (!(cap.capabilities & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE))) return -2;
    if (!(cap.capabilities & V4L2_CAP_STREAMING)) return -2;
    bufType =
        platform == Platform::RADXA_ROCK ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;

    findSubdevices(media, videoFd.get(), platform);

    if (bufType == V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        int input = inputIndex;
        if (xioctl(videoFd.get(), VIDIOC_S_INPUT, &input) != 0) return -2;
    }
    if (openI2cBus() != 0) return -2;
    caliBuffer.reset(new (std::nothrow) uint8_t[kCalibrationBytes]());
    if (!caliBuffer) return -2;

    int result = 0;
    v4l2_subdev_format format;
    std::memset(&format, 0, sizeof format);
    int sensorFd = media.sensorFd();
    // Made once: the format read is not retried.
    if (sensorFd < 0 || kernel().ioctl(sensorFd, VIDIOC_SUBDEV_G_FMT, &format) != 0) {
        result = -2;
    } else {
        callerInfo.width = format.format.width;
        callerInfo.height = format.format.height;
    }
    callerInfo.bit_width = 12;
    callerInfo.bpp = 2;
    info = callerInfo;
    return result;
}

int ZentroxTOFCSISensor::openI2cBus() {
    int bus = i2c_find_bus(media.i2cBusName);
    if (bus < 0) return -2;
    char name[20];
    i2cFd = KernelFd(i2c_open_i2c_dev(bus, name, sizeof name, 0));
    if (!i2cFd.valid()) return -2;
    unsigned long funcs = 0;
    if (i2c_get_functionality(i2cFd.get(), &funcs) < 0) return -2;
    if (!(funcs & I2C_FUNC_I2C)) {
        std::fprintf(stderr, "Error: Adapter does not have %s capability\n", "I2C transfers");
        return -2;
    }
    i2cAddress = uint16_t(i2c_parse_chip_address("0x0c"));
    return 0;
}

int ZentroxTOFCSISensor::configureFormat() {
    if (!videoFd.valid()) return 0;
    v4l2_format format;
    std::memset(&format, 0, sizeof format);
    format.type = bufType;
    if (isMultiPlane(bufType)) {
        format.fmt.pix_mp.width = info.width;
        format.fmt.pix_mp.height = info.height;
        format.fmt.pix_mp.pixelformat = V4L2_PIX_FMT_Y12;
        format.fmt.pix_mp.field = V4L2_FIELD_NONE;
        format.fmt.pix_mp.num_planes = 1;
        format.fmt.pix_mp.plane_fmt[0].bytesperline = 2 * info.width;
        format.fmt.pix_mp.plane_fmt[0].sizeimage = 2 * info.width * info.height;
    } else {
        format.fmt.pix.width = info.width;
        format.fmt.pix.height = info.height;
        format.fmt.pix.pixelformat =
            platform == Platform::RASPBERRY_PI_5 ? V4L2_PIX_FMT_Y12P : V4L2_PIX_FMT_Y12;
        format.fmt.pix.field = V4L2_FIELD_NONE;
    }
    const uint32_t wantedFormat =
        isMultiPlane(bufType) ? format.fmt.pix_mp.pixelformat : format.fmt.pix.pixelformat;
    if (int r = xioctl(videoFd.get(), VIDIOC_TRY_FMT, &format)) return r;
    if (int r = xioctl(videoFd.get(), VIDIOC_S_FMT, &format)) return r;
    // A driver answers a size or pixel format it cannot stream with one it can, and succeeds:
    // streaming that would hand out frames of another geometry or sample layout.
    const bool multi = isMultiPlane(bufType);
    const uint32_t gotWidth = multi ? format.fmt.pix_mp.width : format.fmt.pix.width;
    const uint32_t gotHeight = multi ? format.fmt.pix_mp.height : format.fmt.pix.height;
    const uint32_t gotFormat = multi ? format.fmt.pix_mp.pixelformat : format.fmt.pix.pixelformat;
    if (gotWidth != info.width || gotHeight != info.height || gotFormat != wantedFormat) return -1;

    for (uint8_t slot = 0; slot < media.subdevCount; ++slot) {
        v4l2_subdev_format subdev;
        std::memset(&subdev, 0, sizeof subdev);
        subdev.which = V4L2_SUBDEV_FORMAT_ACTIVE;
        subdev.pad = 0;
        subdev.format.width = info.width;
        subdev.format.height = info.height;
        subdev.format.code = MEDIA_BUS_FMT_Y12_1X12;
        subdev.format.field = V4L2_FIELD_NONE;
        if (xioctl(media.subdevFds[slot].get(), VIDIOC_SUBDEV_S_FMT, &subdev) != 0) return -1;
    }

    v4l2_subdev_format readBack;
    std::memset(&readBack, 0, sizeof readBack);
    int sensorFd = media.sensorFd();
    if (sensorFd < 0 || kernel().ioctl(sensorFd, VIDIOC_SUBDEV_G_FMT, &readBack) != 0) return -2;
    if (readBack.format.width != info.width || readBack.format.height != info.height) return -1;
    return 0;
}

void ZentroxTOFCSISensor::describeBuffer(v4l2_buffer& buf, v4l2_plane* plane, uint32_t index) const {
    std::memset(&buf, 0, sizeof buf);
    std::memset(plane, 0, sizeof *plane);
    buf.index = index;
    buf.type = bufType;
    buf.memory = V4L2_MEMORY_MMAP;
    if (isMultiPlane(bufType)) {
        buf.m.planes = plane;
        buf.length = 1;
    }
}

int ZentroxTOFCSISensor::start() {
    if (configureFormat() != 0) return -1;
    streamWidth = info.width;
    streamHeight = info.height;

    v4l2_requestbuffers request;
    std::memset(&request, 0, sizeof request);
    request.count = kBufferCount;
    request.type = bufType;
    request.memory = V4L2_MEMORY_MMAP;
    if (xioctl(videoFd.get(), VIDIOC_REQBUFS, &request) != 0) return -1;
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
        v4l2_buffer buf;
        v4l2_plane plane;
        describeBuffer(buf, &plane, i);
        if (xioctl(videoFd.get(), VIDIOC_QUERYBUF, &buf) != 0) return fail(-1);
        converter = chooseConverter(buf.length, platform);
        size_t length = isMultiPlane(bufType) ? plane.length : buf.length;
        off_t offset = isMultiPlane(bufType) ? off_t(plane.m.mem_offset) : off_t(buf.m.offset);
        void* address =
            kernel().mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, videoFd.get(), offset);
        if (address == MAP_FAILED) return fail(-1);
        buffers[i] = KernelMapping(address, length);
        describeBuffer(buf, &plane, i);
        if (xioctl(videoFd.get(), VIDIOC_QBUF, &buf) != 0) return fail(-1);
    }
    int type = int(bufType);
    if (xioctl(videoFd.get(), VIDIOC_STREAMON, &type) != 0) return fail(-2);
    return 0;
}

// A DQBUF on the blocking video node waits for ever when nothing will be filled: a module that stopped
// sending, or every buffer lost to failed re-queues. The capture thread would then never see a stop,
// and stop would never return. So the wait for a filled buffer is bounded.
bool ZentroxTOFCSISensor::waitForBuffer() {
    // Measured against a deadline: a signal resumes the wait for the time left, so frequent signals
    // cannot keep the capture thread (and with it stop) waiting beyond the bound.
    constexpr int64_t kMsNs = 1000000;
    const int64_t deadline = kernel().monotonicNs() + int64_t(kFrameWaitMs) * kMsNs;
    pollfd ready{videoFd.get(), POLLIN, 0};
    for (int64_t left = int64_t(kFrameWaitMs) * kMsNs; left > 0; left = deadline - kernel().monotonicNs()) {
        const int r = kernel().poll(&ready, 1, int((left + kMsNs - 1) / kMsNs));
        if (r > 0) return (ready.revents & POLLIN) != 0;  // POLLERR: not streaming, or nothing queued
        if (r == 0 || errno != EINTR) return false;       // no buffer in time, or the wait failed
    }
    return false;  // interrupted until the deadline passed
}

int ZentroxTOFCSISensor::getFrame(uint8_t* data, uint64_t* timestamp) {
    const int n = subFrameCount;
    if (n <= 0) {
        if (timestamp) *timestamp = 0;
        return 0;
    }
    if (!videoFd.valid() || !data) return -2;
    FrameSink sink{data, size_t(n) * streamWidth * streamHeight * 2, 0};
    int64_t prevSec = 0, prevUsec = 0;
    for (int i = 0; i < n;) {
        v4l2_buffer buf;
        v4l2_plane plane;
        describeBuffer(buf, &plane, 0);
        if (!waitForBuffer()) return -2;
        if (xioctl(videoFd.get(), VIDIOC_DQBUF, &buf) != 0) return -2;
        if (buf.index >= uint32_t(kBufferCount)) return 2;
        const KernelMapping& mapping = buffers[buf.index];
        if ((buf.flags & V4L2_BUF_FLAG_ERROR) || !mapping.mapped()) {
            // A buffer the driver marks as damaged goes back unread, and the frame fails.
            xioctl(videoFd.get(), VIDIOC_QBUF, &buf);
            return -2;
        }
        const int64_t sec = buf.timestamp.tv_sec, usec = buf.timestamp.tv_usec;
        if (i > 0) {
            // Sub-frames of one frame follow each other within 5 ms; a later one starts a new frame.
            const int64_t d = usec - prevUsec;
            const bool restart = sec != prevSec ? d + 1000 > kGroupGapUs : d > kGroupGapUs;
            if (restart) {
                sink.position = 0;
                i = 0;
            }
        }
        const uint8_t* source = static_cast<const uint8_t*>(mapping.data());
        if (isMultiPlane(bufType)) {
            for (uint32_t p = 0; p < buf.length && p < 1; ++p) {
                converter(source, std::min<size_t>(plane.length, mapping.size()), streamWidth, sink);
            }
        } else {
            converter(source, std::min<size_t>(buf.length, mapping.size()), streamWidth, sink);
        }
        prevSec = sec;
        prevUsec = usec;
        if (xioctl(videoFd.get(), VIDIOC_QBUF, &buf) != 0) return -2;
        ++i;
    }
    if (timestamp) *timestamp = uint64_t(prevSec * 1000 + prevUsec / 1000);
    return 0;
}

int ZentroxTOFCSISensor::unmapBuffers() {
    int failures = 0;
    for (auto& mapping : buffers) {
        if (mapping.unmap() != 0) ++failures;
    }
    return failures;
}

int ZentroxTOFCSISensor::releaseDriverBuffers() {
    v4l2_requestbuffers request;
    std::memset(&request, 0, sizeof request);
    request.count = 0;
    request.type = bufType;
    request.memory = V4L2_MEMORY_MMAP;
    return xioctl(videoFd.get(), VIDIOC_REQBUFS, &request);
}

int ZentroxTOFCSISensor::mappedBuffers() const {
    int n = 0;
    for (const auto& mapping : buffers)
        n += mapping.mapped() ? 1 : 0;
    return n;
}

int ZentroxTOFCSISensor::stop() {
    if (!videoFd.valid()) return -2;
    int type = int(bufType);
    if (xioctl(videoFd.get(), VIDIOC_STREAMOFF, &type) != 0) return -2;
    int failures = 0;
    for (uint32_t i = 0; i < kBufferCount; ++i) {
        if (!buffers[i].mapped()) continue;
        v4l2_buffer buf;
        v4l2_plane plane;
        describeBuffer(buf, &plane, i);
        if (xioctl(videoFd.get(), VIDIOC_QUERYBUF, &buf) != 0) return -2;
        // Released with the length it was mapped with.
        if (buffers[i].unmap() != 0) ++failures;
    }
    if (failures) return -2;
    // Drivers refuse a new format while buffers are allocated: give them back for the next start.
    if (releaseDriverBuffers() != 0) return -2;
    return 0;
}

int ZentroxTOFCSISensor::close() {
    unmapBuffers();
    media.reset();
    videoFd.reset();
    i2cFd.reset();
    caliBuffer.reset();
    return 0;
}

CameraInfo ZentroxTOFCSISensor::getCameraInfo() {
    return info;
}

namespace {

int setDriverControl(int fd, uint32_t id, int value) {
    v4l2_control control{id, value};
    if (ZentroxTOFCSISensor::xioctl(fd, VIDIOC_S_CTRL, &control) != 0) {
        std::perror("VIDIOC_S_CTRL");
        return -1;
    }
    return 0;
}

int getDriverControl(int fd, uint32_t id, int* value) {
    v4l2_control control{id, 0};
    if (ZentroxTOFCSISensor::xioctl(fd, VIDIOC_G_CTRL, &control) != 0) {
        std::perror("VIDIOC_G_CTRL");
        return -1;
    }
    *value = control.value;
    return 0;
}

}  // namespace

int ZentroxTOFCSISensor::setControl(CameraCtrl ctrl, int value) {
    switch (ctrl) {
        case CameraCtrl::RANGE:
            // Metres (2, 4) as the driver names its ranges, or millimetres (2000, 4000) as the
            // HQVGA device hands them on.
            if (value == 2000 || value == 4000) value /= 1000;
            if (value != 2 && value != 4) return 1;
            return setDriverControl(media.sensorFd(), kRangeControl, value == 2 ? 1 : 0);
        case CameraCtrl::FMT_WIDTH:
            info.width = uint32_t(value);
            return 0;
        case CameraCtrl::FMT_HEIGHT:
            info.height = uint32_t(value);
            return 0;
        case CameraCtrl::EXPOSURE:
            return setDriverControl(media.sensorFd(), V4L2_CID_EXPOSURE, value);
        case CameraCtrl::FRAME_RATE:
            frameRate.store(value);
            return ModuleCommand::setFrameRate(i2cFd.get(), i2cAddress, uint32_t(value)) == 0 ? 0 : -2;
        default:
            return 1;
    }
}

int ZentroxTOFCSISensor::getControl(CameraCtrl ctrl, int* value) {
    if (!value) return 1;
    int read = 0;
    switch (ctrl) {
        case CameraCtrl::RANGE:
            if (getDriverControl(media.sensorFd(), kRangeControl, &read) != 0) return -1;
            *value = read ? 2 : 4;
            return 0;
        case CameraCtrl::FMT_WIDTH:
            *value = int(info.width);
            return 0;
        case CameraCtrl::FMT_HEIGHT:
            *value = int(info.height);
            return 0;
        case CameraCtrl::EXPOSURE:
            if (getDriverControl(media.sensorFd(), V4L2_CID_EXPOSURE, &read) != 0) return -1;
            *value = read;
            return 0;
        case CameraCtrl::FRAME_RATE:
            *value = frameRate.load();
            return 0;
        default:
            return 1;
    }
}

int ZentroxTOFCSISensor::readDataBlock(uint16_t offset, uint8_t* dst) {
    if (!dst) return -2;
    if (ModuleCommand::requestDataBlock(i2cFd.get(), i2cAddress, offset) != 0) return -2;
    // The controller needs 100 ms to fetch the block from its memory.
    sleepFully(timespec{0, 100 * 1000 * 1000});
    return ModuleCommand::readDataBlock(i2cFd.get(), i2cAddress, dst);
}

}  // namespace Zentrox
