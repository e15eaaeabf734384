// The vectorised conversion's double-precision arctangent against the C library's over every
// (Q, I) pair: its distance, in units in the last place, must stay within the bound the guard is
// sized for, and the share of lanes the guard sends to the C library is printed. The body is built
// here with the compiler's generic vectors and fused multiply-adds, which round as those of AVX2,
// AVX-512 and AdvSIMD: this checks their arithmetic. (SSE2's unfused arithmetic is checked bit for
// bit against the reference by the exhaustive test.)
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "device/HqvgaFormat.h"
#include "tests/cpp/hqvga_simd/HqvgaGenericNative.h"
// The body after the native operations it is built on.
#include "device/simd/HqvgaKernelBody.h"

using namespace Zentrox;

namespace {

int64_t bitsOf(double v) {
    int64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

TEST(HqvgaArctangent, WithinTheGuardedBoundOfTheCLibraryOnEveryPair) {
    int64_t worst = 0, unsure = 0, pairs = 0;
    int worstQ = 0, worstI = 0;
    for (int q = -2047; q <= 2047; ++q) {
        for (int i = -2047; i <= 2047; i += LANES) {
            VI qs = {}, is = {};
            for (int l = 0; l < LANES; ++l) {
                qs[l] = q;
                is[l] = i + l <= 2047 ? i + l : 2047;
            }
            VDH halves[2];
            PolynomialAngles{}(qs, is, halves);
            const double angle[LANES] = {halves[0][0], halves[0][1], halves[1][0], halves[1][1]};
            for (int l = 0; l < LANES; ++l) {
                const double reference = std::atan2(16.0 * qs[l], 16.0 * is[l]);
                // Same sign on both sides (or both zero), so the distance of the bit patterns counts
                // the doubles between them.
                ASSERT_EQ(std::signbit(angle[l]), std::signbit(reference)) << "Q " << q << " I " << is[l];
                const int64_t d = std::llabs(bitsOf(angle[l]) - bitsOf(reference));
                if (d > worst) worst = d, worstQ = q, worstI = is[l];
                const uint32_t low = static_cast<uint32_t>(bitsOf(angle[l])) & LOW_29;
                unsure += low - (HALFWAY - GUARD) < 2 * GUARD;
                ++pairs;
            }
        }
    }
    std::printf(
        "arctangent: worst %lld units in the last place (Q %d, I %d), bound %u, guard %u; "
        "%.2e of lanes recomputed\n",
        static_cast<long long>(worst), 16 * worstQ, 16 * worstI, ATAN2_MAX_ULPS, GUARD,
        static_cast<double>(unsure) / pairs);
    EXPECT_LE(worst, int64_t{ATAN2_MAX_ULPS});
    EXPECT_GE(pairs, int64_t{4095} * 4095);
}

}  // namespace
