// Depth end to end: the emulated kit's VGA module renders a scene, the USB transport delivers the raw
// frame, the VGA device hands it to our engine. The truth is the same scene rendered here.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "FrameBuffer.h"
#include "KernelSeam.h"
#include "StderrCapture.h"
#include "TempWorkDir.h"
#include "VgaFrames.h"
#include "ZentroxDeviceVGA.h"
#include "ZentroxModuleMemory.h"
#include "ZentroxScene.h"
#include "ZentroxTOFCamera.h"
#include "ZentroxTOFUSBSensor.h"

using namespace Zentrox;

namespace {

constexpr double kFieldOfView = 50.0;  // the corners of a wall at 1 m stay within 1250 mm

class InstantSleep : public LibcKernel {
  public:
    int nanosleep(const struct timespec*, struct timespec*) override { return 0; }
};

std::string kitText(int width, int height, bool single, double wall, const std::string& extra = "") {
    return "{\"module\": \"vga\", \"width\": " + std::to_string(width) +
           ", \"height\": " + std::to_string(height) + ", \"frequency_mode\": \"" +
           (single ? "single" : "double") +
           "\", \"frame_rate\": 0, \"noise\": 0, \"ambient\": 80, \"amplitude\": 1500, \"field_of_view\": " +
           std::to_string(kFieldOfView) +
           ", \"scene\": {\"planes\": [{\"normal\": [0, 0, 1], \"distance\": " + std::to_string(wall) +
           ", \"reflectivity\": 0.6}]}" + extra + "}";
}

// Distance along every pixel's ray to the wall, as the kit sees it.
std::vector<float> truth(int width, int height, double wall) {
    SceneMap map;
    renderScene(Scene::flatWall(wall, 0.6f), PinholeCamera::fromFieldOfView(width, height, kFieldOfView),
                map);
    return map.distance;
}

// Transport and device wired as the camera wires them for a module that is not 240 x 180.
struct Pipeline {
    explicit Pipeline(const std::string& text) {
        EXPECT_TRUE(dir.write("kit.json", text));
        sensor = std::make_unique<ZentroxTOFUSBSensor>(dir.path() + "/kit.json", 0);
    }
    ~Pipeline() {
        device.close();
        sensor->stop();
        sensor->close();
    }
    // Open, prepare, start as the camera's open and start do; the SDK's output goes to `said`.
    int begin(int mode) {
        StderrCapture capture;
        int status = sensor->open(info);
        if (status == 0) status = device.open(sensor.get());
        if (status == 0) status = device.setControl(CameraCtrl::FMT_WIDTH, int(info.width));
        if (status == 0) status = device.setControl(CameraCtrl::FMT_HEIGHT, info.width == 640 ? 480 : 240);
        if (status == 0) status = device.setControl(CameraCtrl::MODE, mode);
        if (status == 0) status = device.prepare();
        if (status == 0) status = sensor->start();
        if (status == 0) status = device.start();
        said = capture.text();
        frame.assign(size_t(info.width) * info.height * 2, 0);
        return status;
    }
    bool next(DepthPlanes& out) {
        uint64_t timestamp = 0;
        return sensor->getFrame(frame.data(), &timestamp) == 0 &&
               device.getPhaseImage(frame.data(), out.depth.data(), out.amplitude.data(),
                                    out.confidence.data());
    }
    TempWorkDir dir;
    InstantSleep sleeps;
    ScopedKernel seam{sleeps};
    std::unique_ptr<ZentroxTOFUSBSensor> sensor;
    ZentroxDeviceVGA device{0};
    CameraInfo info{};
    std::vector<uint8_t> frame;
    std::string said;
};

double fractionValid(const DepthPlanes& out) {
    size_t n = 0;
    for (float c : out.confidence)
        n += c > 0.0f;
    return double(n) / double(out.confidence.size());
}

}  // namespace

TEST(VgaKitDepth, WallAtOneMetreSingleFrequency) {
    Pipeline p(kitText(640, 480, true, 1000.0));
    ASSERT_EQ(p.begin(0), 0) << p.said;
    EXPECT_EQ(p.info.width, 640u);
    EXPECT_EQ(p.info.height, 2405u);
    const std::vector<float> expected = truth(640, 480, 1000.0);
    for (int frame = 0; frame < 2; ++frame) {
        DepthPlanes out(640 * 480);
        ASSERT_TRUE(p.next(out));
        size_t valid = 0;
        EXPECT_LT(out.worstError(expected, &valid), 10.0);
        EXPECT_EQ(valid, expected.size());
        EXPECT_NEAR(out.depth[240 * 640 + 320], 1000.0f, 10.0f) << "the image centre looks straight at it";
    }
}

