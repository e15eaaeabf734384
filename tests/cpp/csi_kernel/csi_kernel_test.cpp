// The CSI transport against behaviour that Linux drivers showed under videobuf2 (vivid in the VM):
// a format the capture node cannot stream is answered with one it can, and the call succeeds.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <errno.h>
#include <poll.h>

#include <memory>
#include <vector>

#include "sensor/csi/ZentroxTOFCSISensor.h"
#include "system/Platform.h"
#include "tests/fakes/FakeBoards.h"
#include "tests/fakes/FakeCaptureNode.h"
#include "tests/fakes/FakeKernel.h"

using namespace Zentrox;

namespace {

// A board whose capture node is configured here rather than by the profile.
struct Bench {
    Bench(int platform, CaptureNodeConfig config, uint32_t sensorWidth, uint32_t sensorHeight)
        : board(fake, platform, options(sensorWidth, sensorHeight)) {
        config.multiPlane = platform == Platform::RADXA_ROCK;
        capture = std::make_shared<FakeCaptureNode>(config);
        fake.addDevice(board.videoPath, capture);
    }
    static BoardOptions options(uint32_t width, uint32_t height) {
        BoardOptions o;
        o.captureNode = false;
        o.width = width;
        o.height = height;
        return o;
    }
    FakeKernel fake;
    FakeBoard board;
    std::shared_ptr<FakeCaptureNode> capture;
};

struct SizeCase {
    int platform;
    uint32_t width, height;  // asked for; the node streams 640 x 480 only
};

class AdjustedSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(AdjustedSize, StartRefusesAndTheNativeSizeStillStreams) {
    const SizeCase c = GetParam();
    CaptureNodeConfig config;
    config.width = 640;
    config.height = 480;
    config.sizes = {{640, 480}};
    Bench bench(c.platform, config, 640, 480);
    // The sensor sub-device takes the size; only the capture node's answer tells it cannot stream.
    // The transport is given the fake kernel: nothing process-wide is installed.
    ZentroxTOFCSISensor sensor(bench.board.videoPath.c_str(), c.platform, bench.fake);
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    ASSERT_EQ(sensor.setControl(CameraCtrl::FMT_WIDTH, int(c.width)), 0);
    ASSERT_EQ(sensor.setControl(CameraCtrl::FMT_HEIGHT, int(c.height)), 0);
    EXPECT_EQ(sensor.start(), -1);
    EXPECT_EQ(bench.capture->bufferCount(), 0u);
    EXPECT_EQ(bench.fake.liveMappings(), 0);
    EXPECT_FALSE(bench.capture->streaming());

