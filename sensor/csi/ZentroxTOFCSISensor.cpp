#include "sensor/csi/ZentroxTOFCSISensor.h"

#include <linux/videodev2.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "system/KernelStatus.h"
#include "system/Platform.h"

// Older kernel headers lack the packed 12-bit greyscale format (two samples in three bytes).
#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

namespace Zentrox {

namespace {

// The module driver's private range control: 1 selects the 2 m range, 0 the 4 m range.
constexpr uint32_t kRangeControl = V4L2_CID_USER_BASE + 0x1001;
constexpr size_t kCalibrationBytes = 16384;
constexpr int64_t kGroupGapUs = 5000;
// How long getFrame waits for the driver to fill a buffer, as the USB transport does for the kit.
constexpr int kFrameWaitMs = 2000;

}  // namespace

ZentroxTOFCSISensor::ZentroxTOFCSISensor(const char* path, int platform, KernelSeam& seam)
    : seam(seam), capture(seam), module(seam), platform(platform) {
    subFrameCount = 1;
    if (path) std::snprintf(devicePath, sizeof devicePath, "%s", path);
}

ZentroxTOFCSISensor::~ZentroxTOFCSISensor() {
    close();
}

int ZentroxTOFCSISensor::open(CameraInfo& callerInfo) {
    if (capture.valid()) close();
    if (!capture.open(devicePath)) return -2;

    uint32_t caps = 0;
    if (int r = capture.capabilities(caps); r < 0) {
        // Reported and refused; the descriptor is released by close like every other.
        std::fprintf(stderr, "VIDIOC_QUERYCAP: error - %d\n", -r);
        return statusFromErrno(r, KernelRequest::DEVICE);
    }
    if (!(caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE))) return -2;
    if (!(caps & V4L2_CAP_STREAMING)) return -2;
    capture.setLayout(platform == Platform::RADXA_ROCK ? kMultiPlane : kSinglePlane);

    findSubdevices(media, capture.descriptor(), platform, seam);

    if (capture.bufferType() == V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        if (int r = capture.selectInput(inputIndex); r < 0) return statusFromErrno(r, KernelRequest::DEVICE);
    }
    if (module.open(media.i2cBusName) != 0) return -2;
    caliBuffer.reset(new (std::nothrow) uint8_t[kCalibrationBytes]());
    if (!caliBuffer) return -2;

    int result = 0;
    result =
        statusFromErrno(media.sensor().getFormat(callerInfo.width, callerInfo.height), KernelRequest::DEVICE);
    callerInfo.bit_width = 12;
    callerInfo.bpp = 2;
    info = callerInfo;
    return result;
}

int ZentroxTOFCSISensor::configureFormat() {
    if (!capture.valid()) return 0;
    const uint32_t pixelFormat =
        capture.bufferType() == V4L2_BUF_TYPE_VIDEO_CAPTURE && platform == Platform::RASPBERRY_PI_5
            ? V4L2_PIX_FMT_Y12P
            : V4L2_PIX_FMT_Y12;
    // 1 (the node answered another format) is a refusal as much as -errno.
    if (int r = capture.setFormat(info.width, info.height, pixelFormat); r != 0)
        return statusFromErrno(r, KernelRequest::SETTING);
    for (uint8_t slot = 0; slot < media.subdevCount; ++slot) {
        if (int r = media.subdevFds[slot].setFormat(info.width, info.height); r != 0)
            return statusFromErrno(r, KernelRequest::SETTING);
    }
    uint32_t width = 0, height = 0;
    if (int r = media.sensor().getFormat(width, height); r != 0)
        return statusFromErrno(r, KernelRequest::DEVICE);
    if (width != info.width || height != info.height) return -1;
    return 0;
}

int ZentroxTOFCSISensor::start() {
    if (configureFormat() != 0) return -1;
    streamWidth = info.width;
    streamHeight = info.height;
    int64_t reportedLength = -1;
    const int r = capture.startStreaming(reportedLength);
    if (reportedLength >= 0) converter = chooseConverter(uint32_t(reportedLength), platform);
    return r;
}

