#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "device/ZentroxDeviceHQVGA.h"
#include "system/Platform.h"
#include "tests/cpp/hqvga/HqvgaFrame.h"

using namespace Zentrox;
using test::DepthPlanes;
using test::HqvgaFrame;
using test::PIXELS;

namespace {

// Converts a frame whose four planes hold one 11-bit value each, and checks that every pixel agrees.
void convertUniform(ZentroxDeviceHQVGA& device, const int (&planes)[4], float* depth, float* amplitude) {
    HqvgaFrame frame;
    for (int k = 0; k < 4; ++k)
        frame.fillPlane(k, HqvgaFrame::encode(planes[k], device.sampleShift()));
    DepthPlanes out;
    ASSERT_TRUE(
        device.getPhaseImage(frame.data(), out.depth.data(), out.amplitude.data(), out.confidence.data()));
    for (int p = 0; p < PIXELS; ++p) {
        ASSERT_EQ(out.depth[p], out.depth[0]) << p;
        ASSERT_EQ(out.amplitude[p], out.amplitude[0]) << p;
        ASSERT_EQ(std::memcmp(&out.confidence[p], &out.amplitude[p], sizeof(float)), 0) << p;
    }
    *depth = out.depth[0];
    *amplitude = out.amplitude[0];
}

struct WorkedValue {
    int range;
    int platform;
    int p0, p1, p2, p3;
    float depth;
    float amplitude;
    float tolerance;  // 0: exact
};

TEST(HqvgaDepth, WorkedValues) {
    const WorkedValue rows[] = {
        // Default range 4000: Q = P2 - P0, I = P3 - P1.
        {4000, 0, 0, 0, 0, 0, 0.0f, 0.0f, 0},
        {4000, 0, 37, 37, 37, 37, 0.0f, 0.0f, 0},
        {4000, 0, 0, 0, 100, 0, 1000.0f, 800.0f, 0},
        {4000, 0, 0, 100, 0, 0, 2000.0f, 800.0f, 0},
        {4000, 0, 100, 0, 0, 0, 3000.0f, 800.0f, 0},
        {4000, 0, 0, 0, 0, 100, 0.0f, 800.0f, 0},
        // atan2(3, 4) has no short exact value.
        {4000, 0, 0, 0, 30, 40, 1000.0f * std::atan2(3.0f, 4.0f) * 2.0f / 3.14159265f, 400.0f, 1e-3f},
        // Range 2000 (75 MHz): Q = P1 - P3, I = P2 - P0.
        {2000, 0, 0, 100, 0, 0, 500.0f, 800.0f, 0},
        {2000, 0, 0, 0, 100, 0, 0.0f, 800.0f, 0},
        {2000, 0, 100, 0, 0, 0, 1000.0f, 800.0f, 0},
        {2000, 0, 0, 0, 0, 100, 1500.0f, 800.0f, 0},
        // The Jetson's samples sit four bits higher; the results are the same.
        {4000, Platform::JETSON, 0, 0, 100, 0, 1000.0f, 800.0f, 0},
        {2000, Platform::JETSON, 0, 100, 0, 0, 500.0f, 800.0f, 0},
    };
    for (const auto& row : rows) {
        ZentroxDeviceHQVGA device(row.platform);
        ASSERT_EQ(device.setControl(CameraCtrl::RANGE, row.range), 0);
        float depth = -1, amplitude = -1;
        convertUniform(device, {row.p0, row.p1, row.p2, row.p3}, &depth, &amplitude);
        SCOPED_TRACE(::testing::Message()
                     << "range " << row.range << " platform " << row.platform << " planes " << row.p0 << ","
                     << row.p1 << "," << row.p2 << "," << row.p3);
        if (row.tolerance > 0) {
            EXPECT_NEAR(depth, row.depth, row.tolerance);
        } else {
            EXPECT_EQ(depth, row.depth);
        }
        EXPECT_EQ(amplitude, row.amplitude);
    }
}

TEST(HqvgaDepth, ARefusedRangeKeepsThePairAndFrequencyOfTheRangeInForce) {
    // P2 alone: 1000 mm with the 4000 pair at 37.5 MHz. P1 alone: 500 mm with the 2000 pair at
    // 75 MHz. Mixing the long-range pair with 75 MHz would give 500 and 1000 instead.
    for (int range : {4000, 2000}) {
        ZentroxDeviceHQVGA device(0);
        ASSERT_EQ(device.setControl(CameraCtrl::RANGE, range), 0);
        EXPECT_EQ(device.setControl(CameraCtrl::RANGE, 3000), ZentroxInvalidParameter);
        float depth, amplitude;
        convertUniform(device, {0, 0, 100, 0}, &depth, &amplitude);
        EXPECT_EQ(depth, range == 4000 ? 1000.0f : 0.0f) << range;
        convertUniform(device, {0, 100, 0, 0}, &depth, &amplitude);
        EXPECT_EQ(depth, range == 4000 ? 2000.0f : 500.0f) << range;
    }
}

TEST(HqvgaDepth, DepthScaleOfBothFrequencies) {
    EXPECT_EQ(hqvgaDepthScale(37500000.0f), 0.63661975f);
    EXPECT_EQ(hqvgaDepthScale(75000000.0f), 0.31830987f);
}

TEST(HqvgaDepth, TinyNegativePhaseReachesTheFullRange) {
    EXPECT_EQ(hqvgaDepthFromPhase(-1e-9f, hqvgaDepthScale(37500000.0f)), 4000.0f);
    EXPECT_EQ(hqvgaDepthFromPhase(-1e-9f, hqvgaDepthScale(75000000.0f)), 2000.0f);
    // Zero and positive phases are not moved.
    EXPECT_EQ(hqvgaDepthFromPhase(0.0f, hqvgaDepthScale(37500000.0f)), 0.0f);
    EXPECT_LT(hqvgaDepthFromPhase(1e-6f, hqvgaDepthScale(37500000.0f)), 1e-3f);
}

TEST(HqvgaDepth, ExtremeDifferencesKeepTheirExactAmplitude) {
    // Q = 16368 - (-16384) = 32752 on both axes: the largest amplitude the samples allow.
    ZentroxDeviceHQVGA device(0);
    float depth, amplitude;
    convertUniform(device, {-1024, -1024, 1023, 1023}, &depth, &amplitude);
    EXPECT_EQ(amplitude, static_cast<float>(0.5 * std::sqrt(2.0 * 32752.0 * 32752.0)));
    EXPECT_NEAR(depth, 500.0f, 1e-3);  // an eighth of a turn
}

// A full frame whose phase rises pixel by pixel through one turn and whose amplitude grows by row.
// The expected depth is computed here from the integer samples, in long double and with the range
// as the length of one turn.
void checkPhaseRamp(int range, int platform) {
    const long double pi = 3.14159265358979323846264338327950288L;
    ZentroxDeviceHQVGA device(platform);
    ASSERT_EQ(device.setControl(CameraCtrl::RANGE, range), 0);
    const int shift = device.sampleShift();
    // Planes carrying +sin, -sin, +cos and -cos of the phase: (Q, I) = (P_qp - P_qm, P_ip - P_im).
    const int qPlus = range == 2000 ? 1 : 2, qMinus = range == 2000 ? 3 : 0;
    const int iPlus = range == 2000 ? 2 : 3, iMinus = range == 2000 ? 0 : 1;

    HqvgaFrame frame;
    std::vector<int> q(PIXELS), i(PIXELS);
    std::vector<long double> wanted(PIXELS);
    for (int y = 0; y < 180; ++y) {
        for (int x = 0; x < 240; ++x) {
            const int p = y * 240 + x;
            const long double theta = 2 * pi * (p + 0.5L) / PIXELS;
            const long double half = 150.0L + 1.5L * y;  // each plane carries half the amplitude
            const int s = static_cast<int>(std::lround(half * std::sin(theta)));
            const int c = static_cast<int>(std::lround(half * std::cos(theta)));
            frame.set(qPlus, p, HqvgaFrame::encode(s, shift));
            frame.set(qMinus, p, HqvgaFrame::encode(-s, shift));
            frame.set(iPlus, p, HqvgaFrame::encode(c, shift));
            frame.set(iMinus, p, HqvgaFrame::encode(-c, shift));
            q[p] = 32 * s;
            i[p] = 32 * c;
            wanted[p] = theta;
        }
    }
    DepthPlanes out;
    ASSERT_TRUE(
        device.getPhaseImage(frame.data(), out.depth.data(), out.amplitude.data(), out.confidence.data()));
    for (int p = 0; p < PIXELS; ++p) {
        long double phase = std::atan2(static_cast<long double>(q[p]), static_cast<long double>(i[p]));
        if (phase < 0) phase += 2 * pi;
        const long double depth = phase * range / (2 * pi);
        const long double amplitude =
            0.5L * std::sqrt(static_cast<long double>(q[p]) * q[p] + static_cast<long double>(i[p]) * i[p]);
        ASSERT_NEAR(out.depth[p], static_cast<double>(depth), 2e-3) << "pixel " << p;
        ASSERT_NEAR(out.amplitude[p], static_cast<double>(amplitude), 1e-6 * static_cast<double>(amplitude))
            << "pixel " << p;
        ASSERT_EQ(out.confidence[p], out.amplitude[p]) << "pixel " << p;
        // Bit for bit: the arctangent and root in double precision, the rest in single precision in
        // the order phase, wrap, times metres per radian, times 1000.
        float exact = static_cast<float>(std::atan2(static_cast<double>(q[p]), static_cast<double>(i[p])));
        if (exact < 0.0f) exact += 6.2831855f;
        const float metresPerRadian =
            300000000.0f / (12.566371f * (range == 2000 ? 75000000.0f : 37500000.0f));
        ASSERT_EQ(out.depth[p], (exact * metresPerRadian) * 1000.0f) << "pixel " << p;
        ASSERT_EQ(out.amplitude[p],
                  static_cast<float>(0.5 * std::sqrt(double(q[p]) * q[p] + double(i[p]) * i[p])))
            << "pixel " << p;
        // The rounded samples still follow the ramp closely (a few millimetres).
        long double off = depth - wanted[p] * range / (2 * pi);
        if (off > range / 2.0L) off -= range;
        if (off < -range / 2.0L) off += range;
        ASSERT_LT(std::fabs(static_cast<double>(off)), 3.0) << "pixel " << p;
    }
}

TEST(HqvgaDepth, WholeFramePhaseRamp) {
    const struct {
        int range, platform;
    } cases[] = {{4000, 0}, {2000, 0}, {4000, Platform::JETSON}, {2000, Platform::JETSON}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "range " << c.range << " platform " << c.platform);
        checkPhaseRamp(c.range, c.platform);
    }
}

