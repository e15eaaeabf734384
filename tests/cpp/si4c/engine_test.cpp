// The engine through its C interface: lifecycle and mode, depth of rendered scenes in both modes,
// refusal of malformed frames, confidence, the configuration file and calibration.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "si4c.h"
#include "tests/fakes/TempWorkDir.h"
#include "tests/fakes/VgaFrames.h"

using namespace Zentrox;
using namespace Zentrox::si4c;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// An engine handle that is destroyed with the test.
struct Engine {
    Engine() { EXPECT_TRUE(SiSDKCreate(&h)); }
    ~Engine() { SiSDKDestroy(&h); }
    bool begin(int width, int height, bool single) {
        SiSDKSetSingleFreq(h, single);
        return SiSDKInit(h, width, height) && SiSDKStart(h);
    }
    bool convert(const std::vector<uint16_t>& raw, DepthPlanes& out) {
        return SiSDKGetPhaseImage(h, raw.data(), out.depth.data(), out.amplitude.data(),
                                  out.confidence.data());
    }
    SiSDKHandle h = nullptr;
};

// The frames of `scene` as a module whose first frequency is off by `radians` sends them.
std::vector<uint16_t> framesWithOffset(const VgaScene& scene, float radians) {
    RenderParams params;
    params.phase_offset_rad[0] = radians;
    return scene.render(params);
}

}  // namespace

TEST(Si4cLifecycle, CreateDestroyAndNullHandles) {
    SiSDKHandle h = nullptr;
    ASSERT_TRUE(SiSDKCreate(&h));
    ASSERT_NE(h, nullptr);
    SiSDKDestroy(&h);
    EXPECT_EQ(h, nullptr);
    SiSDKDestroy(&h);  // already gone: nothing happens
    SiSDKDestroy(nullptr);
    EXPECT_FALSE(SiSDKCreate(nullptr));
    float f = 0;
    uint16_t raw[16] = {};
    EXPECT_FALSE(SiSDKIsSingleFreq(nullptr));
    EXPECT_FALSE(SiSDKSetSingleFreq(nullptr, true));
    EXPECT_FALSE(SiSDKInit(nullptr, 640, 480));
    EXPECT_FALSE(SiSDKSetCaliData(nullptr, raw, sizeof raw));
    EXPECT_FALSE(SiSDKSetConfig(nullptr, "."));
    EXPECT_FALSE(SiSDKStart(nullptr));
    EXPECT_FALSE(SiSDKGetPhaseImage(nullptr, raw, &f, &f, &f));
}

TEST(Si4cLifecycle, ConversionNeedsInitAndStart) {
    Engine e;
    VgaScene scene(64, 8, true);
    const std::vector<uint16_t> raw = scene.render();
    DepthPlanes out(scene.pixels());
    EXPECT_FALSE(SiSDKStart(e.h)) << "start before init";
    EXPECT_FALSE(e.convert(raw, out));
    ASSERT_TRUE(SiSDKInit(e.h, 64, 8));
    EXPECT_FALSE(e.convert(raw, out)) << "initialised but not started";
    ASSERT_TRUE(SiSDKStart(e.h));
    EXPECT_TRUE(e.convert(raw, out));
    ASSERT_TRUE(SiSDKInit(e.h, 64, 8));
    EXPECT_FALSE(e.convert(raw, out)) << "a new init stops conversion until the next start";
    for (auto [w, h] : {std::pair{15, 8}, {4097, 8}, {64, 0}, {64, 4097}, {-640, 480}})
        EXPECT_FALSE(SiSDKInit(e.h, w, h)) << w << "x" << h;
}

TEST(Si4cLifecycle, ModeReportsTheLastSetAndTakesEffectAtInit) {
    Engine e;
    EXPECT_TRUE(SiSDKIsSingleFreq(e.h)) << "a new engine is in single frequency";
    ASSERT_TRUE(SiSDKInit(e.h, 32, 4));
    SiSDKSetSingleFreq(e.h, false);
    EXPECT_FALSE(SiSDKIsSingleFreq(e.h));
    ASSERT_TRUE(SiSDKStart(e.h));
    const std::vector<uint16_t> single = VgaScene(32, 4, true).render();
    std::vector<uint16_t> dual = VgaScene(32, 4, false).render();
    DepthPlanes out(32 * 4);
    EXPECT_TRUE(e.convert(single, out)) << "still in the mode of the last init";
    ASSERT_TRUE(SiSDKInit(e.h, 32, 4));
    ASSERT_TRUE(SiSDKStart(e.h));
    EXPECT_TRUE(e.convert(dual, out));
    dual.resize(single.size());
    EXPECT_FALSE(e.convert(single, out)) << "a single-frequency frame in double mode";
}

