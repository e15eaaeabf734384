// Depth end to end: the emulated kit's VGA module renders a scene, the USB transport delivers the raw
// frame, the VGA device hands it to our engine. The truth is the same scene rendered here.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "ZentroxScene.h"
#include "ZentroxTOFCamera.h"
#include "core/FrameBuffer.h"
#include "device/ZentroxDeviceVGA.h"
#include "sensor/ZentroxModuleMemory.h"
#include "sensor/usb/ZentroxTOFUSBSensor.h"
#include "system/KernelSeam.h"
#include "tests/fakes/BoundedCall.h"
#include "tests/fakes/StderrCapture.h"
#include "tests/fakes/TempWorkDir.h"
#include "tests/fakes/VgaFrames.h"

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

// The camera opened over a 320 x 240 single-frequency kit facing a wall at 1 m; the sleeps are
// instant and what the SDK says is collected.
struct KitCamera {
    // Opens the camera and asks for 320 x 240; a fatal failure when a step fails.
    void open() {
        ASSERT_TRUE(dir.write("kit.json", kitText(320, 240, true, 1000.0)));
        ASSERT_EQ(camera.openWithFile((dir.path() + "/kit.json").c_str(), 0), 0);
        ASSERT_EQ(camera.setControl(CameraCtrl::FMT_WIDTH, 320), 0);
        ASSERT_EQ(camera.setControl(CameraCtrl::FMT_HEIGHT, 240), 0);
    }
    void stopAndClose() {
        EXPECT_EQ(camera.stop(), 0);
        EXPECT_EQ(camera.close(), 0);
        quiet.text();
    }
    TempWorkDir dir;
    InstantSleep sleeps;
    ScopedKernel seam{sleeps};
    ZentroxTOFCamera camera;
    StderrCapture quiet;
};

double fractionValid(const DepthPlanes& out) {
    size_t n = 0;
    for (float c : out.confidence)
        n += c > 0.0f;
    return double(n) / double(out.confidence.size());
}