    ASSERT_EQ(sensor.setControl(CameraCtrl::FMT_WIDTH, 640), 0);
    ASSERT_EQ(sensor.setControl(CameraCtrl::FMT_HEIGHT, 480), 0);
    EXPECT_EQ(sensor.start(), 0);
    EXPECT_EQ(bench.fake.liveMappings(), 8);
    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_EQ(bench.fake.liveMappings(), 0);
    EXPECT_EQ(sensor.close(), 0);
    EXPECT_EQ(bench.fake.openDescriptors(), 0);
}

INSTANTIATE_TEST_SUITE_P(Boards, AdjustedSize,
                         ::testing::Values(SizeCase{Platform::RASPBERRY_PI, 320, 240},
                                           SizeCase{Platform::RASPBERRY_PI, 648, 480},
                                           SizeCase{Platform::UNKNOWN, 640, 472},
                                           SizeCase{Platform::RADXA_ROCK, 320, 240},
                                           SizeCase{Platform::RADXA_ROCK, 640, 488}));

TEST(AdjustedPixelFormat, APackedFormatTheNodeLacksIsRefused) {
    // A Raspberry Pi 5 asks for packed Y12P; this node knows Y12 only and answers with it.
    CaptureNodeConfig config;
    config.width = 640;
    config.height = 480;
    config.pixelFormats = {V4L2_PIX_FMT_Y12};
    Bench bench(Platform::RASPBERRY_PI_5, config, 640, 480);
    ZentroxTOFCSISensor sensor(bench.board.videoPath.c_str(), Platform::RASPBERRY_PI_5, bench.fake);
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    EXPECT_EQ(sensor.start(), -1);
    EXPECT_EQ(bench.capture->format().pixelformat, V4L2_PIX_FMT_Y12);
    EXPECT_EQ(bench.capture->bufferCount(), 0u);
    EXPECT_EQ(bench.fake.liveMappings(), 0);
    EXPECT_EQ(sensor.close(), 0);
}

TEST(AdjustedPixelFormat, TheFormatAskedForStreams) {
    CaptureNodeConfig config;
    config.width = 640;
    config.height = 480;
    config.pixelFormats = {V4L2_PIX_FMT_Y12, V4L2_PIX_FMT_Y12P};
    Bench bench(Platform::RASPBERRY_PI_5, config, 640, 480);
    ZentroxTOFCSISensor sensor(bench.board.videoPath.c_str(), Platform::RASPBERRY_PI_5, bench.fake);
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    ASSERT_EQ(sensor.start(), 0);
    EXPECT_EQ(bench.capture->format().pixelformat, V4L2_PIX_FMT_Y12P);
    std::vector<uint8_t> frame(640 * 480 * 2);
    uint64_t ms = 0;
    EXPECT_EQ(sensor.getFrame(frame.data(), &ms), 0);
    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_EQ(sensor.close(), 0);
}

}  // namespace

namespace {

// What videobuf2 and vivid answered in the VM, reproduced by the fake capture node: the other
// capture type has no format handler (ENOTTY), and poll reports POLLERR while the node is not
// streaming, nothing while no buffer is filled (a DQBUF then would block), POLLIN once one is.
TEST(KernelAnswers, FormatOfTheOtherTypeAndPollReadiness) {
    for (int platform : {Platform::RASPBERRY_PI, Platform::RADXA_ROCK}) {  // single- and multi-plane
        CaptureNodeConfig config;
        config.width = 640;
        config.height = 480;
        config.pixelFormats = {V4L2_PIX_FMT_Y12};
        Bench bench(platform, config, 640, 480);
        const bool multi = platform == Platform::RADXA_ROCK;
        const int fd = bench.fake.open(bench.board.videoPath.c_str(), 0);
        ASSERT_GE(fd, 0);
        for (unsigned long request : {VIDIOC_S_FMT, VIDIOC_TRY_FMT}) {
            v4l2_format other{};
            other.type = multi ? V4L2_BUF_TYPE_VIDEO_CAPTURE : V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
            errno = 0;
            EXPECT_EQ(bench.fake.ioctl(fd, request, &other), -1);
            EXPECT_EQ(errno, ENOTTY) << platform << " " << request;
        }
        pollfd p{fd, POLLIN, 0};
        EXPECT_EQ(bench.fake.poll(&p, 1, 100), 1);
        EXPECT_EQ(p.revents, POLLERR) << "not streaming";

        ZentroxTOFCSISensor sensor(bench.board.videoPath.c_str(), platform, bench.fake);
        CameraInfo info{};
        ASSERT_EQ(sensor.open(info), 0);
        ASSERT_EQ(sensor.start(), 0);  // eight buffers queued, streaming
        const int video = fd + 1;      // the transport's own descriptor: the fake numbers them in order
        p = pollfd{video, POLLIN, 0};
        EXPECT_EQ(bench.fake.poll(&p, 1, 100), 1);
        EXPECT_EQ(p.revents, POLLIN);
        bench.capture->stall(true);
        p.revents = -1;
        EXPECT_EQ(bench.fake.poll(&p, 1, 100), 0);
        EXPECT_EQ(p.revents, 0);
        EXPECT_EQ(sensor.stop(), 0);
        EXPECT_EQ(sensor.close(), 0);
        bench.fake.close(fd);
    }
}

}  // namespace
