// The per-pixel loops on hand-made samples: phase quadrants, amplitude, confidence, limits, and the
// unwrapping of two frequencies.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "PhaseKernel.h"
#include "si4c_format.h"

using namespace Zentrox::si4c;

namespace {

struct Planes {
    explicit Planes(size_t n, float range) : p(4, std::vector<uint16_t>(n)), ambient(n) {
        f.range_mm = range;
        bind();
    }
    void bind() {
        for (int k = 0; k < 4; ++k)
            f.phase[k] = p[k].data();
        f.ambient = ambient.data();
    }
    void set(size_t i, int s0, int s1, int s2, int s3, int amb = 0) {
        p[0][i] = uint16_t(s0);
        p[1][i] = uint16_t(s1);
        p[2][i] = uint16_t(s2);
        p[3][i] = uint16_t(s3);
        ambient[i] = uint16_t(amb);
    }
    // Samples of a target at `distance` with I = Q-scale 2r.
    void target(size_t i, double distance, int r = 500, int amb = 100) {
        const double phi = 2.0 * kPi * distance / f.range_mm;
        const int base = 2000;
        set(i, base + int(std::lround(r * std::cos(phi))), base + int(std::lround(r * std::sin(phi))),
            base - int(std::lround(r * std::cos(phi))), base - int(std::lround(r * std::sin(phi))), amb);
    }
    std::vector<std::vector<uint16_t>> p;
    std::vector<uint16_t> ambient;
    FrequencyPlanes f;
};

struct Out {
    explicit Out(size_t n) : depth(n, -7.0f), amplitude(n, -7.0f), confidence(n, -7.0f) {}
    std::vector<float> depth, amplitude, confidence;
};

}  // namespace

TEST(SingleFrequencyKernel, QuadrantsAmplitudeAndConfidence) {
    const struct {
        int s[4];
        int ambient;
        float depth, amplitude, confidence;
    } rows[] = {
        {{1100, 100, 100, 100}, 0, 0.0f, 500.0f, 100.0f},      // I > 0, Q = 0: phase 0
        {{100, 1100, 100, 100}, 0, 312.5f, 500.0f, 100.0f},    // Q > 0: a quarter of the range
        {{100, 100, 1100, 100}, 500, 625.0f, 500.0f, 50.0f},   // I < 0: half; ambient as strong as the signal
        {{100, 100, 100, 1100}, 1500, 937.5f, 500.0f, 25.0f},  // Q < 0: three quarters
        {{0xF000 | 100, 1100, 100, 100}, 0, 312.5f, 500.0f, 100.0f},  // bits above the 12 are ignored
        {{700, 700, 700, 700}, 0, 0.0f, 0.0f, 0.0f},                  // no modulation: invalid
        {{4095, 100, 100, 100}, 0, 0.0f, 1997.5f, 0.0f},              // saturated: invalid, amplitude kept
    };
    const size_t n = sizeof rows / sizeof rows[0];
    Planes in(n, 1250.0f);
    for (size_t i = 0; i < n; ++i)
        in.set(i, rows[i].s[0], rows[i].s[1], rows[i].s[2], rows[i].s[3], rows[i].ambient);
    Out out(n);
    convertSingleFrequency(in.f, KernelLimits{}, 0, n, out.depth.data(), out.amplitude.data(),
                           out.confidence.data());
    for (size_t i = 0; i < n; ++i) {
        SCOPED_TRACE(i);
        EXPECT_NEAR(out.depth[i], rows[i].depth, 1e-3);
        EXPECT_NEAR(out.amplitude[i], rows[i].amplitude, 1e-3);
        EXPECT_NEAR(out.confidence[i], rows[i].confidence, 1e-3);
    }
}