TEST(Si4cDepth, WallAtOneMetreSingleFrequency) {
    Engine e;
    ASSERT_TRUE(e.begin(640, 480, true));
    VgaScene scene(640, 480, true, 1000.0f);
    DepthPlanes out(scene.pixels());
    ASSERT_TRUE(e.convert(scene.render(), out));
    size_t valid = 0;
    EXPECT_LT(out.worstError(scene.distance_mm, &valid), 10.0);
    EXPECT_EQ(valid, scene.pixels());
}

TEST(Si4cDepth, SingleFrequencyRecoversAndWrapsAsPhysicsSays) {
    VgaScene scene(64, 16, true);
    std::vector<float> expected(scene.pixels());
    for (size_t i = 0; i < scene.pixels(); ++i) {
        scene.distance_mm[i] = 150.0f + 3.7f * float(i);  // 150 mm to about 3.9 m
        expected[i] = std::fmod(scene.distance_mm[i], 1250.0f);
    }
    RenderParams params;
    params.signal_at_1m = 600.0f;
    Engine e;
    ASSERT_TRUE(e.begin(64, 16, true));
    DepthPlanes out(scene.pixels());
    ASSERT_TRUE(e.convert(scene.render(params), out));
    for (size_t i = 0; i < scene.pixels(); ++i) {
        if (!(out.confidence[i] > 0.0f)) continue;  // saturated close pixels
        double err = std::fabs(out.depth[i] - expected[i]);
        EXPECT_LT(std::fmin(err, 1250.0 - err), 3.0) << scene.distance_mm[i];
    }
    size_t valid = 0;
    out.worstError(expected, &valid);
    EXPECT_GT(valid, scene.pixels() * 9 / 10);
    // 1.6 m is seen at 350 mm: one whole range further out.
    VgaScene far(32, 2, true, 1600.0f);
    DepthPlanes farOut(far.pixels());
    ASSERT_TRUE(SiSDKInit(e.h, 32, 2) && SiSDKStart(e.h));
    ASSERT_TRUE(e.convert(far.render(), farOut));
    EXPECT_NEAR(farOut.depth[0], 350.0f, 2.0f);
}

TEST(Si4cDepth, DoubleFrequencyWallAtThreeMetresAndBeyondItsRange) {
    Engine e;
    ASSERT_TRUE(e.begin(320, 240, false));
    for (float wall : {3000.0f, 500.0f, 1499.0f, 2250.0f, 4400.0f}) {
        VgaScene scene(320, 240, false, wall, wall < 1000.0f ? 0.2f : 1.0f);  // near and bright saturates
        DepthPlanes out(scene.pixels());
        ASSERT_TRUE(e.convert(scene.render(), out));
        size_t valid = 0;
        EXPECT_LT(out.worstError(scene.distance_mm, &valid), 10.0) << wall;
        EXPECT_EQ(valid, scene.pixels()) << wall;
    }
    VgaScene beyond(320, 240, false, 4700.0f, 1.0f);  // past 4500 mm: wraps to 200 mm
    DepthPlanes out(beyond.pixels());
    ASSERT_TRUE(e.convert(beyond.render(), out));
    EXPECT_NEAR(out.depth[100], 200.0f, 10.0f);
}

TEST(Si4cDepth, NoisyWallIsUnbiased) {
    Engine e;
    ASSERT_TRUE(e.begin(160, 120, false));
    VgaScene scene(160, 120, false, 3000.0f);
    RenderParams params;
    params.noise = 3.0f;
    params.seed = 42;
    DepthPlanes out(scene.pixels());
    ASSERT_TRUE(e.convert(scene.render(params), out));
    double sum = 0;
    size_t n = 0;
    for (size_t i = 0; i < scene.pixels(); ++i)
        if (out.confidence[i] > 0.0f) {
            sum += out.depth[i];
            ++n;
        }
    ASSERT_GT(n, scene.pixels() * 95 / 100);
    EXPECT_NEAR(sum / double(n), 3000.0, 5.0);
}

