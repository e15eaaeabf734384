// Depth through the VGA device and our engine, from frames rendered in the VGA raw layout, following
// the camera's order: prepare, start, frames, close.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/cpp/vga/VgaTestSupport.h"
#include "tests/fakes/TempWorkDir.h"

using namespace Zentrox;

namespace {

struct Streaming {
    Streaming(int width, int height, int mode) {
        EXPECT_EQ(device.open(&sensor), 0);
        EXPECT_EQ(device.setControl(CameraCtrl::FMT_WIDTH, width), 0);
        EXPECT_EQ(device.setControl(CameraCtrl::FMT_HEIGHT, height), 0);
        EXPECT_EQ(device.setControl(CameraCtrl::MODE, mode), 0);
    }
    // Starts as the camera does and checks the sensor was asked for the frame the scene renders.
    void start(const VgaScene& scene) {
        ASSERT_EQ(device.prepare(), 0);
        ASSERT_GE(sensor.sets.size(), 2u);
        EXPECT_EQ(sensor.sets[sensor.sets.size() - 2].second, scene.layout.width);
        EXPECT_EQ(sensor.sets.back().second, scene.layout.rawHeight());
        ASSERT_EQ(device.start(), 0);
        OutputGeometry raw{}, depth{};
        device.getFrameFormat(raw, depth);
        EXPECT_EQ(size_t(raw.width) * raw.height, scene.layout.samples());
        EXPECT_EQ(size_t(depth.width) * depth.height, scene.pixels());
    }
    ~Streaming() { device.close(); }
    TempWorkDir dir;
    InstantSleepKernel sleeps;
    ScopedKernel seam{sleeps};
    RecordingVgaSensor sensor;
    ZentroxDeviceVGA device{0};
};

}  // namespace

TEST(VgaDepth, WallAtOneMetreSingleFrequency) {
    Streaming s(640, 480, 0);
    VgaScene scene(640, 480, true, 1000.0f);
    s.start(scene);
    for (uint32_t frame = 0; frame < 3; ++frame) {
        si4c::RenderParams params;
        params.frame_counter = frame;
        DepthPlanes out(scene.pixels());
        ASSERT_TRUE(convert(s.device, scene.render(params), out));
        size_t valid = 0;
        EXPECT_LT(out.worstError(scene.distance_mm, &valid), 10.0);
        EXPECT_EQ(valid, scene.pixels());
    }
}

TEST(VgaDepth, WallAtThreeMetresDoubleFrequency) {
    Streaming s(320, 240, 1);
    VgaScene scene(320, 240, false, 3000.0f, 1.0f);
    s.start(scene);
    si4c::RenderParams params;
    params.noise = 2.0f;
    params.seed = 7;
    DepthPlanes out(scene.pixels());
    ASSERT_TRUE(convert(s.device, scene.render(params), out));
    size_t valid = 0;
    for (size_t i = 0; i < scene.pixels(); ++i)
        valid += out.confidence[i] > 0.0f;
    EXPECT_GT(valid, scene.pixels() * 95 / 100);
    EXPECT_NEAR(meanDepth(out), 3000.0, 10.0);
    EXPECT_LT(out.worstError(scene.distance_mm), 100.0);
}

TEST(VgaDepth, SingleFrequencyWrapsEveryRange) {
    Streaming s(320, 240, 0);
    VgaScene scene(320, 240, true);
    for (size_t i = 0; i < scene.pixels(); ++i) {
        scene.distance_mm[i] = i % 2 ? 3000.0f : 1700.0f;  // 2 x 1250 + 500 and 1250 + 450
        scene.reflectivity[i] = 1.0f;
    }
    s.start(scene);
    DepthPlanes out(scene.pixels());
    ASSERT_TRUE(convert(s.device, scene.render(), out));
    EXPECT_NEAR(out.depth[0], 450.0f, 3.0f);
    EXPECT_NEAR(out.depth[1], 500.0f, 3.0f);
    // The same scene in double frequency is within its range and seen where it is.
    Streaming d(320, 240, 1);
    VgaScene dual(320, 240, false);
    dual.distance_mm = scene.distance_mm;
    dual.reflectivity = scene.reflectivity;
    d.start(dual);
    ASSERT_TRUE(convert(d.device, dual.render(), out));
    EXPECT_NEAR(out.depth[0], 1700.0f, 5.0f);
    EXPECT_NEAR(out.depth[1], 3000.0f, 5.0f);
}

TEST(VgaDepth, CalibratedStreamIsCloserToTheTruth) {
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode ? "double" : "single");
        const bool single = mode == 0;
        VgaScene scene(320, 240, single, single ? 900.0f : 2800.0f, 1.0f);
        si4c::RenderParams params;
        params.phase_offset_rad[0] = 0.3f;
        params.phase_offset_rad[1] = 0.25f;
        params.noise = 1.0f;
        const std::vector<uint16_t> raw = scene.render(params);
        double error[2] = {};
        for (bool calibrated : {false, true}) {
            Streaming s(320, 240, mode);
            if (calibrated) {
                ASSERT_TRUE(writeFile("cali.bin", calibrationFor(single, 640, 480, 0.3f, 0.25f)));
            }
            s.start(scene);
            DepthPlanes out(scene.pixels());
            ASSERT_TRUE(convert(s.device, raw, out));
            error[calibrated] = out.meanAbsError(scene.distance_mm);
        }
        EXPECT_GT(error[0], 40.0);
        EXPECT_LT(error[1], 5.0);
    }
}

TEST(VgaDepth, MalformedFrameFailsTheConversion) {
    Streaming s(320, 240, 0);
    VgaScene scene(320, 240, true);
    s.start(scene);
    std::vector<uint16_t> raw = scene.render();
    raw[scene.layout.metadataOffset(2)] ^= 0x1;
    DepthPlanes out(scene.pixels());
    EXPECT_FALSE(convert(s.device, raw, out));
    // A frame of the other mode, rendered at full length, is refused too.
    VgaScene dual(320, 240, false);
    std::vector<uint16_t> other = dual.render();
    EXPECT_FALSE(convert(s.device, other, out));
}
