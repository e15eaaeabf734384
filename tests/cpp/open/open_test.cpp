// Opening: the transport built for each connection, the device chosen by the reported size, and
// what a camera refuses while it streams or after an open failed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ZentroxTOFCamera.h"
#include "core/FrameBuffer.h"
#include "device/ZentroxDevice.h"
#include "sensor/ZentroxTOFSensor.h"
#include "sensor/csi/ZentroxTOFCSISensor.h"
#include "system/KernelSeam.h"
#include "tests/fakes/CameraTestAccess.h"
#include "tests/fakes/FakeDevice.h"
#include "tests/fakes/FakeSensor.h"
#include "tests/fakes/RecordingSensor.h"

namespace Zentrox {

namespace {

using Access = CameraTestAccess;

// A kernel with no devices at all that remembers every path the transport tried to open.
class EmptyKernel : public KernelSeam {
  public:
    int open(const char* path, int) override {
        opened.emplace_back(path);
        errno = ENOENT;
        return -1;
    }
    int close(int) override { return fail(EBADF); }
    int ioctl(int, unsigned long, void*) override { return fail(EBADF); }
    void* mmap(void*, size_t, int, int, int, off_t) override {
        errno = EBADF;
        return reinterpret_cast<void*>(-1);
    }
    int munmap(void*, size_t) override { return fail(EINVAL); }
    int fstat(int, struct stat*) override { return fail(EBADF); }
    int listDirectory(const char*, std::vector<std::string>&) override { return fail(ENOENT); }
    ssize_t readlink(const char*, char*, size_t) override { return fail(ENOENT); }
    bool readFile(const char*, std::string&) override {
        errno = ENOENT;
        return false;
    }
    int nanosleep(const struct timespec*, struct timespec*) override { return 0; }
    int poll(struct pollfd*, nfds_t, int) override { return fail(EBADF); }

    std::vector<std::string> opened;

  private:
    static int fail(int error) {
        errno = error;
        return -1;
    }
};

TEST(OpenCsi, TargetsTheVideoNodeOfTheIndex) {
    EmptyKernel fake;
    ScopedKernel scope(fake);
    for (int index : {3, 0, 12}) {
        ZentroxTOFCamera cam;
        fake.opened.clear();
        EXPECT_NE(cam.open(Connection::CSI, index), ZentroxSuccess);
        const std::string expected = "/dev/video" + std::to_string(index);
        auto* csi = dynamic_cast<ZentroxTOFCSISensor*>(Access::sensor(cam));
        ASSERT_NE(csi, nullptr);
        EXPECT_STREQ(csi->path(), expected.c_str());
        ASSERT_FALSE(fake.opened.empty());
        EXPECT_EQ(fake.opened.front(), expected);
        // The sensor failed: no device was built, and the camera does not start.
        EXPECT_EQ(Access::device(cam), nullptr);
        EXPECT_EQ(cam.start(FrameType::DEPTH), ZentroxUnkownError);
        CameraInfo info = cam.getCameraInfo();
        EXPECT_EQ(info.index, uint32_t(index));
        EXPECT_EQ(info.connect, Connection::CSI);
    }
}

TEST(OpenUsb, IndexAndConnectionAreRecorded) {
    ZentroxTOFCamera cam;
    cam.open(Connection::USB, 1);  // whether a second kit exists does not matter here
    CameraInfo info = cam.getCameraInfo();
    EXPECT_EQ(info.index, 1u);
    EXPECT_EQ(info.connect, Connection::USB);
}

TEST(OpenUsb, EmulatedKitGetsTheHqvgaDeviceAndFourSubFrames) {
    ZentroxTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::USB, 0), ZentroxSuccess);
    CameraInfo info = cam.getCameraInfo();
    EXPECT_EQ(info.width, 240u);
    EXPECT_EQ(info.height, 180u);
    EXPECT_EQ(info.device_type, HQVGA);
    EXPECT_EQ(Access::sensor(cam)->subFrameCount, 4);
    ASSERT_NE(Access::device(cam), nullptr);
    EXPECT_EQ(Access::device(cam)->getDeviceType(), HQVGA);
    EXPECT_EQ(cam.close(), ZentroxSuccess);
}