TEST(Si4cDepth, ConfidenceFallsWithAmbientLightWhileAmplitudeStays) {
    Engine e;
    ASSERT_TRUE(e.begin(32, 4, true));
    VgaScene scene(32, 4, true, 1000.0f);
    RenderParams dark, bright;
    dark.ambient = 50.0f;
    bright.ambient = 1500.0f;
    DepthPlanes a(scene.pixels()), b(scene.pixels());
    ASSERT_TRUE(e.convert(scene.render(dark), a));
    ASSERT_TRUE(e.convert(scene.render(bright), b));
    EXPECT_NEAR(a.amplitude[0], b.amplitude[0], 1.0f);
    EXPECT_GT(a.confidence[0], b.confidence[0] + 20.0f);
    EXPECT_NE(a.confidence[0], a.amplitude[0]);
    EXPECT_NEAR(a.depth[0], b.depth[0], 2.0f);
}

TEST(Si4cFrames, MalformedFramesAreRefusedAndOutputsLeftAlone) {
    const RawLayout layout{64, 8, false};
    VgaScene scene(64, 8, false);
    RenderParams p;
    p.frame_counter = 5;
    const std::vector<uint16_t> good = scene.render(p);
    p.frame_counter = 6;
    const std::vector<uint16_t> next = scene.render(p);
    struct Case {
        const char* name;
        std::vector<uint16_t> raw;
    };
    std::vector<Case> cases;
    auto edit = [&](const char* name, auto change) {
        std::vector<uint16_t> raw = good;
        change(raw);
        cases.push_back({name, raw});
    };
    edit("magic of the last block", [&](auto& r) { r[layout.metadataOffset(9)] = 0; });
    edit("torn frame", [&](auto& r) {
        std::copy(next.begin() + layout.metadataOffset(5), next.end(), r.begin() + layout.metadataOffset(5));
    });
    edit("blocks swapped", [&](auto& r) {
        std::swap_ranges(r.begin() + layout.metadataOffset(1), r.begin() + layout.metadataOffset(2),
                         r.begin() + layout.metadataOffset(2));
    });
    edit("all zero", [&](auto& r) { std::fill(r.begin(), r.end(), 0); });
    edit("bit error in metadata", [&](auto& r) { r[layout.metadataOffset(3) + META_IMAGE] ^= 4; });
    Engine e;
    ASSERT_TRUE(e.begin(64, 8, false));
    DepthPlanes out(scene.pixels(), -3.0f);
    ASSERT_TRUE(e.convert(good, out));
    ASSERT_TRUE(e.convert(next, out));
    for (const Case& c : cases) {
        DepthPlanes untouched(scene.pixels(), -3.0f);
        EXPECT_FALSE(e.convert(c.raw, untouched)) << c.name;
        EXPECT_EQ(untouched.depth[0], -3.0f) << c.name;
        EXPECT_EQ(untouched.confidence.back(), -3.0f) << c.name;
    }
    // A frame of another size is refused by its metadata (the buffer is large enough either way).
    VgaScene other(64, 6, false);
    std::vector<uint16_t> small = other.render();
    small.resize(good.size());
    EXPECT_FALSE(e.convert(small, out));
    // Misaligned frames and missing outputs are refused too.
    std::vector<uint8_t> shifted(good.size() * 2 + 1);
    std::memcpy(shifted.data() + 1, good.data(), good.size() * 2);
    EXPECT_FALSE(SiSDKGetPhaseImage(e.h, shifted.data() + 1, out.depth.data(), out.amplitude.data(),
                                    out.confidence.data()));
    EXPECT_FALSE(SiSDKGetPhaseImage(e.h, good.data(), nullptr, out.amplitude.data(), out.confidence.data()));
    EXPECT_FALSE(
        SiSDKGetPhaseImage(e.h, nullptr, out.depth.data(), out.amplitude.data(), out.confidence.data()));
}