TEST(HqvgaDepth, PlanesAreReadOnlyAtTheirOwnPixel) {
    // One pixel differs from its neighbours in one plane; only that pixel's depth changes.
    ZentroxDeviceHQVGA device(0);
    HqvgaFrame frame;
    const int marked = 240 * 97 + 13;
    frame.set(2, marked, HqvgaFrame::encode(100));
    DepthPlanes out;
    ASSERT_TRUE(
        device.getPhaseImage(frame.data(), out.depth.data(), out.amplitude.data(), out.confidence.data()));
    for (int p = 0; p < PIXELS; ++p) {
        ASSERT_EQ(out.depth[p], p == marked ? 1000.0f : 0.0f) << p;
        ASSERT_EQ(out.amplitude[p], p == marked ? 800.0f : 0.0f) << p;
    }
}

TEST(HqvgaDepth, ReferenceAndDeviceConversionAgree) {
    ZentroxDeviceHQVGA device(0);
    HqvgaFrame frame;
    uint32_t seed = 12345;
    for (auto& b : frame.bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    DepthPlanes fast, reference;
    ASSERT_TRUE(
        device.getPhaseImage(frame.data(), fast.depth.data(), fast.amplitude.data(), fast.confidence.data()));
    ASSERT_TRUE(device.getPhaseImageReference(frame.data(), reference.depth.data(),
                                              reference.amplitude.data(), reference.confidence.data()));
    EXPECT_EQ(std::memcmp(fast.depth.data(), reference.depth.data(), PIXELS * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(fast.amplitude.data(), reference.amplitude.data(), PIXELS * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(fast.confidence.data(), reference.confidence.data(), PIXELS * sizeof(float)), 0);
}

TEST(HqvgaDepth, NullPlanesAreRefused) {
    ZentroxDeviceHQVGA device(0);
    HqvgaFrame frame;
    DepthPlanes out;
    EXPECT_FALSE(
        device.getPhaseImage(nullptr, out.depth.data(), out.amplitude.data(), out.confidence.data()));
    EXPECT_FALSE(device.getPhaseImage(frame.data(), nullptr, out.amplitude.data(), out.confidence.data()));
    EXPECT_FALSE(device.getPhaseImage(frame.data(), out.depth.data(), nullptr, out.confidence.data()));
    EXPECT_FALSE(device.getPhaseImage(frame.data(), out.depth.data(), out.amplitude.data(), nullptr));
    EXPECT_EQ(out.depth[0], -7.0f);
}

}  // namespace