TEST(VgaKitDepth, WallAtThreeMetresDoubleFrequency) {
    Pipeline p(kitText(320, 240, false, 3000.0, ", \"noise\": 1.5, \"seed\": 9"));
    ASSERT_EQ(p.begin(1), 0) << p.said;
    EXPECT_EQ(p.info.height, 2410u);
    const std::vector<float> expected = truth(320, 240, 3000.0);
    DepthPlanes out(320 * 240);
    ASSERT_TRUE(p.next(out));
    EXPECT_GT(fractionValid(out), 0.95);
    double sum = 0;
    size_t n = 0;
    for (size_t i = 0; i < expected.size(); ++i)
        if (out.confidence[i] > 0.0f) {
            sum += out.depth[i] - expected[i];
            ++n;
        }
    EXPECT_NEAR(sum / double(n), 0.0, 5.0) << "unbiased";
    EXPECT_NEAR(out.depth[120 * 320 + 160], 3000.0f, 30.0f);
}

TEST(VgaKitDepth, SingleFrequencyWrapsAsPhysicsSays) {
    Pipeline p(kitText(320, 240, true, 1600.0));
    ASSERT_EQ(p.begin(0), 0) << p.said;
    std::vector<float> expected = truth(320, 240, 1600.0);
    for (float& d : expected)
        d = std::fmod(d, 1250.0f);  // 1600 mm is seen at 350 mm, and so on
    DepthPlanes out(320 * 240);
    ASSERT_TRUE(p.next(out));
    size_t valid = 0;
    double worst = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        if (!(out.confidence[i] > 0.0f)) continue;
        ++valid;
        const double err = std::fabs(out.depth[i] - expected[i]);
        worst = std::fmax(worst, std::fmin(err, 1250.0 - err));
    }
    EXPECT_EQ(valid, expected.size());
    EXPECT_LT(worst, 10.0);
    EXPECT_NEAR(out.depth[120 * 320 + 160], 350.0f, 10.0f);
}

TEST(VgaKitDepth, TheModeMustMatchTheKitsFrames) {
    // The kit delivers single-frequency frames; a device in double frequency asks for more rows than
    // the transport has and its engine refuses what arrives (the camera refuses such a start earlier).
    Pipeline p(kitText(320, 240, true, 1000.0));
    ASSERT_EQ(p.begin(1), 0) << p.said;
    std::vector<uint8_t> big(size_t(320) * 2410 * 2);
    uint64_t timestamp = 0;
    ASSERT_EQ(p.sensor->getFrame(big.data(), &timestamp), 0);
    DepthPlanes out(320 * 240);
    EXPECT_FALSE(
        p.device.getPhaseImage(big.data(), out.depth.data(), out.amplitude.data(), out.confidence.data()));
}

TEST(VgaKitDepth, CorruptCaliBinDoesNotCrashAndIsReported) {
    Pipeline p(kitText(320, 240, true, 1000.0));
    std::string junk(777, '\0');
    for (size_t i = 0; i < junk.size(); ++i)
        junk[i] = char(i * 131 + 7);
    ASSERT_TRUE(p.dir.write("cali.bin", junk));
    ASSERT_EQ(p.begin(0), 0) << p.said;
    EXPECT_NE(p.said.find("calibration data ignored"), std::string::npos) << p.said;
    DepthPlanes out(320 * 240);
    ASSERT_TRUE(p.next(out));
    EXPECT_LT(out.worstError(truth(320, 240, 1000.0)), 10.0) << "uncalibrated, and the scene has no offset";
}

TEST(VgaKitDepth, MatchingCalibrationCorrectsTheKitsPhaseOffsets) {
    // USB has no module memory: "cali.bin" is the only source of calibration.
    for (bool single : {true, false}) {
        SCOPED_TRACE(single ? "single" : "double");
        const double wall = single ? 900.0 : 2500.0;
        const std::string text = kitText(320, 240, single, wall, ", \"phase_offsets\": [0.35, 0.3]");
        const std::vector<float> expected = truth(320, 240, wall);
        double error[2] = {};
        for (bool calibrated : {false, true}) {
            Pipeline p(text);
            EXPECT_EQ(dynamic_cast<ZentroxModuleMemory*>(p.sensor.get()), nullptr);
            if (calibrated) {
                const std::vector<uint8_t> blob = calibrationFor(single, 640, 480, 0.35f, 0.3f);
                ASSERT_TRUE(p.dir.write("cali.bin", std::string(blob.begin(), blob.end())));
            }
            ASSERT_EQ(p.begin(single ? 0 : 1), 0) << p.said;
            DepthPlanes out(320 * 240);
            ASSERT_TRUE(p.next(out));
            error[calibrated] = out.meanAbsError(expected);
        }
        EXPECT_GT(error[0], 30.0);
        EXPECT_LT(error[1], 3.0);
        EXPECT_LT(error[1] * 10.0, error[0]);
    }
}