TEST(Si4cConfig, ValidRangeAndThresholdFromTheConfigurationDirectory) {
    TempWorkDir dir;
    VgaScene scene(32, 4, true, 1000.0f, 0.5f);
    scene.distance_mm[1] = 400.0f;
    scene.reflectivity[1] = 0.1f;
    scene.distance_mm[2] = 1200.0f;
    scene.reflectivity[3] = 0.05f;  // weak return: low confidence
    const std::vector<uint16_t> raw = scene.render();
    Engine e;
    SiSDKSetConfig(e.h, dir.path().c_str());
    ASSERT_TRUE(e.begin(32, 4, true)) << "a missing file leaves the defaults";
    DepthPlanes all(scene.pixels());
    ASSERT_TRUE(e.convert(raw, all));
    for (int i = 0; i < 4; ++i)
        EXPECT_GT(all.confidence[i], 0.0f) << i;
    const float weak = all.confidence[3];

    ASSERT_TRUE(dir.write("ConfigAlgorithm.json",
                          "[ConfidenceParams]\nValidDistMin=500\nValidDistMax=1100\n"
                          "ConfidenceThreshold=" +
                              std::to_string(weak + 1.0f) + "\n"));
    DepthPlanes before(scene.pixels());
    ASSERT_TRUE(e.convert(raw, before));
    EXPECT_GT(before.depth[1], 0.0f) << "the file is read at start, not at every frame";
    ASSERT_TRUE(SiSDKStart(e.h));
    DepthPlanes limited(scene.pixels());
    ASSERT_TRUE(e.convert(raw, limited));
    EXPECT_NEAR(limited.depth[0], 1000.0f, 2.0f);
    for (int i : {1, 2, 3}) {
        EXPECT_EQ(limited.depth[i], 0.0f) << i;
        EXPECT_EQ(limited.confidence[i], 0.0f) << i;
        EXPECT_GT(limited.amplitude[i], 0.0f) << i;
    }

    ASSERT_TRUE(dir.write("ConfigAlgorithm.json", "[ConfidenceParams]\nValidDistMax=banana\n"));
    CaptureStderr();
    ASSERT_TRUE(SiSDKStart(e.h));
    EXPECT_NE(GetCapturedStderr().find("malformed"), std::string::npos);
    DepthPlanes defaults(scene.pixels());
    ASSERT_TRUE(e.convert(raw, defaults));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(defaults.depth[i], all.depth[i]) << i;
}

TEST(Si4cCalibration, MatchingBlobCorrectsARenderedOffset) {
    for (bool single : {true, false}) {
        SCOPED_TRACE(single ? "single" : "double");
        VgaScene scene(64, 16, single, single ? 900.0f : 2600.0f);
        RenderParams params;
        params.phase_offset_rad[0] = 0.35f;
        params.phase_offset_rad[1] = -0.2f;
        const std::vector<uint16_t> raw = scene.render(params);
        Engine plain, calibrated;
        ASSERT_TRUE(plain.begin(64, 16, single));
        const std::vector<uint8_t> blob = calibrationFor(single, 64, 16, 0.35f, -0.2f, 2.0f);
        SiSDKSetSingleFreq(calibrated.h, single);
        ASSERT_TRUE(SiSDKInit(calibrated.h, 64, 16));
        EXPECT_TRUE(SiSDKSetCaliData(calibrated.h, blob.data(), uint32_t(blob.size())));
        ASSERT_TRUE(SiSDKStart(calibrated.h));
        DepthPlanes a(scene.pixels()), b(scene.pixels());
        ASSERT_TRUE(plain.convert(raw, a));
        ASSERT_TRUE(calibrated.convert(raw, b));
        EXPECT_GT(a.meanAbsError(scene.distance_mm), 30.0);
        EXPECT_LT(b.meanAbsError(scene.distance_mm), 2.0);
        EXPECT_NEAR(b.amplitude[0], 2.0f * a.amplitude[0], 1.0f);
    }
}

