#include <errno.h>
#include <gtest/gtest.h>
#include <linux/media-bus-format.h>

#include <cstring>
#include <string>

#include "tests/cpp/csi/CsiRig.h"
#include "tests/fakes/StderrCapture.h"

using namespace Zentrox;

namespace {

// The four phase images the module sends, as the camera's buffer should hold them after the
// board's conversion: 16-bit words, shifted on Jetson.
std::vector<uint16_t> expectedFrame(CsiRig& rig, bool shortRange = false) {
    std::vector<uint16_t> words(4 * 240 * 180);
    std::vector<uint8_t> image(240 * 180 * 2);
    const unsigned shift = rig.board.platform == Platform::JETSON ? 4 : 0;
    for (unsigned k = 0; k < 4; ++k) {
        rig.board.encoder(shortRange).writeImage(k, 12, image.data());
        for (size_t i = 0; i < 240 * 180; ++i) {
            uint16_t v = uint16_t(image[2 * i] | image[2 * i + 1] << 8);
            words[k * 240 * 180 + i] = uint16_t(v << shift);
        }
    }
    return words;
}

std::vector<uint16_t> grab(CsiRig& rig, uint64_t* timestamp = nullptr, int* result = nullptr) {
    std::vector<uint16_t> frame(rig.frameBytes() / 2 + 64, 0xA5A5);  // a canary after the frame
    uint64_t ts = 0;
    int r = rig.sensor->getFrame(reinterpret_cast<uint8_t*>(frame.data()), &ts);
    if (timestamp) *timestamp = ts;
    if (result) *result = r;
    for (size_t i = rig.frameBytes() / 2; i < frame.size(); ++i)
        EXPECT_EQ(frame[i], 0xA5A5) << "written past the frame";
    frame.resize(rig.frameBytes() / 2);
    return frame;
}

class CsiCaptureOnBoard : public testing::TestWithParam<int> {};

TEST_P(CsiCaptureOnBoard, StreamsTheModulesPhaseImages) {
    CsiRig rig(GetParam());
    ASSERT_EQ(rig.openAndStart(), 0);
    EXPECT_TRUE(rig.board.capture->streaming());
    EXPECT_EQ(rig.board.capture->bufferCount(), 8u);
    EXPECT_EQ(rig.board.capture->queuedCount(), 8u);
    EXPECT_EQ(rig.kernel.liveMappings(), 8);
    uint64_t ts = 0;
    int r = -1;
    auto frame = grab(rig, &ts, &r);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(frame, expectedFrame(rig));
    // Sub-frames 0..3 at 1 ms steps from second 1000: the last one's time in ms.
    EXPECT_EQ(ts, 1000003u);
    EXPECT_EQ(rig.board.capture->queuedCount(), 8u);  // every buffer went back
    // The next frame is the next group, 33.333 ms later.
    frame = grab(rig, &ts, &r);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(ts, 1000036u);
    EXPECT_EQ(frame, expectedFrame(rig));

    ASSERT_EQ(rig.sensor->stop(), 0);
    EXPECT_FALSE(rig.board.capture->streaming());
    EXPECT_EQ(rig.kernel.liveMappings(), 0);
    EXPECT_EQ(rig.board.capture->bufferCount(), 0u);  // handed back, so that the format may change
    // Start again after stop.
    ASSERT_EQ(rig.sensor->start(), 0);
    frame = grab(rig, &ts, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(frame, expectedFrame(rig));
    EXPECT_EQ(rig.sensor->stop(), 0);
    EXPECT_EQ(rig.sensor->close(), 0);
    EXPECT_EQ(rig.kernel.openDescriptors(), 0);
    EXPECT_EQ(rig.kernel.badUnmaps(), 0);
    EXPECT_EQ(rig.kernel.badCloses(), 0);
}

TEST_P(CsiCaptureOnBoard, FormatsReachTheNodeAndEverySubdevice) {
    const int platform = GetParam();
    CsiRig rig(platform);
    ASSERT_EQ(rig.open(), 0);
    ASSERT_EQ(rig.sensor->setControl(CameraCtrl::FMT_WIDTH, 320), 0);
    EXPECT_EQ(rig.sensor->getCameraInfo().width, 320u);
    int width = 0;
    EXPECT_EQ(rig.sensor->getControl(CameraCtrl::FMT_WIDTH, &width), 0);
    EXPECT_EQ(width, 320);
    EXPECT_EQ(rig.board.capture->format().width, 240u);  // nothing reached the device yet
    rig.sensor->subFrameCount = 1;
    ASSERT_EQ(rig.sensor->start(), 0);
    const CaptureFormat& f = rig.board.capture->format();
    EXPECT_EQ(f.width, 320u);
    EXPECT_EQ(f.height, 180u);
    EXPECT_EQ(f.pixelformat,
              uint32_t(platform == Platform::RASPBERRY_PI_5 ? V4L2_PIX_FMT_Y12P : V4L2_PIX_FMT_Y12));
    EXPECT_EQ(rig.board.sensor->activeFormat().width, 320u);
    EXPECT_EQ(rig.board.sensor->activeFormat().code, uint32_t(MEDIA_BUS_FMT_Y12_1X12));
    if (rig.board.receiver) {
        EXPECT_EQ(rig.board.receiver->activeFormat().width, 320u);
        EXPECT_EQ(rig.board.receiver->formatSets(), 1);
    }
    for (auto& other : rig.board.otherSubdevices)
        EXPECT_EQ(other->formatSets(), 0);
    EXPECT_EQ(rig.sensor->stop(), 0);
}

TEST_P(CsiCaptureOnBoard, MultiPlaneRequestsCarryOnePlane) {
    const int platform = GetParam();
    CsiRig rig(platform);
    ASSERT_EQ(rig.openAndStart(), 0);
    const bool multi = platform == Platform::RADXA_ROCK;
    EXPECT_EQ(rig.sensor->bufferType(),
              uint32_t(multi ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE));
    // The converter is chosen from the reported length: the plane count in multi-plane mode.
    FrameConverter expected = platform == Platform::JETSON           ? stripRowPadding  // 180 rows of 512
                              : platform == Platform::RASPBERRY_PI_5 ? unpackRaw12
                                                                     : copyFrame;
    EXPECT_EQ(rig.sensor->frameConverter(), expected);
}

INSTANTIATE_TEST_SUITE_P(Boards, CsiCaptureOnBoard, testing::ValuesIn(kAllBoards), boardName);

TEST(CsiCapture, PackedTwelveBitOnRaspberryPi5SinglePlane) {
    CsiRig rig(Platform::RASPBERRY_PI_5);
    ASSERT_EQ(rig.openAndStart(), 0);
    const CaptureFormat& f = rig.board.capture->format();
    EXPECT_EQ(f.pixelformat, uint32_t(V4L2_PIX_FMT_Y12P));
    EXPECT_EQ(f.bytesperline, 368u);  // 360 bytes of samples, 8 of padding
    EXPECT_EQ(f.sizeimage, 368u * 180);
    EXPECT_EQ(rig.sensor->bufferType(), uint32_t(V4L2_BUF_TYPE_VIDEO_CAPTURE));
    int r = -1;
    auto frame = grab(rig, nullptr, &r);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(frame, expectedFrame(rig));
    // The link from the receiver to the first channel was enabled.
    auto csi2 = rig.board.media->entityNamed("csi2"), ch0 = rig.board.media->entityNamed("rp1-cfe-csi2_ch0");
    EXPECT_EQ(rig.board.media->linkFlags(csi2->id, 4, ch0->id, 0), MEDIA_LNK_FL_ENABLED);
}

TEST(CsiCapture, FailedLinkSetUpOnRaspberryPi5OpensNoSubdevice) {
    CsiRig rig(Platform::RASPBERRY_PI_5);
    rig.kernel.inject(Fault{Sys::IOCTL, MEDIA_IOC_SETUP_LINK, "", EINVAL, 0, 1});
    StderrCapture err;
    EXPECT_EQ(rig.open(), -2);
    EXPECT_EQ(err.text(), "Error: I2C bus name doesn't match any bus present!\n");
    EXPECT_EQ(rig.sensor->pipeline().subdevCount, 0);
    EXPECT_EQ(rig.kernel.openDescriptors(), 1);  // the capture node only
}

TEST(CsiCapture, StreamOnFailsWhenTheLinkIsDisabledAgain) {
    CsiRig rig(Platform::RASPBERRY_PI_5);
    ASSERT_EQ(rig.open(), 0);
    // Someone else's set-up switched the link off between open and start.
    int fd = rig.kernel.open(rig.board.mediaPath.c_str(), 2);
    media_link_desc link{};
    link.source.entity = rig.board.media->entityNamed("csi2")->id;
    link.source.index = 4;
    link.sink.entity = rig.board.media->entityNamed("rp1-cfe-csi2_ch0")->id;
    link.flags = 0;
    ASSERT_EQ(rig.kernel.ioctl(fd, MEDIA_IOC_SETUP_LINK, &link), 0);
    rig.kernel.close(fd);
    EXPECT_EQ(rig.sensor->start(), -2);
    EXPECT_EQ(rig.kernel.liveMappings(), 0);
    EXPECT_EQ(rig.board.capture->bufferCount(), 0u);
}

TEST(CsiCapture, RefusesAGrantOtherThanEightAfterReleasingIt) {
    for (uint32_t grant : {2u, 4u, 7u, 9u, 16u}) {
        FakeKernel kernel;
        ScopedKernel installed(kernel);
        FakeBoard board(kernel, Platform::RASPBERRY_PI);
        CaptureNodeConfig c;
        c.grantCount = grant;
        c.strideAlignment = 16;
        board.capture = std::make_shared<FakeCaptureNode>(c);
        kernel.addDevice(board.videoPath, board.capture);
        ZentroxTOFCSISensor sensor(board.videoPath.c_str(), Platform::RASPBERRY_PI);
        CameraInfo info{};
        ASSERT_EQ(sensor.open(info), 0);
        kernel.clearTrace();
        EXPECT_EQ(sensor.start(), -1) << grant;
        EXPECT_EQ(board.capture->requestedCount(), 0) << "released with a count of 0";
        EXPECT_EQ(board.capture->bufferCount(), 0u);
        EXPECT_EQ(kernel.liveMappings(), 0);
        for (const auto& call : kernel.trace())
            EXPECT_NE(call.request, VIDIOC_QUERYBUF);
        sensor.close();
    }
}

TEST(CsiCapture, FailedFormatReadBackRefusesTheStart) {
    // A module driver that keeps only 240 x 180 answers a request for 320 columns with that mode.
    CsiRig rig(Platform::RASPBERRY_PI);
    ASSERT_EQ(rig.open(), 0);
    SubdeviceConfig fixed;
    fixed.rdev = rig.board.sensor->rdev();
    fixed.sizes = {{240, 180}};
    fixed.tryFollowsActive = true;
    auto strict = std::make_shared<FakeSubdevice>(fixed);
    rig.kernel.addDevice("/dev/v4l-subdev0", strict);
    rig.sensor->close();
    ASSERT_EQ(rig.open(), 0);
    rig.sensor->setControl(CameraCtrl::FMT_WIDTH, 320);
    EXPECT_EQ(rig.sensor->start(), -1);
    EXPECT_EQ(rig.count(Sys::IOCTL, VIDIOC_REQBUFS), 0u);
}

// --- getFrame ---------------------------------------------------------------------------------

timeval at(int64_t sec, int64_t usec) {
    timeval t{};
    t.tv_sec = sec;
    t.tv_usec = usec;
    return t;
}

TEST(CsiGetFrame, ResynchronisesOnGapsWithinASecondAndAcrossIt) {
    const struct {
        const char* name;
        std::vector<timeval> stamps;
        size_t dequeues;  // buffers taken until four close ones were found
        uint64_t timestamp;
    } rows[] = {
        {"close together", {at(7, 0), at(7, 1000), at(7, 2000), at(7, 3000)}, 4, 7003},
        {"gap of 5001 us", {at(7, 0), at(7, 5001), at(7, 6000), at(7, 7000), at(7, 8000)}, 5, 7008},
        {"gap of exactly 5000 us", {at(7, 0), at(7, 5000), at(7, 10000), at(7, 15000)}, 4, 7015},
        {"gap in the middle",
         {at(7, 0), at(7, 1000), at(7, 9000), at(7, 10000), at(7, 11000), at(7, 12000)},
         6,
         7012},
        {"gap after the third",
         {at(7, 0), at(7, 1000), at(7, 2000), at(7, 30000), at(7, 31000), at(7, 32000), at(7, 33000)},
         7,
         7033},
        // Across a second the difference of the microseconds plus 1000 is compared.
        {"rollover kept together", {at(7, 998000), at(7, 999000), at(8, 500), at(8, 1500)}, 4, 8001},
        {"rollover 4100 us apart in the fields",
         {at(7, 100), at(7, 200), at(8, 4300), at(8, 5300), at(8, 6300), at(8, 7300)},
         6,
         8007},
        {"rollover 3900 us apart in the fields", {at(7, 100), at(7, 200), at(8, 4100), at(8, 5100)}, 4, 8005},
        {"a second later, same microseconds", {at(7, 100), at(8, 100), at(9, 100), at(10, 100)}, 4, 10000},
    };
    for (const auto& row : rows) {
        CsiRig rig(Platform::RASPBERRY_PI);
        ASSERT_EQ(rig.openAndStart(), 0);
        rig.board.capture->scriptTimestamps(row.stamps);
        uint64_t ts = 0;
        int r = -1;
        grab(rig, &ts, &r);
        EXPECT_EQ(r, 0) << row.name;
        EXPECT_EQ(rig.board.capture->sequence(), row.dequeues) << row.name;
        EXPECT_EQ(ts, row.timestamp) << row.name;
        EXPECT_EQ(rig.board.capture->queuedCount(), 8u) << row.name;
    }
}

TEST(CsiGetFrame, RestartedFrameHoldsTheFourBuffersAfterTheGap) {
    CsiRig rig(Platform::RASPBERRY_PI);
    ASSERT_EQ(rig.openAndStart(), 0);
    // Sequence 0 stands alone; 1..4 are one frame: phases 1, 2, 3, 0.
    rig.board.capture->scriptTimestamps({at(9, 0), at(9, 6000), at(9, 7000), at(9, 8000), at(9, 9000)});
    int r = -1;
    auto frame = grab(rig, nullptr, &r);
    ASSERT_EQ(r, 0);
    auto phases = expectedFrame(rig);
    const size_t plane = 240 * 180;
    for (size_t k = 0; k < 4; ++k) {
        size_t phase = (k + 1) % 4;
        EXPECT_TRUE(std::equal(frame.begin() + k * plane, frame.begin() + (k + 1) * plane,
                               phases.begin() + phase * plane))
            << "sub-frame " << k;
    }
}

TEST(CsiGetFrame, NoSubFramesGiveTimestampZeroWithoutTouchingTheDevice) {
    CsiRig rig(Platform::RASPBERRY_PI);
    ASSERT_EQ(rig.openAndStart(), 0);
    for (int n : {0, -3}) {
        rig.sensor->subFrameCount = n;
        rig.kernel.clearTrace();
        uint64_t ts = 99;
        uint8_t byte = 0x5A;
        EXPECT_EQ(rig.sensor->getFrame(&byte, &ts), 0);
        EXPECT_EQ(ts, 0u);
        EXPECT_EQ(byte, 0x5A);
        EXPECT_TRUE(rig.kernel.trace().empty());
    }
}

TEST(CsiGetFrame, TimestampIsInMilliseconds) {
    CsiRig rig(Platform::RASPBERRY_PI);
    ASSERT_EQ(rig.open(), 0);
    ASSERT_EQ(rig.sensor->start(), 0);  // one sub-frame per frame
    rig.board.capture->scriptTimestamps({at(1234, 567890), at(4000000000LL, 999999)});
    uint64_t ts = 0;
    grab(rig, &ts);
    EXPECT_EQ(ts, 1234567u);
    grab(rig, &ts);
    EXPECT_EQ(ts, 4000000000999ull);
}

TEST(CsiGetFrame, BufferIndexOutsideTheTableReturnsTwoWithoutTouchingIt) {
    for (uint32_t index : {8u, 9u, 1000u, 0xFFFFFFFFu}) {
        CsiRig rig(Platform::RASPBERRY_PI);
        ASSERT_EQ(rig.openAndStart(), 0);
        rig.board.capture->reportIndexOnNextDequeue(index);
        std::vector<uint8_t> frame(rig.frameBytes(), 0x33);
        uint64_t ts = 0;
        rig.kernel.clearTrace();
        EXPECT_EQ(rig.sensor->getFrame(frame.data(), &ts), 2);
        EXPECT_EQ(rig.count(Sys::IOCTL, VIDIOC_QBUF), 0u) << "not re-queued";
        EXPECT_EQ(frame, std::vector<uint8_t>(rig.frameBytes(), 0x33));
        // The stream goes on with the buffers that remain.
        int r = -1;
        auto next = grab(rig, nullptr, &r);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(rig.board.capture->queuedCount(), 7u);
    }
}

TEST(CsiGetFrame, BufferFlaggedAsDamagedIsRequeuedAndFailsTheFrame) {
    CsiRig rig(Platform::RASPBERRY_PI);
    ASSERT_EQ(rig.openAndStart(), 0);
    int r = -1;
    grab(rig, nullptr, &r);
    ASSERT_EQ(r, 0);
    rig.board.capture->flagErrorOnNextDequeue();
    std::vector<uint8_t> frame(rig.frameBytes(), 0x44);
    uint64_t ts = 0;
    EXPECT_EQ(rig.sensor->getFrame(frame.data(), &ts), -2);
    EXPECT_EQ(frame, std::vector<uint8_t>(rig.frameBytes(), 0x44)) << "nothing converted";
    EXPECT_EQ(rig.board.capture->queuedCount(), 8u);
    // The next frame is sound again.
    grab(rig, nullptr, &r);
    EXPECT_EQ(r, 0);
}

TEST(CsiGetFrame, DriverLongerThanTheImageNeverWritesPastTheFrame) {
    FakeKernel kernel;
    ScopedKernel installed(kernel);
    FakeBoard board(kernel, Platform::RASPBERRY_PI);
    CaptureNodeConfig c;
    c.strideAlignment = 16;
    c.lengthExtra = 4096;  // buffers reported a page longer than the image
    board.capture = std::make_shared<FakeCaptureNode>(c);
    kernel.addDevice(board.videoPath, board.capture);
    ZentroxTOFCSISensor sensor(board.videoPath.c_str(), Platform::RASPBERRY_PI);
    CameraInfo info{};
    ASSERT_EQ(sensor.open(info), 0);
    sensor.subFrameCount = 4;
    ASSERT_EQ(sensor.start(), 0);
    const size_t bytes = 4 * 240 * 180 * 2;
    std::vector<uint8_t> frame(bytes + 8192, 0x77);
    uint64_t ts = 0;
    EXPECT_EQ(sensor.getFrame(frame.data(), &ts), 0);
    for (size_t i = bytes; i < frame.size(); ++i)
        ASSERT_EQ(frame[i], 0x77) << i;
    sensor.stop();
    sensor.close();
}

TEST(CsiGetFrame, WithoutADeviceItFails) {
    CsiRig rig(Platform::RASPBERRY_PI);
    uint8_t byte = 0;
    uint64_t ts = 0;
    EXPECT_EQ(rig.sensor->getFrame(&byte, &ts), -2);
    EXPECT_EQ(rig.sensor->stop(), -2);
    EXPECT_EQ(rig.sensor->start(), -1);
}

}  // namespace

// Signals interrupt the wait for a filled buffer; each resumes it for the time left, so that however
// many arrive the wait ends at its 2 s deadline (on the fake clock an interrupted poll has waited
// half its time-out). Interruptions before a buffer is filled do not cost the frame.
TEST(CsiGetFrame, SignalsDoNotStretchTheWaitForABuffer) {
    const struct {
        int interrupts;
        bool moduleSends;
        int status;
    } rows[] = {{40, false, -2}, {1, false, -2}, {3, true, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.interrupts) + (row.moduleSends ? " sending" : " stalled"));
        CsiRig rig(Platform::RASPBERRY_PI);
        ASSERT_EQ(rig.openAndStart(), 0);
        rig.board.capture->stall(!row.moduleSends);
        rig.kernel.inject(Fault{Sys::POLL, 0, "", EINTR, 0, row.interrupts});
        const uint64_t before = rig.kernel.clockNs();
        int result = 99;
        const std::vector<uint16_t> frame = grab(rig, nullptr, &result);
        const uint64_t waitedNs = rig.kernel.clockNs() - before;
        EXPECT_EQ(result, row.status);
        if (row.moduleSends) {
            EXPECT_EQ(frame, expectedFrame(rig));
            EXPECT_LT(waitedNs, 2000000000u);
        } else {
            EXPECT_GE(waitedNs, 2000000000u);
            EXPECT_LE(waitedNs, 2001000000u);
        }
        rig.kernel.clearFaults();
        rig.board.capture->stall(false);
        EXPECT_EQ(rig.sensor->stop(), 0);
    }
}

