// The engine as it ships: libsi4c through its C interface, called as the VGA device calls it, and the
// engine class with the kernels it chooses, both against the scalar reference on rendered frames.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "Engine.h"
#include "si4c.h"
#include "si4c_render.h"
#include "tests/cpp/si4c_simd/PhaseAgreement.h"

using namespace Zentrox::si4c;
using namespace Zentrox::si4c::test;

namespace {

constexpr int WIDTH = 640, HEIGHT = 480;
constexpr size_t VGA = size_t(WIDTH) * HEIGHT;

std::vector<uint16_t> renderSlope(const RawLayout& layout) {
    std::vector<float> distance(VGA), reflectivity(VGA);
    for (size_t i = 0; i < VGA; ++i) {
        const size_t x = i % WIDTH, y = i / WIDTH;
        distance[i] = 150.0f + 4300.0f * float(y) / HEIGHT + 100.0f * std::sin(0.05f * float(x));
        reflectivity[i] = x < 16 ? 0.0f : 0.3f + 0.6f * float(x % 64) / 64.0f;
    }
    RenderParams params;
    params.noise = 3.0f;
    params.frame_counter = 17;
    std::vector<uint16_t> raw(layout.samples());
    renderRawFrame(layout, distance.data(), reflectivity.data(), params, raw.data());
    return raw;
}

void expectReferenceAgreement(const std::string& what, const PixelPlanes& in, const Conversion& out) {
    KernelLimits limits;  // the engine's defaults: no configuration file
    limits.combined_range_mm = float(kDoubleRangeMm);
    const Agreement a = compareWithReference(in, limits, 0, VGA, out);
    EXPECT_EQ(a.faults, 0u) << what << ": " << a.first_fault;
    EXPECT_GT(a.valid, VGA / 2) << what;
    EXPECT_GE(a.invalid, size_t(16) * HEIGHT) << what << ": the dark columns";
    EXPECT_LE(a.borderline, 1 + VGA / 10000) << what;
}

}  // namespace

TEST(PhaseEngine, ShippedEngineAgreesWithTheReference) {
    for (bool single : {true, false}) {
        const RawLayout layout{WIDTH, HEIGHT, single};
        const std::vector<uint16_t> raw = renderSlope(layout);
        PixelPlanes in(VGA, single);
        in.copyFrom(layout, raw);

        SiSDKHandle handle = nullptr;
        ASSERT_TRUE(SiSDKCreate(&handle));
        ASSERT_TRUE(SiSDKSetSingleFreq(handle, single));
        ASSERT_TRUE(SiSDKInit(handle, WIDTH, HEIGHT));
        ASSERT_TRUE(SiSDKStart(handle));
        Conversion viaLibrary(VGA);
        EXPECT_TRUE(SiSDKGetPhaseImage(handle, raw.data(), viaLibrary.depth.data(),
                                       viaLibrary.amplitude.data(), viaLibrary.confidence.data()));
        SiSDKDestroy(&handle);
        expectReferenceAgreement(single ? "libsi4c, single" : "libsi4c, double", in, viaLibrary);

        Engine engine;
        EXPECT_EQ(engine.conversionIsa(), bestPhaseKernels().isa);
        engine.setSingleFrequency(single);
        ASSERT_TRUE(engine.init(WIDTH, HEIGHT));
        ASSERT_TRUE(engine.start());
        Conversion viaEngine(VGA);
        EXPECT_TRUE(engine.convert(raw.data(), viaEngine.depth.data(), viaEngine.amplitude.data(),
                                   viaEngine.confidence.data()));
        expectReferenceAgreement(single ? "engine, single" : "engine, double", in, viaEngine);
        // The library and the engine class convert alike: the same chosen kernels.
        EXPECT_EQ(viaLibrary.depth, viaEngine.depth);
        EXPECT_EQ(viaLibrary.confidence, viaEngine.confidence);
    }
}

#include "tests/cpp/si4c_simd/SleefSpy.h"

// libsi4c, called through its C interface, runs the chosen vectorised conversion: its atan2 calls are
// exactly one per native vector of each frequency's pixels, and no other instruction set's are made.
TEST(PhaseEngine, LibraryRunsTheChosenVectorisedConversion) {
    const PhaseIsa best = bestPhaseKernels().isa;
    if (best == PhaseIsa::SCALAR) GTEST_SKIP() << "this build carries no vectorised conversions";
    ASSERT_GE(sleefAtan2Calls(best), 0);
    for (bool single : {true, false}) {
        SCOPED_TRACE(single ? "single" : "double");
        const RawLayout layout{WIDTH, HEIGHT, single};
        const std::vector<uint16_t> raw = renderSlope(layout);
        SiSDKHandle handle = nullptr;
        ASSERT_TRUE(SiSDKCreate(&handle));
        ASSERT_TRUE(SiSDKSetSingleFreq(handle, single));
        ASSERT_TRUE(SiSDKInit(handle, WIDTH, HEIGHT));
        ASSERT_TRUE(SiSDKStart(handle));
        long before[5];
        for (int isa = 0; isa < 5; ++isa)
            before[isa] = sleefAtan2Calls(PhaseIsa(isa));
        Conversion out(VGA);
        EXPECT_TRUE(SiSDKGetPhaseImage(handle, raw.data(), out.depth.data(), out.amplitude.data(),
                                       out.confidence.data()));
        SiSDKDestroy(&handle);
        for (int isa = 0; isa < 5; ++isa) {
            const long calls = sleefAtan2Calls(PhaseIsa(isa)) - before[isa];
            const long expected =
                PhaseIsa(isa) == best ? long(layout.frequencies()) * long(VGA) / sleefAtan2Width(best) : 0;
            EXPECT_EQ(calls, expected) << "instruction set " << isa;
        }
    }
}
