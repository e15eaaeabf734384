#include <errno.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <linux/media.h>

#include "tests/cpp/csi/CsiRig.h"
#include "tests/fakes/StderrCapture.h"

using namespace Zentrox;

namespace {

// --- The retry rule ---------------------------------------------------------------------------

TEST(CsiRetryRule, FiveAttemptsRetryingOnlyTransientErrors) {
    constexpr Retry T = Retry::TRANSIENT, O = Retry::ONCE;
    const struct {
        int error;
        int failures;
        Retry retry;
        size_t calls;
        bool succeeds;
    } rows[] = {
        {EINTR, 1, T, 2, true},   {EINTR, 4, T, 5, true},   {EINTR, 5, T, 5, false},
        {EAGAIN, 4, T, 5, true},  {EAGAIN, 6, T, 5, false}, {ETIMEDOUT, 2, T, 3, true},
        {EIO, 1, T, 1, false},    {EINVAL, 1, T, 1, false}, {EBUSY, 1, T, 1, false},
        {ENOTTY, 3, T, 1, false}, {EINTR, 1, O, 1, false},  {ETIMEDOUT, 1, O, 1, false},
    };
    for (const auto& row : rows) {
        CsiRig rig(Platform::RASPBERRY_PI);
        KernelFd fd(rig.kernel.open(rig.board.videoPath.c_str(), 2), rig.kernel);
        rig.kernel.inject(Fault{Sys::IOCTL, VIDIOC_QUERYCAP, "", row.error, 0, row.failures});
        rig.kernel.clearTrace();
        v4l2_capability cap{};
        errno = 0;
        int r = fd.ioctl(VIDIOC_QUERYCAP, &cap, row.retry);
        EXPECT_EQ(rig.count(Sys::IOCTL), row.calls) << row.error << " x" << row.failures;
        if (row.succeeds) {
            EXPECT_EQ(r, 0) << row.error << " x" << row.failures;
            EXPECT_STREQ(reinterpret_cast<char*>(cap.driver), "unicam");
        } else {
            // The kernel's error comes back negated, and errno still holds it.
            EXPECT_EQ(r, -row.error) << row.error << " x" << row.failures;
            EXPECT_EQ(errno, row.error);
        }
    }
}

TEST(CsiRetryRule, NegativeDescriptorIsRefusedWithoutACall) {
    CsiRig rig(Platform::UNKNOWN);
    int value = 0;
    errno = 0;
    EXPECT_EQ(kernelIoctl(rig.kernel, -1, VIDIOC_S_INPUT, &value, Retry::TRANSIENT), -EBADF);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(KernelFd().ioctl(VIDIOC_S_INPUT, &value), -EBADF);
    EXPECT_EQ(rig.count(Sys::IOCTL), 0u);
}

TEST(CsiRetryRule, SubdevFormatReadIsMadeOnce) {
    // In open: one interrupted read fails the open.
    CsiRig rig(Platform::RASPBERRY_PI);
    rig.kernel.inject(Fault{Sys::IOCTL, VIDIOC_SUBDEV_G_FMT, "", EINTR, 0, 1});
    EXPECT_EQ(rig.open(), -2);
    EXPECT_EQ(rig.count(Sys::IOCTL, VIDIOC_SUBDEV_G_FMT), 1u);
    EXPECT_EQ(rig.info.bit_width, 12u);  // the remaining step still ran
    EXPECT_EQ(rig.info.bpp, 2u);
    // In start's read-back, while the setting before it is retried.
    rig.sensor->close();
    ASSERT_EQ(rig.open(), 0);
    rig.kernel.clearTrace();
    rig.kernel.inject(Fault{Sys::IOCTL, VIDIOC_SUBDEV_S_FMT, "", EINTR, 0, 2});
    rig.kernel.inject(Fault{Sys::IOCTL, VIDIOC_SUBDEV_G_FMT, "", EINTR, 0, 1});
    EXPECT_EQ(rig.sensor->start(), -1);
    EXPECT_EQ(rig.count(Sys::IOCTL, VIDIOC_SUBDEV_S_FMT), 3u);
    EXPECT_EQ(rig.count(Sys::IOCTL, VIDIOC_SUBDEV_G_FMT), 1u);
    EXPECT_EQ(rig.count(Sys::IOCTL, VIDIOC_REQBUFS), 0u);
}

// --- open on every board --------------------------------------------------------------------

class CsiOpenOnBoard : public testing::TestWithParam<int> {};

TEST_P(CsiOpenOnBoard, FindsThePipelineBusAndFormat) {
    const int platform = GetParam();
    CsiRig rig(platform);
    ASSERT_EQ(rig.open(), 0);
    const auto& p = rig.sensor->pipeline();
    EXPECT_EQ(rig.info.width, 240u);
    EXPECT_EQ(rig.info.height, 180u);
    EXPECT_EQ(rig.info.bit_width, 12u);
    EXPECT_EQ(rig.info.bpp, 2u);
    CameraInfo kept = rig.sensor->getCameraInfo();
    EXPECT_EQ(kept.index, 3u);
    EXPECT_EQ(kept.connect, Connection::CSI);
    EXPECT_EQ(kept.width, 240u);
    EXPECT_STREQ(p.i2cBusName, rig.board.busText.c_str());
    EXPECT_STREQ(p.mediaPath, rig.board.mediaPath.c_str());
    EXPECT_EQ(rig.sensor->i2cChipAddress(), 0x0c);
    EXPECT_GE(rig.sensor->i2cDescriptor(), 0);
    EXPECT_NE(rig.sensor->calibrationBuffer(), nullptr);
    const bool receiver = platform == Platform::RASPBERRY_PI_5 || platform == Platform::RADXA_ROCK;
    EXPECT_EQ(p.subdevCount, receiver ? 2 : 1);
    EXPECT_EQ(p.subdevIndex, receiver ? 1 : 0);
    const bool multi = platform == Platform::RADXA_ROCK;
    EXPECT_EQ(rig.sensor->bufferType(),
              uint32_t(multi ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE));
    // Input selection only in single-plane mode; the I2C bus without any adapter listing.
    EXPECT_EQ(rig.count(Sys::IOCTL, VIDIOC_S_INPUT), multi ? 0u : 1u);
    EXPECT_EQ(rig.count(Sys::READ_FILE), 0u);
    EXPECT_EQ(rig.count(Sys::IOCTL, I2C_FUNCS), 1u);
    // The media node is closed again; video, I2C and the sub-devices stay open.
    EXPECT_EQ(rig.kernel.openDescriptors(), 2 + p.subdevCount);
    for (const auto& path : rig.kernel.openPaths())
        EXPECT_NE(path, rig.board.mediaPath);
}

TEST_P(CsiOpenOnBoard, CloseResetsEveryDescriptorAndASecondCloseClosesNothing) {
    CsiRig rig(GetParam());
    ASSERT_EQ(rig.open(), 0);
    ASSERT_EQ(rig.sensor->close(), 0);
    EXPECT_EQ(rig.kernel.openDescriptors(), 0);
    EXPECT_EQ(rig.sensor->videoDescriptor(), -1);
    EXPECT_EQ(rig.sensor->i2cDescriptor(), -1);
    for (const auto& fd : rig.sensor->pipeline().subdevFds)
        EXPECT_EQ(fd.get(), -1);
    EXPECT_EQ(rig.sensor->calibrationBuffer(), nullptr);
    rig.kernel.clearTrace();
    EXPECT_EQ(rig.sensor->close(), 0);
    EXPECT_EQ(rig.count(Sys::CLOSE), 0u);
    EXPECT_EQ(rig.kernel.badCloses(), 0);
    // And it opens again.
    EXPECT_EQ(rig.open(), 0);
}

TEST_P(CsiOpenOnBoard, DestroyingAnOpenedSensorReleasesWhatItHeld) {
    CsiRig rig(GetParam());
    ASSERT_EQ(rig.openAndStart(), 0);
    rig.sensor.reset();
    EXPECT_EQ(rig.kernel.openDescriptors(), 0);
    EXPECT_EQ(rig.kernel.liveMappings(), 0);
}

INSTANTIATE_TEST_SUITE_P(Boards, CsiOpenOnBoard, testing::ValuesIn(kAllBoards), boardName);

// --- open failures ----------------------------------------------------------------------------

TEST(CsiOpen, MissingNodeIsASystemError) {
    CsiRig rig(Platform::RASPBERRY_PI, BoardOptions{});
    ZentroxTOFCSISensor other("/dev/video7", Platform::RASPBERRY_PI);
    CameraInfo info{};
    EXPECT_EQ(other.open(info), -2);
    EXPECT_EQ(rig.kernel.openDescriptors(), 0);
    EXPECT_STREQ(other.path(), "/dev/video7");
}

TEST(CsiOpen, FailedCapabilityQueryReportsAndReturnsInsteadOfEndingTheProcess) {
    CsiRig rig(Platform::RASPBERRY_PI);
    rig.kernel.inject(Fault{Sys::IOCTL, VIDIOC_QUERYCAP, "", EIO, 0, -1});
    StderrCapture err;
    EXPECT_EQ(rig.open(), -2);
    EXPECT_EQ(err.text(), "VIDIOC_QUERYCAP: error - 5\n");
    EXPECT_EQ(rig.count(Sys::IOCTL, VIDIOC_QUERYCAP), 1u);
    EXPECT_EQ(rig.sensor->close(), 0);
    EXPECT_EQ(rig.kernel.openDescriptors(), 0);
}

TEST(CsiOpen, InterruptedCapabilityQueryIsRetried) {
    CsiRig rig(Platform::RASPBERRY_PI);
    rig.kernel.inject(Fault{Sys::IOCTL, VIDIOC_QUERYCAP, "", EINTR, 0, 4});
    StderrCapture err;
    EXPECT_EQ(rig.open(), 0);
    EXPECT_EQ(err.text(), "");
}

TEST(CsiOpen, CapabilitiesDecideTheOutcome) {
    const struct {
        uint32_t caps;
        int result;
    } rows[] = {
        {V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING, 0},
        {V4L2_CAP_VIDEO_CAPTURE_MPLANE | V4L2_CAP_STREAMING, 0},  // the platform decides the plane mode
        {V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING, -2},
        {V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE, -2},
        {V4L2_CAP_STREAMING, -2},
    };
    for (const auto& row : rows) {
        FakeKernel kernel;
        ScopedKernel installed(kernel);
        FakeBoard board(kernel, Platform::RASPBERRY_PI);
        CaptureNodeConfig c;
        c.capabilities = row.caps;
        c.strideAlignment = 16;
        c.driver = "unicam";
        auto node = std::make_shared<FakeCaptureNode>(c);
        kernel.addDevice(board.videoPath, node);
        ZentroxTOFCSISensor sensor(board.videoPath.c_str(), Platform::RASPBERRY_PI);
        CameraInfo info{};
        EXPECT_EQ(sensor.open(info), row.result) << std::hex << row.caps;
        if (row.result == 0) {
            EXPECT_EQ(sensor.bufferType(), uint32_t(V4L2_BUF_TYPE_VIDEO_CAPTURE));
        }
        sensor.close();
        EXPECT_EQ(kernel.openDescriptors(), 0);
    }
}

TEST(CsiOpen, RefusedInputSelectionIsASystemError) {
    CsiRig rig(Platform::UNKNOWN);
    rig.kernel.inject(Fault{Sys::IOCTL, VIDIOC_S_INPUT, "", EINVAL, 0, 1});
    EXPECT_EQ(rig.open(), -2);
    EXPECT_EQ(rig.sensor->i2cDescriptor(), -1);  // nothing after the input selection ran
}

TEST(CsiOpen, MissingSensorLeavesTheBusUnnamedAndFails) {
    BoardOptions o;
    o.sensorName = "some-other-sensor 4-000c";
    CsiRig rig(Platform::RASPBERRY_PI, o);
    StderrCapture err;
    EXPECT_EQ(rig.open(), -2);
    EXPECT_EQ(err.text(), "Error: I2C bus name doesn't match any bus present!\n");
    EXPECT_EQ(rig.sensor->pipeline().subdevCount, 0);
}

TEST(CsiOpen, AdapterWithoutPlainTransfersIsRefused) {
    CsiRig rig(Platform::JETSON);
    rig.board.i2c->setFunctionality(I2C_FUNC_SMBUS_BYTE_DATA);
    StderrCapture err;
    EXPECT_EQ(rig.open(), -2);
    EXPECT_EQ(err.text(), "Error: Adapter does not have I2C transfers capability\n");
}

TEST(CsiOpen, MissingBusNodeIsReportedWithItsNumber) {
    CsiRig rig(Platform::RASPBERRY_PI_5);
    rig.kernel.remove("/dev/i2c-4");
    StderrCapture err;
    EXPECT_EQ(rig.open(), -2);
    EXPECT_EQ(err.text(), "Error: Could not open file `/dev/i2c-4': No such file or directory\n");
}

TEST(CsiOpen, BusTextInHexadecimalOpensThatBus) {
    BoardOptions o;
    o.sensorName = "zentrox-mosaline 0x10-000c";
    CsiRig rig(Platform::RASPBERRY_PI, o);
    auto bus16 = rig.board.addAdapter(16, "i2c-16 adapter", I2C_FUNC_I2C, "platform/soc/extra");
    bus16->attach(0x0c, rig.board.controller, true);
    rig.kernel.clearTrace();
    ASSERT_EQ(rig.open(), 0);
    EXPECT_STREQ(rig.sensor->pipeline().i2cBusName, "0x10");
    bool opened16 = false;
    for (const auto& c : rig.kernel.trace())
        opened16 |= c.call == Sys::OPEN && c.path == "/dev/i2c-16" && c.result >= 0;
    EXPECT_TRUE(opened16);
    EXPECT_EQ(rig.count(Sys::LIST_DIRECTORY), 1u);  // the capture device's directory only
    EXPECT_EQ(rig.sensor->setControl(CameraCtrl::FRAME_RATE, 15), 0);
    EXPECT_EQ(rig.board.controller->frameRate(), 15u);
}

TEST(CsiOpen, ReopeningAnOpenSensorStartsAfresh) {
    CsiRig rig(Platform::RASPBERRY_PI_5);
    ASSERT_EQ(rig.open(), 0);
    ASSERT_EQ(rig.open(), 0);
    EXPECT_EQ(rig.kernel.openDescriptors(), 4);
    EXPECT_EQ(rig.sensor->pipeline().subdevIndex, 1);
}

}  // namespace