int ZentroxTOFCSISensor::getFrame(uint8_t* data, uint64_t* timestamp) {
    const int n = subFrameCount;
    if (n <= 0) {
        if (timestamp) *timestamp = 0;
        return 0;
    }
    if (!capture.valid() || !data) return -2;
    FrameSink sink{data, size_t(n) * streamWidth * streamHeight * 2, 0};
    int64_t prevSec = 0, prevUsec = 0;
    for (int i = 0; i < n;) {
        FilledBuffer filled;
        const int got = capture.dequeue(filled, kFrameWaitMs);
        if (got < 0) return -2;
        if (got > 0) return 2;
        if ((filled.buffer.flags & V4L2_BUF_FLAG_ERROR) || !filled.data) {
            // A buffer the driver marks as damaged goes back unread, and the frame fails.
            capture.requeue(filled);
            return -2;
        }
        const int64_t sec = filled.buffer.timestamp.tv_sec, usec = filled.buffer.timestamp.tv_usec;
        if (i > 0) {
            // Sub-frames of one frame follow each other within 5 ms; a later one starts a new frame.
            const int64_t d = usec - prevUsec;
            const bool restart = sec != prevSec ? d + 1000 > kGroupGapUs : d > kGroupGapUs;
            if (restart) {
                sink.position = 0;
                i = 0;
            }
        }
        if (filled.hasPlane) converter(filled.data, filled.length, streamWidth, sink);
        prevSec = sec;
        prevUsec = usec;
        if (int r = capture.requeue(filled); r != 0) return statusFromErrno(r, KernelRequest::DEVICE);
        ++i;
    }
    if (timestamp) *timestamp = uint64_t(prevSec * 1000 + prevUsec / 1000);
    return 0;
}

int ZentroxTOFCSISensor::stop() {
    return capture.stopStreaming();
}

int ZentroxTOFCSISensor::close() {
    capture.unmapBuffers();
    media.reset();
    capture.close();
    module.close();
    caliBuffer.reset();
    return 0;
}

CameraInfo ZentroxTOFCSISensor::getCameraInfo() {
    return info;
}

int ZentroxTOFCSISensor::setControl(CameraCtrl ctrl, int value) {
    switch (ctrl) {
        case CameraCtrl::RANGE:
            // Metres (2, 4) as the driver names its ranges, or millimetres (2000, 4000) as the
            // HQVGA device hands them on.
            if (value == 2000 || value == 4000) value /= 1000;
            if (value != 2 && value != 4) return 1;
            return statusFromErrno(media.sensor().setControl(kRangeControl, value == 2 ? 1 : 0),
                                   KernelRequest::SETTING);
        case CameraCtrl::FMT_WIDTH:
            info.width = uint32_t(value);
            return 0;
        case CameraCtrl::FMT_HEIGHT:
            info.height = uint32_t(value);
            return 0;
        case CameraCtrl::EXPOSURE:
            return statusFromErrno(media.sensor().setControl(V4L2_CID_EXPOSURE, value),
                                   KernelRequest::SETTING);
        case CameraCtrl::FRAME_RATE:
            frameRate.store(value);
            return module.setFrameRate(uint32_t(value));
        default:
            return 1;
    }
}

int ZentroxTOFCSISensor::getControl(CameraCtrl ctrl, int* value) {
    if (!value) return 1;
    int read = 0;
    switch (ctrl) {
        case CameraCtrl::RANGE:
            if (int r = media.sensor().getControl(kRangeControl, read); r != 0)
                return statusFromErrno(r, KernelRequest::SETTING);
            *value = read ? 2 : 4;
            return 0;
        case CameraCtrl::FMT_WIDTH:
            *value = int(info.width);
            return 0;
        case CameraCtrl::FMT_HEIGHT:
            *value = int(info.height);
            return 0;
        case CameraCtrl::EXPOSURE:
            if (int r = media.sensor().getControl(V4L2_CID_EXPOSURE, read); r != 0)
                return statusFromErrno(r, KernelRequest::SETTING);
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
    return module.readBlock(offset, dst);
}

}  // namespace Zentrox