// With nothing the driver will fill, a blocking DQBUF would wait for ever and the capture thread
// could never see a stop. getFrame waits for a filled buffer with a bound instead and fails the frame.
TEST(CsiGetFrame, NothingToDequeueFailsTheFrameInsteadOfWaitingForEver) {
    enum class Case { MODULE_STOPPED_SENDING, EVERY_BUFFER_LOST, STREAM_STOPPED };
    for (Case c : {Case::MODULE_STOPPED_SENDING, Case::EVERY_BUFFER_LOST, Case::STREAM_STOPPED}) {
        CsiRig rig(Platform::RASPBERRY_PI);
        ASSERT_EQ(rig.openAndStart(), 0);
        std::vector<uint8_t> frame(rig.frameBytes());
        uint64_t ts = 0;
        if (c == Case::EVERY_BUFFER_LOST) {
            // Buffers come back under indexes the table does not have: each one is lost.
            for (int lost = 0; lost < 8; ++lost) {
                rig.board.capture->reportIndexOnNextDequeue(100);
                ASSERT_EQ(rig.sensor->getFrame(frame.data(), &ts), 2);
            }
            ASSERT_EQ(rig.board.capture->queuedCount(), 0u);
        }
        if (c == Case::MODULE_STOPPED_SENDING) rig.board.capture->stall(true);
        if (c == Case::STREAM_STOPPED) {
            ASSERT_EQ(rig.sensor->stop(), 0);  // a frame asked for after stop
        }
        rig.kernel.clearTrace();
        EXPECT_EQ(rig.sensor->getFrame(frame.data(), &ts), -2) << int(c);
        EXPECT_EQ(rig.board.capture->blockingDequeues(), 0) << int(c);
        EXPECT_EQ(rig.count(Sys::POLL), 1u) << int(c);
        EXPECT_EQ(rig.count(Sys::IOCTL, VIDIOC_DQBUF), 0u) << int(c);
        if (c == Case::MODULE_STOPPED_SENDING) {
            // Once the module sends again, frames flow.
            rig.board.capture->stall(false);
            EXPECT_EQ(rig.sensor->getFrame(frame.data(), &ts), 0);
        }
        if (c != Case::STREAM_STOPPED) {
            EXPECT_EQ(rig.sensor->stop(), 0) << int(c);
        }
    }
}