TEST(OpenWithFile, NullPathChangesNothing) {
    ZentroxTOFCamera cam;
    cam.open(Connection::USB, 5);
    const CameraInfo before = cam.getCameraInfo();
    ZentroxTOFSensor* sensor = Access::sensor(cam);
    EXPECT_EQ(cam.openWithFile(nullptr, 0), ZentroxUnkownError);
    const CameraInfo after = cam.getCameraInfo();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof(CameraInfo)), 0);
    EXPECT_EQ(Access::sensor(cam), sensor);
}

TEST(Open, UnknownConnectionRecordsItAndKeepsTheTransport) {
    ZentroxTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::USB, 0), ZentroxSuccess);
    ZentroxTOFSensor* sensor = Access::sensor(cam);
    ZentroxDevice* device = Access::device(cam);
    EXPECT_EQ(cam.open(static_cast<Connection>(7), 2), ZentroxUnkownError);
    EXPECT_EQ(Access::sensor(cam), sensor);
    EXPECT_EQ(Access::device(cam), device);
    CameraInfo info = cam.getCameraInfo();
    EXPECT_EQ(info.index, 2u);
    EXPECT_EQ(static_cast<int>(info.connect), 7);
    // The latest open failed: the camera refuses to start until an open succeeds.
    EXPECT_EQ(cam.start(FrameType::DEPTH), ZentroxUnkownError);
    ASSERT_EQ(cam.open(Connection::USB, 0), ZentroxSuccess);
    ASSERT_EQ(cam.start(FrameType::DEPTH), ZentroxSuccess);
    EXPECT_EQ(cam.stop(), ZentroxSuccess);
    cam.close();
}

TEST(Open, FailedOpenAfterASuccessfulOneBlocksStartUntilTheNextSuccess) {
    EmptyKernel fake;
    ZentroxTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::USB, 0), ZentroxSuccess);
    {
        ScopedKernel scope(fake);
        EXPECT_NE(cam.open(Connection::CSI, 9), ZentroxSuccess);
    }
    // The old device went with the old sensor: nothing points at a destroyed sensor.
    EXPECT_EQ(Access::device(cam), nullptr);
    EXPECT_EQ(cam.start(FrameType::DEPTH), ZentroxUnkownError);
    EXPECT_EQ(cam.start(FrameType::RAW), ZentroxUnkownError);
    ASSERT_EQ(cam.open(Connection::USB, 0), ZentroxSuccess);
    ASSERT_EQ(cam.start(FrameType::RAW), ZentroxSuccess);
    ZentroxFrameBuffer* frame = cam.requestFrame(5000);
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(cam.releaseFrame(frame), ZentroxSuccess);
    EXPECT_EQ(cam.close(), ZentroxSuccess);
}

// A failed open of any kind leaves the camera closed with nothing acquired: what the previous open
// had opened is closed once, and openPostHandle finds no open transport to mark the camera open on.
TEST(Open, AFailedOpenLeavesNothingOpen) {
    for (bool unknownConnection : {true, false}) {
        SCOPED_TRACE(unknownConnection ? "unknown connection" : "no such video node");
        EmptyKernel fake;
        ScopedKernel scope(fake);
        auto sensor = std::make_shared<FakeSensorState>();
        auto device = std::make_shared<FakeDeviceState>();
        ZentroxTOFCamera cam;
        Access::install(cam, std::make_unique<FakeSensor>(240, 180, sensor),
                        std::make_unique<FakeDevice>(device));
        ASSERT_TRUE(Access::opened(cam));
        EXPECT_NE(cam.open(unknownConnection ? static_cast<Connection>(5) : Connection::CSI, 9),
                  ZentroxSuccess);
        EXPECT_EQ(sensor->closes, 1);
        EXPECT_EQ(device->closes, 1);
        EXPECT_EQ(cam.openPostHandle(), ZentroxUnkownError);
        EXPECT_FALSE(Access::opened(cam));
        EXPECT_EQ(cam.start(FrameType::DEPTH), ZentroxUnkownError);
        EXPECT_EQ(cam.close(), ZentroxUnkownError);
        EXPECT_EQ(sensor->closes, 1);
        EXPECT_EQ(device->closes, 1);
        EXPECT_EQ(sensor->starts + device->starts, 0);
    }
}

