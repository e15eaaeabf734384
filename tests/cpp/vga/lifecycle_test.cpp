// The VGA device's start sequence, its configuration files, close and what follows a failed start.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device/DefaultConfigFiles.h"
#include "tests/cpp/vga/VgaTestSupport.h"
#include "tests/fakes/TempWorkDir.h"

using namespace Zentrox;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

struct Fixture {
    TempWorkDir dir;
    InstantSleepKernel sleeps;
    ScopedKernel seam{sleeps};
    RecordingVgaSensor sensor;
    ZentroxDeviceVGA device{0};
};

bool converts(ZentroxDeviceVGA& device, int width, int height, bool single) {
    VgaScene scene(width, height, single);
    DepthPlanes out(scene.pixels());
    return convert(device, scene.render(), out);
}

}  // namespace

TEST(VgaLifecycle, StartWritesTheConfigurationFilesEveryTime) {
    Fixture f;
    ASSERT_EQ(f.device.open(&f.sensor), 0);
    ASSERT_EQ(f.device.start(), 0);
    EXPECT_EQ(f.dir.read("ConfigAlgorithm.json").size(), 273u);
    EXPECT_EQ(f.dir.read("ConfigCamera.json").size(), 9476u);
    EXPECT_EQ(f.dir.read("register.json").size(), 946u);
    ASSERT_TRUE(f.dir.write("ConfigCamera.json", "[VideoInfo]\nsensorType=edited\n"));
    ASSERT_TRUE(f.dir.write("register.json", ""));
    ASSERT_EQ(f.device.start(), 0);
    EXPECT_EQ(f.dir.read("ConfigCamera.json"), std::string(kConfigCameraText));
    EXPECT_EQ(f.dir.read("register.json"), std::string(kRegisterText));
    EXPECT_TRUE(converts(f.device, 640, 480, true));
    f.device.close();
}

TEST(VgaLifecycle, EveryStartInitialisesTheCurrentSizeAndMode) {
    Fixture f;
    ASSERT_EQ(f.device.open(&f.sensor), 0);
    ASSERT_EQ(f.device.start(), 0);
    EXPECT_TRUE(converts(f.device, 640, 480, true));
    f.device.setControl(CameraCtrl::FMT_WIDTH, 320);
    f.device.setControl(CameraCtrl::FMT_HEIGHT, 240);
    f.device.setControl(CameraCtrl::MODE, 1);
    EXPECT_TRUE(converts(f.device, 640, 480, true)) << "the SDK learns the change at the next start";
    ASSERT_EQ(f.device.start(), 0);
    EXPECT_TRUE(converts(f.device, 320, 240, false));
    EXPECT_FALSE(converts(f.device, 320, 240, true));
    f.device.close();
}

TEST(VgaLifecycle, UnwritableWorkingDirectoryFailsStartBeforeTheSdkIsInitialised) {
    Fixture f;
    ASSERT_EQ(f.device.open(&f.sensor), 0);
    ASSERT_EQ(f.device.start(), 0);
    // Ask for another size, then make the files impossible to write (even for root: a directory
    // stands where the first file goes). A corrupt cali.bin would be reported if calibration loaded.
    f.device.setControl(CameraCtrl::FMT_WIDTH, 320);
    f.device.setControl(CameraCtrl::FMT_HEIGHT, 240);
    ASSERT_EQ(::unlink("ConfigAlgorithm.json"), 0);
    ASSERT_EQ(::mkdir("ConfigAlgorithm.json", 0755), 0);
    ASSERT_TRUE(writeFile("cali.bin", std::vector<uint8_t>(600, 0x5A)));
    CaptureStderr();
    EXPECT_EQ(f.device.start(), -1);
    EXPECT_EQ(GetCapturedStderr(), "") << "calibration was not loaded";
    EXPECT_TRUE(converts(f.device, 640, 480, true)) << "the SDK still runs as the last init left it";
    // The handle survived: the device recovers once the directory is writable again.
    ASSERT_EQ(::rmdir("ConfigAlgorithm.json"), 0);
    ::unlink("cali.bin");
    ASSERT_EQ(f.device.start(), 0);
    EXPECT_TRUE(converts(f.device, 320, 240, true));
    f.device.close();
}