TEST(SingleFrequencyKernel, CalibrationLimitsAndPixelRange) {
    Planes in(4, 1250.0f);
    in.set(0, 100, 1100, 100, 100);        // 312.5 mm before calibration
    in.set(1, 100, 100, 1100, 100);        // 625 mm before calibration
    in.set(2, 100, 1100, 100, 100, 1500);  // 312.5 mm, confidence 25
    in.set(3, 100, 1100, 100, 100);
    in.f.phase_offset_rad = float(kPi / 4.0);  // an eighth of the range, 156.25 mm, comes off
    in.f.amplitude_gain = 2.0f;
    KernelLimits limits;
    limits.valid_max_mm = 400.0f;
    limits.confidence_min = 30.0f;
    Out out(4);
    convertSingleFrequency(in.f, limits, 0, 3, out.depth.data(), out.amplitude.data(), out.confidence.data());
    EXPECT_NEAR(out.depth[0], 156.25f, 1e-3);
    EXPECT_NEAR(out.confidence[0], 100.0f, 1e-3);
    EXPECT_NEAR(out.amplitude[0], 1000.0f, 1e-3) << "gain applies to the amplitude";
    EXPECT_EQ(out.depth[1], 0.0f) << "468.75 mm is beyond the valid maximum";
    EXPECT_EQ(out.confidence[1], 0.0f);
    EXPECT_NEAR(out.amplitude[1], 1000.0f, 1e-3) << "an invalid pixel keeps its amplitude";
    EXPECT_EQ(out.depth[2], 0.0f) << "confidence 25 is below the threshold";
    EXPECT_EQ(out.confidence[2], 0.0f);
    EXPECT_EQ(out.depth[3], -7.0f) << "outside [begin, end) nothing is written";

    limits.confidence_min = 0.0f;
    limits.valid_min_mm = 200.0f;
    convertSingleFrequency(in.f, limits, 0, 1, out.depth.data(), out.amplitude.data(), out.confidence.data());
    EXPECT_EQ(out.depth[0], 0.0f) << "156.25 mm is below the valid minimum";
    EXPECT_EQ(out.confidence[0], 0.0f);
}

TEST(DoubleFrequencyKernel, UnwrapsAcrossTheWholeRange) {
    std::vector<double> distances;
    for (double d = 0.0; d < 4500.0; d += 23.7)
        distances.push_back(d);
    distances.insert(distances.end(), {1500.0, 2250.0, 3000.0, 4499.0, 4499.9, 0.4});
    const size_t n = distances.size();
    Planes slow(n, 1500.0f), slower(n, 2250.0f);
    for (size_t i = 0; i < n; ++i) {
        slow.target(i, distances[i]);
        slower.target(i, distances[i]);
    }
    Out out(n);
    convertDoubleFrequency(slow.f, slower.f, KernelLimits{}, 0, n, out.depth.data(), out.amplitude.data(),
                           out.confidence.data());
    for (size_t i = 0; i < n; ++i) {
        double err = std::fabs(out.depth[i] - distances[i]);
        err = std::fmin(err, 4500.0 - err);  // 4499.9 and 0.1 are neighbours on the circle
        EXPECT_LT(err, 2.0) << distances[i];
        EXPECT_GT(out.confidence[i], 0.0f) << distances[i];
        EXPECT_NEAR(out.amplitude[i], 500.0f, 1.0f);
    }
}

TEST(DoubleFrequencyKernel, DisagreeingPhasesAreInvalid) {
    Planes slow(2, 1500.0f), slower(2, 2250.0f);
    slow.target(0, 1000.0);
    slower.target(0, 1000.0 + 400.0);  // 400 mm apart: no pair of wraps agrees within the tolerance
    slow.target(1, 1000.0);
    slower.target(1, 1000.0 + 100.0);  // within the tolerance: fused between the two
    Out out(2);
    convertDoubleFrequency(slow.f, slower.f, KernelLimits{}, 0, 2, out.depth.data(), out.amplitude.data(),
                           out.confidence.data());
    EXPECT_EQ(out.depth[0], 0.0f);
    EXPECT_EQ(out.confidence[0], 0.0f);
    EXPECT_GT(out.depth[1], 1000.0f);
    EXPECT_LT(out.depth[1], 1100.0f);
    // The faster frequency is the more precise one and weighs more.
    EXPECT_LT(out.depth[1], 1050.0f);
}