TEST(Open, StreamingCameraRefusesEveryOpenAndKeepsStreaming) {
    ZentroxTOFCamera cam;
    ASSERT_EQ(cam.open(Connection::USB, 0), ZentroxSuccess);
    ASSERT_EQ(cam.start(FrameType::DEPTH), ZentroxSuccess);
    const CameraInfo before = cam.getCameraInfo();
    ZentroxTOFSensor* sensor = Access::sensor(cam);
    ZentroxDevice* device = Access::device(cam);

    EXPECT_EQ(cam.open(Connection::USB, 0), ZentroxUnkownError);
    EXPECT_EQ(cam.open(Connection::CSI, 4), ZentroxUnkownError);
    EXPECT_EQ(cam.openWithFile("kit.cfg", 1), ZentroxUnkownError);
    EXPECT_EQ(cam.openPostHandle(), ZentroxUnkownError);

    EXPECT_EQ(Access::sensor(cam), sensor);
    EXPECT_EQ(Access::device(cam), device);
    const CameraInfo after = cam.getCameraInfo();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof(CameraInfo)), 0);
    // Frames keep coming from the transport it had.
    for (int i = 0; i < 3; ++i) {
        ZentroxFrameBuffer* frame = cam.requestFrame(5000);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(cam.releaseFrame(frame), ZentroxSuccess);
    }
    EXPECT_EQ(cam.stop(), ZentroxSuccess);
    // Once stopped, opening works again.
    EXPECT_EQ(cam.open(Connection::USB, 0), ZentroxSuccess);
    cam.close();
}

struct SizeCase {
    uint32_t width;
    uint32_t height;
    DeviceType device;
    int32_t subFrames;
};

class DeviceChoice : public ::testing::TestWithParam<SizeCase> {};

TEST_P(DeviceChoice, BySensorSize) {
    const SizeCase c = GetParam();
    ZentroxTOFCamera cam;
    auto sensor = std::make_unique<RecordingSensor>();
    sensor->info.width = c.width;
    sensor->info.height = c.height;
    ZentroxTOFSensor* raw = sensor.get();
    Access::install(cam, std::move(sensor), nullptr, false);
    cam.openPostHandle();  // the device's own open result depends on the double; the choice does not
    EXPECT_EQ(cam.getCameraInfo().device_type, c.device);
    ASSERT_NE(Access::device(cam), nullptr);
    EXPECT_EQ(Access::device(cam)->getDeviceType(), c.device);
    EXPECT_EQ(raw->subFrameCount, c.subFrames);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DeviceChoice,
                         ::testing::Values(SizeCase{240, 180, HQVGA, 4}, SizeCase{240, 181, VGA, 1},
                                           SizeCase{180, 240, VGA, 1}, SizeCase{640, 480, VGA, 1},
                                           SizeCase{320, 240, VGA, 1}, SizeCase{0, 0, VGA, 1}));

// A transport reporting a size whose camera frame would not fit a pool (2^24 samples), or whose byte
// count would wrap, leaves the camera closed; the largest served geometries open.
TEST(OpenPostHandle, RefusesSizesBeyondThePoolBound) {
    const struct {
        uint32_t width, height;
        int expected;
    } rows[] = {
        {240, 180, ZentroxSuccess},    // four sub-frames per camera frame
        {640, 4810, ZentroxSuccess},   // the double-frequency VGA raw layout
        {4096, 4096, ZentroxSuccess},  // exactly the bound
        {4096, 4097, ZentroxUnkownError},
        {0x10000, 0x10000, ZentroxUnkownError},
        {0xFFFFFFFFu, 0x80000001u, ZentroxUnkownError},  // x 2 bytes wraps in 64 bits
        {0xFFFFFFFFu, 0xFFFFFFFFu, ZentroxUnkownError},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.width) + "x" + std::to_string(r.height));
        ZentroxTOFCamera cam;
        auto sensor = std::make_unique<RecordingSensor>();
        sensor->info.width = r.width;
        sensor->info.height = r.height;
        Access::install(cam, std::move(sensor), nullptr, false);
        EXPECT_EQ(cam.openPostHandle(), r.expected);
        EXPECT_EQ(Access::opened(cam), r.expected == ZentroxSuccess);
        if (r.expected != ZentroxSuccess) {
            EXPECT_EQ(cam.start(FrameType::RAW), ZentroxUnkownError);
        }
    }
}

TEST(OpenPostHandle, WithoutASensorRefuses) {
    ZentroxTOFCamera cam;
    EXPECT_EQ(cam.openPostHandle(), ZentroxUnkownError);
    EXPECT_EQ(Access::device(cam), nullptr);
}

}  // namespace
}  // namespace Zentrox
