// The choice of conversions: the widest set this CPU runs, only runnable sets offered, and the engine
// converting through the kernels it holds, which by default are the chosen ones. Also built into a
// program linked with si4c_static (SI4C_EXPECT_VECTOR 0), where only the scalar conversions exist.
#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "Engine.h"
#include "PhaseKernels.h"
#include "si4c_format.h"
#include "si4c_render.h"

using namespace Zentrox::si4c;

namespace {

// What this program and this CPU should run, from the compiler's own CPU checks.
PhaseIsa expectedIsa() {
#if SI4C_EXPECT_VECTOR && defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f")) return PhaseIsa::AVX512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return PhaseIsa::AVX2;
    return PhaseIsa::SSE2;
#elif SI4C_EXPECT_VECTOR && defined(__aarch64__)
    return PhaseIsa::ADVSIMD;
#else
    return PhaseIsa::SCALAR;
#endif
}

TEST(PhaseDispatch, ChoosesTheWidestSetThisCpuRuns) {
    const PhaseKernels& best = bestPhaseKernels();
    std::printf("VGA depth conversion on this machine: %s\n", best.name);
    EXPECT_EQ(best.isa, expectedIsa()) << best.name;
    EXPECT_EQ(phaseVectorBuild(), SI4C_EXPECT_VECTOR != 0);
    EXPECT_EQ(&best, &bestPhaseKernels()) << "chosen once";
    ASSERT_NE(best.single_frequency, nullptr);
    ASSERT_NE(best.double_frequency, nullptr);
    EXPECT_EQ(Engine().conversionIsa(), best.isa) << "a new engine converts with the chosen kernels";
}

TEST(PhaseDispatch, OnlyRunnableSetsAreOffered) {
    const struct {
        PhaseIsa isa;
        bool runnable;
    } rows[] = {
        {PhaseIsa::SCALAR, true},
#if SI4C_EXPECT_VECTOR && defined(__x86_64__)
        {PhaseIsa::SSE2, true},
        {PhaseIsa::AVX2, __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")},
        {PhaseIsa::AVX512, __builtin_cpu_supports("avx512f") != 0},
        {PhaseIsa::ADVSIMD, false},
#elif SI4C_EXPECT_VECTOR && defined(__aarch64__)
        {PhaseIsa::SSE2, false},
        {PhaseIsa::AVX2, false},
        {PhaseIsa::AVX512, false},
        {PhaseIsa::ADVSIMD, true},
#else
        {PhaseIsa::SSE2, false},
        {PhaseIsa::AVX2, false},
        {PhaseIsa::AVX512, false},
        {PhaseIsa::ADVSIMD, false},
#endif
    };
    for (const auto& row : rows) {
        const PhaseKernels* k = phaseKernelsFor(row.isa);
        EXPECT_EQ(k != nullptr, row.runnable) << static_cast<int>(row.isa);
        if (k != nullptr) {
            EXPECT_EQ(k->isa, row.isa);
        }
    }
    EXPECT_EQ(phaseKernelsFor(PhaseIsa::SCALAR)->single_frequency, &convertSingleFrequency);
    EXPECT_EQ(phaseKernelsFor(PhaseIsa::SCALAR)->double_frequency, &convertDoubleFrequency);
}

// What reached a spy table's kernels.
struct SpyCalls {
    int single = 0, twice = 0;
    FrequencyPlanes f[2];
    KernelLimits limits;
    size_t begin = 99, end = 0;
};
SpyCalls spy;

void spySingle(const FrequencyPlanes& f, const KernelLimits& limits, size_t begin, size_t end, float* depth,
               float*, float*) {
    ++spy.single;
    spy.f[0] = f;
    spy.limits = limits;
    spy.begin = begin;
    spy.end = end;
    depth[0] = 42.0f;
}

void spyDouble(const FrequencyPlanes& f0, const FrequencyPlanes& f1, const KernelLimits& limits, size_t begin,
               size_t end, float* depth, float*, float*) {
    ++spy.twice;
    spy.f[0] = f0;
    spy.f[1] = f1;
    spy.limits = limits;
    spy.begin = begin;
    spy.end = end;
    depth[0] = 43.0f;
}

}  // namespace

// The engine converts through the kernels it holds, handing them the frame's planes, the frequencies'
// constants and its limits: a spy table records what reached it.
TEST(PhaseDispatch, EngineConvertsThroughItsKernels) {
    const PhaseKernels table{{spySingle, spyDouble}, PhaseIsa::SCALAR, "spy"};
    const int width = 64, height = 8;
    for (bool single : {true, false}) {
        SCOPED_TRACE(single ? "single" : "double");
        spy = SpyCalls{};
        Engine engine(table);
        engine.setSingleFrequency(single);
        ASSERT_TRUE(engine.init(width, height));
        ASSERT_TRUE(engine.start());
        const RawLayout layout{width, height, single};
        std::vector<float> distance(size_t(width) * height, 800.0f), reflectivity(distance.size(), 0.5f);
        std::vector<uint16_t> raw(layout.samples());
        renderRawFrame(layout, distance.data(), reflectivity.data(), RenderParams{}, raw.data());
        std::vector<float> depth(distance.size(), -1.0f), amplitude(depth), confidence(depth);
        ASSERT_TRUE(engine.convert(raw.data(), depth.data(), amplitude.data(), confidence.data()));
        EXPECT_EQ(spy.single, single ? 1 : 0);
        EXPECT_EQ(spy.twice, single ? 0 : 1);
        EXPECT_EQ(depth[0], single ? 42.0f : 43.0f);
        EXPECT_EQ(spy.begin, 0u);
        EXPECT_EQ(spy.end, distance.size());
        EXPECT_EQ(spy.limits.valid_max_mm, engine.params().valid_dist_max_mm);
        EXPECT_EQ(spy.limits.combined_range_mm, float(kDoubleRangeMm));
        for (int slot = 0; slot < layout.frequencies(); ++slot) {
            for (int k = 0; k < 4; ++k)
                EXPECT_EQ(spy.f[slot].phase[k], raw.data() + layout.imageOffset(RawLayout::blockOf(slot, k)));
            EXPECT_EQ(spy.f[slot].ambient,
                      raw.data() + layout.imageOffset(RawLayout::blockOf(slot, kAmbientImage)));
            EXPECT_EQ(spy.f[slot].range_mm, float(rangeMm(frequencyHz(single, slot))));
        }
        // A frame the engine refuses never reaches the kernels.
        raw[0] ^= 1;
        EXPECT_FALSE(engine.convert(raw.data(), depth.data(), amplitude.data(), confidence.data()));
        EXPECT_EQ(spy.single + spy.twice, 1);
    }
}
