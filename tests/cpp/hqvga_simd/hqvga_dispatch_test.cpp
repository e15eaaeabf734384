#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "device/ZentroxDeviceHQVGA.h"
#include "device/simd/HqvgaKernels.h"

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

// The device's conversions go through the kernels it holds, with its current state: a spy table
// records what reached it.
struct SpyCalls {
    int phase = 0;
    int raw = 0;
    HqvgaParams params{};
    uint8_t rawShift = 0xFF;
};
SpyCalls spy;

void spyPhase(const uint8_t*, float* depth, float*, float*, const HqvgaParams& params) {
    ++spy.phase;
    spy.params = params;
    depth[0] = 42.0f;
}
void spyRaw(const uint8_t*, int16_t* raw, uint8_t shift) {
    ++spy.raw;
    spy.rawShift = shift;
    raw[0] = 42;
}

TEST(HqvgaDispatch, DeviceConvertsThroughItsKernels) {
    const HqvgaKernels table{{spyPhase, spyRaw}, HqvgaIsa::SCALAR, "spy"};
    for (int platform : {0, 3}) {  // 3: Jetson, samples shifted by four bits
        spy = SpyCalls{};
        EXPECT_EQ(ZentroxDeviceHQVGA(platform).sampleShift(), platform == 3 ? 4 : 0);
        ZentroxDeviceHQVGA device(platform, table);
        ASSERT_EQ(device.setControl(CameraCtrl::RANGE, 2000), 0);
        std::vector<uint8_t> frame(HQVGA_FRAME_BYTES);
        std::vector<float> depth(HQVGA_PIXELS), amplitude(HQVGA_PIXELS), confidence(HQVGA_PIXELS);
        std::vector<int16_t> raw(HQVGA_PIXELS * HQVGA_PLANES);
        ASSERT_TRUE(device.getPhaseImage(frame.data(), depth.data(), amplitude.data(), confidence.data()));
        ASSERT_TRUE(device.getRawImages(frame.data(), raw.data()));
        EXPECT_EQ(spy.phase, 1);
        EXPECT_EQ(spy.raw, 1);
        EXPECT_EQ(depth[0], 42.0f);
        EXPECT_EQ(raw[0], 42);
        EXPECT_TRUE(spy.params.range2000_pair);
        EXPECT_EQ(spy.params.depth_scale, device.params().depth_scale);
        EXPECT_EQ(spy.params.shift, device.sampleShift());
        EXPECT_EQ(spy.rawShift, device.sampleShift());
        // Missing buffers never reach the kernels.
        EXPECT_FALSE(device.getPhaseImage(frame.data(), nullptr, amplitude.data(), confidence.data()));
        EXPECT_FALSE(device.getRawImages(nullptr, raw.data()));
        EXPECT_EQ(spy.phase, 1);
        EXPECT_EQ(spy.raw, 1);
    }
}
