#include <gtest/gtest.h>

#include <cstdio>

#include "HqvgaKernels.h"
#include "ZentroxDeviceHQVGA.h"

using namespace Zentrox;

namespace {

// What this program and this CPU should run, worked out from the compiler's own CPU checks. A program
// linked without the vectorised kernels (ZENTROX_HQVGA_EXPECT_VECTOR 0) runs the scalar conversion.
HqvgaIsa expectedIsa() {
#if ZENTROX_HQVGA_EXPECT_VECTOR && defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f")) return HqvgaIsa::AVX512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return HqvgaIsa::AVX2;
    return HqvgaIsa::SSE2;
#elif ZENTROX_HQVGA_EXPECT_VECTOR && defined(__aarch64__)
    return HqvgaIsa::ADVSIMD;
#else
    return HqvgaIsa::SCALAR;
#endif
}

TEST(HqvgaDispatch, ChoosesTheWidestSetThisCpuRuns) {
    const HqvgaKernels& best = hqvgaBestKernels();
    std::printf("HQVGA conversion on this machine: %s\n", best.name);
    EXPECT_EQ(best.isa, expectedIsa()) << best.name;
    EXPECT_EQ(hqvgaVectorBuild(), ZENTROX_HQVGA_EXPECT_VECTOR != 0);
    EXPECT_EQ(ZentroxDeviceHQVGA(0).conversionIsa(), best.isa);
    ASSERT_NE(best.phase_image, nullptr);
    ASSERT_NE(best.raw_images, nullptr);
}

TEST(HqvgaDispatch, OnlyRunnableSetsAreOffered) {
    const struct {
        HqvgaIsa isa;
        bool runnable;
    } rows[] = {
        {HqvgaIsa::SCALAR, true},
#if ZENTROX_HQVGA_EXPECT_VECTOR && defined(__x86_64__)
        {HqvgaIsa::SSE2, true},
        {HqvgaIsa::AVX2, __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")},
        {HqvgaIsa::AVX512, __builtin_cpu_supports("avx512f") != 0},
        {HqvgaIsa::ADVSIMD, false},
#elif ZENTROX_HQVGA_EXPECT_VECTOR && defined(__aarch64__)
        {HqvgaIsa::SSE2, false},
        {HqvgaIsa::AVX2, false},
        {HqvgaIsa::AVX512, false},
        {HqvgaIsa::ADVSIMD, true},
#else
        {HqvgaIsa::SSE2, false},
        {HqvgaIsa::AVX2, false},
        {HqvgaIsa::AVX512, false},
        {HqvgaIsa::ADVSIMD, false},
#endif
    };
    for (const auto& row : rows) {
        const HqvgaKernels* k = hqvgaKernelsFor(row.isa);
        EXPECT_EQ(k != nullptr, row.runnable) << static_cast<int>(row.isa);
        if (k != nullptr) {
            EXPECT_EQ(k->isa, row.isa);
        }
    }
}

}  // namespace