TEST(VgaKitDepth, ThroughTheCamera) {
    TempWorkDir dir;
    InstantSleep sleeps;
    ScopedKernel seam(sleeps);
    ASSERT_TRUE(dir.write("kit.json", kitText(320, 240, true, 1000.0)));
    const std::vector<float> expected = truth(320, 240, 1000.0);
    ZentroxTOFCamera camera;
    StderrCapture quiet;
    ASSERT_EQ(camera.openWithFile((dir.path() + "/kit.json").c_str(), 0), 0);
    EXPECT_EQ(camera.getCameraInfo().device_type, VGA);
    ASSERT_EQ(camera.setControl(CameraCtrl::FMT_WIDTH, 320), 0);
    ASSERT_EQ(camera.setControl(CameraCtrl::FMT_HEIGHT, 240), 0);
    ASSERT_EQ(camera.start(FrameType::DEPTH), 0);
    ZentroxFrameBuffer* buffer = camera.requestFrame(5000);
    ASSERT_NE(buffer, nullptr);
    FrameDataFormat format{};
    ASSERT_EQ(buffer->getFormat(FrameType::DEPTH, format), 0);
    EXPECT_EQ(format.width, 320u);
    EXPECT_EQ(format.height, 240u);
    const float* depth = static_cast<const float*>(buffer->getData(FrameType::DEPTH));
    ASSERT_NE(depth, nullptr);
    double worst = 0;
    for (size_t i = 0; i < expected.size(); ++i)
        worst = std::fmax(worst, std::fabs(depth[i] - expected[i]));
    EXPECT_LT(worst, 10.0);
    EXPECT_EQ(camera.releaseFrame(buffer), 0);
    EXPECT_EQ(camera.stop(), 0);
    EXPECT_EQ(camera.close(), 0);
    quiet.text();
}

// A device start that fails (its configuration file cannot be written: a directory has the name)
// stops the kit it had started: once the cause is gone, the next start streams, with no close in
// between (a kit left streaming refuses every start).
TEST(VgaKitDepth, AFailedDeviceStartLeavesTheKitStartable) {
    TempWorkDir dir;
    InstantSleep sleeps;
    ScopedKernel seam(sleeps);
    ASSERT_TRUE(dir.write("kit.json", kitText(320, 240, true, 1000.0)));
    ZentroxTOFCamera camera;
    StderrCapture quiet;
    ASSERT_EQ(camera.openWithFile((dir.path() + "/kit.json").c_str(), 0), 0);
    ASSERT_EQ(camera.setControl(CameraCtrl::FMT_WIDTH, 320), 0);
    ASSERT_EQ(camera.setControl(CameraCtrl::FMT_HEIGHT, 240), 0);
    for (const char* occupied : {"ConfigCamera.json", "register.json"}) {
        SCOPED_TRACE(occupied);
        ASSERT_EQ(::mkdir(occupied, 0755), 0);
        EXPECT_NE(camera.start(FrameType::DEPTH), 0);
        ASSERT_EQ(::rmdir(occupied), 0);
    }
    ASSERT_EQ(camera.start(FrameType::DEPTH), 0);
    ZentroxFrameBuffer* buffer = camera.requestFrame(5000);
    ASSERT_NE(buffer, nullptr);
    const std::vector<float> expected = truth(320, 240, 1000.0);
    const float* depth = static_cast<const float*>(buffer->getData(FrameType::DEPTH));
    const size_t centre = 120 * 320 + 160;
    EXPECT_NEAR(depth[centre], expected[centre], 10.0);
    EXPECT_EQ(camera.releaseFrame(buffer), 0);
    EXPECT_EQ(camera.stop(), 0);
    EXPECT_EQ(camera.close(), 0);
    quiet.text();
}

TEST(VgaKitDepth, UsbTransportRefusesFrameRateAndHasNoExposure) {
    Pipeline p(kitText(640, 480, true, 1000.0));
    ASSERT_EQ(p.begin(0), 0) << p.said;
    EXPECT_EQ(p.device.setControl(CameraCtrl::FRAME_RATE, 20), 1);
    int v = -7;
    EXPECT_EQ(p.device.getControl(CameraCtrl::FRAME_RATE, &v), 0);
    EXPECT_EQ(v, 41) << "no frame rate was set: the table value";
    EXPECT_EQ(p.device.getControl(CameraCtrl::EXPOSURE, &v), 4);
}