// The next depth frame of a streaming camera against a wall at 1 m seen at width x height: the
// worst error in mm; infinite when no frame of that size came.
double wallError(ZentroxTOFCamera& camera, uint32_t width, uint32_t height) {
    ZentroxFrameBuffer* buffer = camera.requestFrame(5000);
    FrameDataFormat format{};
    if (buffer != nullptr) buffer->getFormat(FrameType::DEPTH, format);
    double worst = format.width == width && format.height == height ? 0.0 : INFINITY;
    const std::vector<float> expected = truth(int(width), int(height), 1000.0);
    const float* depth = buffer ? static_cast<const float*>(buffer->getData(FrameType::DEPTH)) : nullptr;
    for (size_t i = 0; i < expected.size() && depth && worst < INFINITY; ++i)
        worst = std::fmax(worst, std::fabs(depth[i] - expected[i]));
    if (buffer != nullptr) {
        EXPECT_EQ(camera.releaseFrame(buffer), 0);
    }
    return worst;
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

// Depth, amplitude and confidence through the camera's capture thread, each plane against the scene.
TEST(VgaKitDepth, ThroughTheCamera) {
    KitCamera k;
    ASSERT_NO_FATAL_FAILURE(k.open());
    EXPECT_EQ(k.camera.getCameraInfo().device_type, VGA);
    ASSERT_EQ(k.camera.start(FrameType::DEPTH), 0);
    ZentroxFrameBuffer* buffer = k.camera.requestFrame(5000);
    ASSERT_NE(buffer, nullptr);
    FrameDataFormat format{};
    ASSERT_EQ(buffer->getFormat(FrameType::DEPTH, format), 0);
    EXPECT_EQ(format.width, 320u);
    EXPECT_EQ(format.height, 240u);
    const float* depth = static_cast<const float*>(buffer->getData(FrameType::DEPTH));
    const float* amplitude = static_cast<const float*>(buffer->getData(FrameType::AMPLITUDE));
    const float* confidence = static_cast<const float*>(buffer->getData(FrameType::CONFIDENCE));
    ASSERT_TRUE(depth && amplitude && confidence);
    const std::vector<float> expected = truth(320, 240, 1000.0);
    // Each plane as the kit's light model gives it: the wall returns reflectivity x signal / d^2
    // (d in metres), and confidence is the modulated share of the light, 100 a / (a + ambient).
    double worst[3] = {};
    for (size_t i = 0; i < expected.size(); ++i) {
        const double metres = expected[i] / 1000.0;
        const double a = 0.6 * 1500.0 / (metres * metres);
        worst[0] = std::fmax(worst[0], std::fabs(depth[i] - expected[i]));
        worst[1] = std::fmax(worst[1], std::fabs(amplitude[i] - a) / a);
        worst[2] = std::fmax(worst[2], std::fabs(confidence[i] - 100.0 * a / (a + 80.0)));
    }
    EXPECT_LT(worst[0], 10.0) << "mm";
    EXPECT_LT(worst[1], 0.005) << "relative amplitude";
    EXPECT_LT(worst[2], 0.05) << "confidence";
    EXPECT_EQ(k.camera.releaseFrame(buffer), 0);
    k.stopAndClose();
}

// Open and start through the camera over kits of every geometry, and with a FIFO where a file is
// read or written. A kit whose images a device reads is served (the VGA device fitted to the raw
// frames it sends) and its depth is the scene's; any other geometry is refused at open with one line
// that names the sizes served. A FIFO never holds open or start: one given as the recording is
// refused, one in place of the calibration or of the engine's parameters is skipped and reported,
// one in place of a file start writes is replaced.
TEST(VgaKitDepth, OpenAndStartServeWhatADeviceReadsAndNeverWaitOnAFifo) {
    const char* const hqvga = R"("module": "hqvga", "width": 240, "height": 180)";
    const char* const vga = R"("module": "vga", "width": 320, "height": 240)";
    const struct {
        const char* kit;  // module, size and mode
        const char* fifo;
        uint32_t width, height;  // of the depth frames; 0: refused at open
        const char* said;        // part of what open and start say
    } rows[] = {
        {hqvga, "", 240, 180, ""},
        {R"("module": "vga", "width": 640, "height": 480, "frequency_mode": "double")", "", 640, 480, ""},
        {vga, "", 320, 240, ""},
        {R"("module": "vga", "width": 320, "height": 240, "frequency_mode": "double")", "", 320, 240, ""},
        {R"("module": "hqvga", "width": 1, "height": 1)", "", 0, 0,
         "sensor's 1 x 1 images; served are 240 x 180"},
        {R"("module": "hqvga", "width": 320, "height": 240)", "", 0, 0,
         "served are 240 x 180 (four phase images per frame) and the raw frames 640 x 2405"},
        {R"("module": "hqvga", "width": 1024, "height": 1024)", "", 0, 0, "320 x 1205 (320 x 240, single"},
        {hqvga, "kit.bin", 0, 0, "kit.bin\" is not a regular file"},
        {vga, "cali.bin", 320, 240, "cali.bin is not a regular file"},
        {vga, "ConfigAlgorithm.json", 320, 240, ""},
        {vga, "engine/ConfigAlgorithm.json", 320, 240, "engine/ConfigAlgorithm.json is not a regular file"},
    };
    InstantSleep sleeps;
    ScopedKernel seam(sleeps);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.kit) + " " + row.fifo);
        TempWorkDir dir;
        ASSERT_TRUE(dir.write("kit.json", std::string("{") + row.kit +
                                              R"(, "frame_rate": 0, "noise": 0, "field_of_view": 50, )"
                                              R"("scene": {"planes": [{"distance": 1000}]}})"));
        ASSERT_EQ(::mkdir("engine", 0755), 0);
        ASSERT_TRUE(row.fifo[0] == '\0' || ::mkfifo(row.fifo, 0644) == 0);
        ZentroxTOFCamera camera;
        StderrCapture capture;
        int opened = -1, started = -1;
        EXPECT_TRUE(finishesDespiteFifo(row.fifo, [&] {
            opened = camera.openWithFile(std::string(row.fifo) == "kit.bin" ? "kit.bin" : "kit.json", 0);
            camera.setControlExt(CameraCtrl::CONFIG_DIR_EXT, (dir.path() + "/engine").c_str());
            started = camera.start(FrameType::DEPTH);
        }));
        EXPECT_EQ(opened, row.width ? 0 : -1);
        EXPECT_EQ(started, opened) << "a refused open leaves nothing to start";
        if (opened == 0 && started == 0) {
            EXPECT_EQ(camera.getCameraInfo().device_type, row.width == 240 ? HQVGA : VGA);
            EXPECT_LT(wallError(camera, row.width, row.height), 10.0);
            EXPECT_EQ(camera.stop(), 0);
            EXPECT_EQ(camera.close(), 0);
        }
        const std::string said = capture.text();
        EXPECT_NE(said.find(row.said), std::string::npos) << said;
        EXPECT_EQ(said.find("ZentroxTOFCamera"), said.rfind("ZentroxTOFCamera")) << "one line: " << said;
        struct stat st {};
        const bool vgaStarted = started == 0 && row.width != 240;  // the VGA device wrote its files
        EXPECT_TRUE(!vgaStarted || (::lstat("ConfigAlgorithm.json", &st) == 0 && S_ISREG(st.st_mode)));
    }
}

// A device start that fails (its configuration file cannot be written: a directory has the name)
// stops the kit it had started: once the cause is gone, the next start streams, with no close in
// between (a kit left streaming refuses every start).
TEST(VgaKitDepth, AFailedDeviceStartLeavesTheKitStartable) {
    KitCamera k;
    ASSERT_NO_FATAL_FAILURE(k.open());
    for (const char* occupied : {"ConfigCamera.json", "register.json"}) {
        SCOPED_TRACE(occupied);
        ASSERT_EQ(::mkdir(occupied, 0755), 0);
        EXPECT_NE(k.camera.start(FrameType::DEPTH), 0);
        ASSERT_EQ(::rmdir(occupied), 0);
    }
    ASSERT_EQ(k.camera.start(FrameType::DEPTH), 0);
    ZentroxFrameBuffer* buffer = k.camera.requestFrame(5000);
    ASSERT_NE(buffer, nullptr);
    const std::vector<float> expected = truth(320, 240, 1000.0);
    const float* depth = static_cast<const float*>(buffer->getData(FrameType::DEPTH));
    const size_t centre = 120 * 320 + 160;
    EXPECT_NEAR(depth[centre], expected[centre], 10.0);
    EXPECT_EQ(k.camera.releaseFrame(buffer), 0);
    k.stopAndClose();
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