TEST(Si4cCalibration, MalformedBlobIsIgnoredAndReportedOnce) {
    VgaScene scene(32, 4, true, 800.0f);
    const std::vector<uint16_t> raw = framesWithOffset(scene, 0.4f);
    std::vector<uint8_t> bad = calibrationFor(true, 32, 4, 0.4f);
    bad[100] ^= 0x10;  // checksum no longer matches
    Engine e;
    ASSERT_TRUE(SiSDKInit(e.h, 32, 4));
    CaptureStderr();
    EXPECT_FALSE(SiSDKSetCaliData(e.h, bad.data(), uint32_t(bad.size())));
    EXPECT_FALSE(SiSDKSetCaliData(e.h, bad.data(), 7));
    ASSERT_TRUE(SiSDKStart(e.h));
    const std::string said = GetCapturedStderr();
    EXPECT_NE(said.find("checksum mismatch"), std::string::npos) << said;
    EXPECT_NE(said.find("uncalibrated"), std::string::npos) << said;
    EXPECT_EQ(said.find("uncalibrated"), said.rfind("uncalibrated")) << "said once: " << said;
    DepthPlanes out(scene.pixels());
    ASSERT_TRUE(e.convert(raw, out));
    EXPECT_NEAR(out.depth[0], 800.0f + 0.4f / (2 * kPi) * 1250.0f, 2.0f) << "uncalibrated";
}

TEST(Si4cCalibration, GeometryMustMatchOrBeTwiceTheOutput) {
    VgaScene scene(32, 4, true, 800.0f);
    const std::vector<uint16_t> raw = framesWithOffset(scene, 0.4f);
    for (auto [w, h, used] : {std::tuple{32, 4, true}, {64, 8, true}, {640, 480, false}, {32, 8, false}}) {
        Engine e;
        const std::vector<uint8_t> blob = calibrationFor(true, w, h, 0.4f);
        ASSERT_TRUE(SiSDKInit(e.h, 32, 4));
        EXPECT_TRUE(SiSDKSetCaliData(e.h, blob.data(), uint32_t(blob.size())));
        CaptureStderr();
        ASSERT_TRUE(SiSDKStart(e.h));
        const std::string said = GetCapturedStderr();
        DepthPlanes out(scene.pixels());
        ASSERT_TRUE(e.convert(raw, out));
        EXPECT_EQ(std::fabs(out.depth[0] - 800.0f) < 2.0f, used) << w << "x" << h;
        EXPECT_EQ(said.find("geometry") != std::string::npos, !used) << said;
    }
}

TEST(Si4cCalibration, InitForgetsEarlierCalibration) {
    VgaScene scene(32, 4, true, 800.0f);
    const std::vector<uint16_t> raw = framesWithOffset(scene, 0.4f);
    std::vector<uint8_t> blob = calibrationFor(true, 32, 4, 0.4f);
    Engine e;
    ASSERT_TRUE(SiSDKInit(e.h, 32, 4));
    ASSERT_TRUE(SiSDKSetCaliData(e.h, blob.data(), uint32_t(blob.size())));
    ASSERT_TRUE(SiSDKStart(e.h));
    DepthPlanes out(scene.pixels());
    ASSERT_TRUE(e.convert(raw, out));
    EXPECT_NEAR(out.depth[0], 800.0f, 2.0f);
    ASSERT_TRUE(SiSDKInit(e.h, 32, 4));
    std::fill(blob.begin(), blob.end(), 0xEE);  // the caller may release the bytes after init
    ASSERT_TRUE(SiSDKStart(e.h));
    ASSERT_TRUE(e.convert(raw, out));
    EXPECT_GT(std::fabs(out.depth[0] - 800.0f), 50.0f) << "uncalibrated again";
}

TEST(Si4cConfig, StartFailsWhenTheConfigurationDirectoryIsMissing) {
    TempWorkDir dir;
    ASSERT_TRUE(dir.write("plainfile", "x"));
    for (std::string path : {dir.path() + "/nowhere", dir.path() + "/plainfile"}) {
        Engine e;
        ASSERT_TRUE(SiSDKInit(e.h, 32, 4));
        SiSDKSetConfig(e.h, path.c_str());
        CaptureStderr();
        EXPECT_FALSE(SiSDKStart(e.h)) << path;
        EXPECT_NE(GetCapturedStderr().find("not found"), std::string::npos);
        SiSDKSetConfig(e.h, "");
        EXPECT_TRUE(SiSDKStart(e.h)) << "an empty path means no configuration directory";
    }
}
