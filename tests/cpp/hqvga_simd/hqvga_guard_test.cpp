// The vectorised conversion body built around a deliberately inaccurate atan2: every result up to
// GUARD - 1 units in the last place off, in either direction, the most the guard is meant to absorb.
// The guard that recomputes lanes near a float rounding midpoint must still deliver the reference's
// bits on the whole input domain. The body is built here with the compiler's generic vectors, so this
// runs in every build.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "device/HqvgaReference.h"

namespace Zentrox {
namespace {

// std::atan2 moved by up to GUARD - 1 units in the last place either way, chosen by a hash of the
// arguments (GUARD comes from the body, included below).
double perturbedAtan2(double y, double x, int64_t guard) {
    const double exact = std::atan2(y, x);
    if (exact == 0.0) return exact;
    const uint32_t h = static_cast<uint32_t>(static_cast<int>(y)) * 73856093u ^
                       static_cast<uint32_t>(static_cast<int>(x)) * 19349663u;
    int64_t bits;
    std::memcpy(&bits, &exact, sizeof bits);
    bits += static_cast<int64_t>(h % static_cast<uint32_t>(2 * guard - 1)) - (guard - 1);
    double moved;
    std::memcpy(&moved, &bits, sizeof moved);
    return moved;
}

}  // namespace
}  // namespace Zentrox

#include "tests/cpp/hqvga_simd/HqvgaGenericNative.h"
// The body after the native operations it is built on.
#include "device/simd/HqvgaKernelBody.h"

using namespace Zentrox;

namespace {

struct PerturbedAngles {
    void operator()(const VI& qs, const VI& is, VDH* out) const {
        for (int l = 0; l < LANES; ++l)
            out[l / 2][l % 2] = perturbedAtan2(qs[l], is[l], GUARD);
    }
};

TEST(HqvgaGuard, InaccurateArctangentStillGivesTheReferenceBits) {
    const HqvgaParams params{0, false, hqvgaDepthScale(37500000.0f)};
    std::vector<uint8_t> frame(HQVGA_FRAME_BYTES);
    std::vector<float> refDepth(HQVGA_PIXELS), refAmp(HQVGA_PIXELS), refConf(HQVGA_PIXELS);
    std::vector<float> depth(HQVGA_PIXELS), amp(HQVGA_PIXELS), conf(HQVGA_PIXELS);
    const int64_t pairs = int64_t{4095} * 4095;
    int64_t roundedDifferently = 0;  // pairs where the perturbation alone would change the float
    for (int64_t first = 0; first < pairs; first += HQVGA_PIXELS) {
        for (int p = 0; p < HQVGA_PIXELS; ++p) {
            const int64_t pair = (first + p) % pairs;
            const int q = static_cast<int>(pair / 4095) - 2047, i = static_cast<int>(pair % 4095) - 2047;
            // Range 4000: Q = P2 - P0, I = P3 - P1; put each difference into one plane, its partner 0
            // or the largest sample.
            const int p2 = q >= 0 ? (q < 1023 ? q : 1023) : (q > -1024 ? q : -1024), p0 = p2 - q;
            const int p3 = i >= 0 ? (i < 1023 ? i : 1023) : (i > -1024 ? i : -1024), p1 = p3 - i;
            const int values[4] = {p0, p1, p2, p3};
            for (int k = 0; k < 4; ++k) {
                const auto raw = static_cast<uint16_t>(static_cast<unsigned>(values[k]) & 0x7FF);
                frame[2 * (k * HQVGA_PIXELS + p)] = static_cast<uint8_t>(raw);
                frame[2 * (k * HQVGA_PIXELS + p) + 1] = static_cast<uint8_t>(raw >> 8);
            }
            const double exact = std::atan2(16.0 * q, 16.0 * i);
            if (static_cast<float>(exact) != static_cast<float>(perturbedAtan2(q, i, GUARD)))
                ++roundedDifferently;
        }
        hqvgaPhaseImageReference(frame.data(), refDepth.data(), refAmp.data(), refConf.data(), params);
        phaseImageSteps(frame.data(), depth.data(), amp.data(), conf.data(), params, PerturbedAngles{});
        ASSERT_EQ(std::memcmp(refDepth.data(), depth.data(), sizeof(float) * HQVGA_PIXELS), 0)
            << "from " << first;
        ASSERT_EQ(std::memcmp(refAmp.data(), amp.data(), sizeof(float) * HQVGA_PIXELS), 0)
            << "from " << first;
        ASSERT_EQ(std::memcmp(refConf.data(), conf.data(), sizeof(float) * HQVGA_PIXELS), 0)
            << "from " << first;
    }
    // The perturbation is large enough to matter: without the guard these pairs would differ.
    EXPECT_GT(roundedDifferently, 10);
}

}  // namespace