TEST(VgaLifecycle, CloseWaitsHalfASecondThroughTheSleepSeam) {
    Fixture f;
    f.sleeps.interruptFirst = true;  // a signal cuts the first sleep short; the rest is slept after
    ASSERT_EQ(f.device.open(&f.sensor), 0);
    ASSERT_EQ(f.device.start(), 0);
    EXPECT_TRUE(f.sleeps.requests.empty());
    EXPECT_EQ(f.device.close(), 0);
    ASSERT_EQ(f.sleeps.requests.size(), 2u);
    EXPECT_EQ(f.sleeps.requests[0].tv_sec, 0);
    EXPECT_EQ(f.sleeps.requests[0].tv_nsec, 500000000L);
    EXPECT_EQ(f.sleeps.requests[1].tv_nsec, 250000000L);
    EXPECT_FALSE(converts(f.device, 640, 480, true)) << "the handle is gone";
    EXPECT_EQ(f.device.close(), 0);
    EXPECT_EQ(f.sleeps.requests.size(), 2u) << "a second close has nothing to wait for";
}

TEST(VgaLifecycle, AfterAFailedStartNothingUsesTheLostHandle) {
    Fixture f;
    ASSERT_TRUE(writeFile("cali.bin", calibrationFor(true, 640, 480, 0.1f)));
    ASSERT_EQ(f.device.open(&f.sensor), 0);
    ASSERT_EQ(f.device.setControl(CameraCtrl::MODE, 1), 0);
    // Our SDK refuses to start on a configuration directory that does not exist.
    ASSERT_EQ(f.device.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "/nonexistent/zentrox"), 0);
    CaptureStderr();
    EXPECT_EQ(f.device.start(), -1);
    GetCapturedStderr();
    EXPECT_EQ(countCalibrationMappings(), 0) << "the mapping went with the handle";

    ASSERT_EQ(::unlink("ConfigAlgorithm.json"), 0);
    EXPECT_EQ(f.device.start(), -1);
    EXPECT_NE(::access("ConfigAlgorithm.json", F_OK), 0) << "a start without handle does nothing";
    EXPECT_FALSE(converts(f.device, 640, 480, false));
    EXPECT_EQ(f.device.setControl(CameraCtrl::MODE, 0), -1);
    int v = -1;
    EXPECT_EQ(f.device.getControl(CameraCtrl::MODE, &v), 0);
    EXPECT_EQ(v, 1) << "the last mode the SDK reported";
    EXPECT_EQ(f.device.getControl(CameraCtrl::RANGE, &v), 0);
    EXPECT_EQ(v, 4500);
    OutputGeometry raw{}, depth{};
    f.device.getFrameFormat(raw, depth);
    EXPECT_EQ(raw.height, 4810u);
    EXPECT_EQ(f.device.close(), 0);
    EXPECT_TRUE(f.sleeps.requests.empty()) << "no handle, no wait";

    // A new open is the way back.
    ASSERT_EQ(f.device.setControlExt(CameraCtrl::CONFIG_DIR_EXT, ""), 0);
    ASSERT_EQ(f.device.open(&f.sensor), 0);
    ASSERT_EQ(f.device.start(), 0);
    EXPECT_TRUE(converts(f.device, 640, 480, true));
    f.device.close();
}

TEST(VgaLifecycle, DestroyingAnOpenDeviceReleasesItsHandleAndMapping) {
    TempWorkDir dir;
    ASSERT_TRUE(writeFile("cali.bin", calibrationFor(true, 640, 480, 0.1f)));
    RecordingVgaSensor sensor;
    const int fds = countOpenDescriptors();
    {
        ZentroxDeviceVGA device(0);
        ASSERT_EQ(device.open(&sensor), 0);
        ASSERT_EQ(device.start(), 0);
        EXPECT_EQ(countCalibrationMappings(), 1);
    }
    EXPECT_EQ(countCalibrationMappings(), 0);
    EXPECT_EQ(countOpenDescriptors(), fds);
}

TEST(VgaLifecycle, ReopeningReplacesTheHandle) {
    Fixture f;
    ASSERT_EQ(f.device.open(&f.sensor), 0);
    ASSERT_EQ(f.device.setControl(CameraCtrl::MODE, 1), 0);
    ASSERT_EQ(f.device.open(&f.sensor), 0);
    int v = -1;
    f.device.getControl(CameraCtrl::MODE, &v);
    EXPECT_EQ(v, 0) << "a fresh SDK handle, in its default mode";
    f.device.close();
}
