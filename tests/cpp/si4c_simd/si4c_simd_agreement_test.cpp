// The vectorised conversions of every instruction set this CPU runs against the scalar reference, on
// rendered frames and on adversarial samples, with the agreement of PhaseAgreement.h.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "si4c_render.h"
#include "tests/cpp/si4c_simd/PhaseAgreement.h"

using namespace Zentrox::si4c;
using namespace Zentrox::si4c::test;

namespace {

constexpr int WIDTH = 640, HEIGHT = 480;
constexpr size_t VGA = size_t(WIDTH) * HEIGHT;

// Runs every vectorised conversion on `in` and checks it against the reference. `minValid` pixels at
// least must be valid in both (so that depth is really compared) and `minInvalid` invalid in both;
// borderline pixels may be at most one in 10 000 of those compared.
void expectAgreement(const std::string& what, const PixelPlanes& in, const KernelLimits& limits, size_t begin,
                     size_t end, size_t minValid, size_t minInvalid) {
    const std::vector<const PhaseKernels*> kernels = vectorKernels();
    if (kernels.empty()) GTEST_SKIP() << "this build carries no vectorised conversions";
    for (const PhaseKernels* k : kernels) {
        SCOPED_TRACE(what + " on " + k->name);
        const Agreement a =
            compareWithReference(in, limits, begin, end, convertWith(*k, in, limits, begin, end));
        EXPECT_EQ(a.faults, 0u) << a.first_fault;
        EXPECT_EQ(a.compared, end > begin ? end - begin : 0);
        EXPECT_GE(a.valid, minValid);
        EXPECT_GE(a.invalid, minInvalid);
        EXPECT_LE(a.borderline, 1 + a.compared / 10000) << "the bound would let too much pass";
    }
}

// A scene across more than the whole double range (so every wrap and every residue occurs), with
// reflectivity bands from none (no return) to far too bright (saturation), and sensor noise.
std::vector<uint16_t> renderScene(const RawLayout& layout, const RenderParams& params, float nearMm,
                                  float farMm) {
    std::vector<float> distance(VGA), reflectivity(VGA);
    for (int y = 0; y < HEIGHT; ++y) {
        for (int x = 0; x < WIDTH; ++x) {
            const size_t i = size_t(y) * WIDTH + x;
            distance[i] =
                nearMm + (farMm - nearMm) * (float(x) + 0.37f * float(y)) / (WIDTH + 0.37f * HEIGHT);
            const int band = (y / 24) % 10;
            reflectivity[i] = band == 0 ? 0.0f : band == 9 ? 40.0f : 0.1f * float(band);
        }
    }
    std::vector<uint16_t> raw(layout.samples());
    renderRawFrame(layout, distance.data(), reflectivity.data(), params, raw.data());
    return raw;
}

}  // namespace

TEST(PhaseAgreement, RenderedFrames) {
    KernelLimits narrow;
    narrow.valid_min_mm = 400.0f;
    narrow.valid_max_mm = 3000.0f;
    narrow.confidence_min = 30.0f;
    const struct {
        const char* name;
        bool single;
        float near_mm, far_mm, noise, offset0, offset1;
        KernelLimits limits;
    } rows[] = {
        {"single, clean", true, 50.0f, 3000.0f, 0.0f, 0.0f, 0.0f, KernelLimits{}},
        {"single, noisy, offset", true, 50.0f, 3000.0f, 4.0f, 0.7f, 0.0f, KernelLimits{}},
        {"single, narrow limits", true, 50.0f, 3000.0f, 4.0f, 2.0f, 0.0f, narrow},
        {"double, clean", false, 20.0f, 6000.0f, 0.0f, 0.0f, 0.0f, KernelLimits{}},
        {"double, noisy, offsets", false, 20.0f, 6000.0f, 6.0f, 1.1f, 5.5f, KernelLimits{}},
        {"double, narrow limits", false, 20.0f, 6000.0f, 6.0f, 0.3f, 3.0f, narrow},
    };
    for (const auto& row : rows) {
        RawLayout layout{WIDTH, HEIGHT, row.single};
        RenderParams params;
        params.noise = row.noise;
        params.phase_offset_rad[0] = row.offset0;
        params.phase_offset_rad[1] = row.offset1;
        params.seed = 7;
        PixelPlanes in(VGA, row.single);
        in.copyFrom(layout, renderScene(layout, params, row.near_mm, row.far_mm));
        // The calibration takes off what the renderer put on, as the engine's would.
        in.f[0].phase_offset_rad = row.offset0;
        in.f[1].phase_offset_rad = row.offset1;
        in.f[0].amplitude_gain = 1.25f;
        in.f[1].amplitude_gain = 0.75f;
        // Most pixels are valid; the dark and the saturated bands (one fifth) are not.
        expectAgreement(row.name, in, row.limits, 0, VGA, VGA / 4, VGA / 10);
    }
}

TEST(PhaseAgreement, AdversarialSamples) {
    const size_t n = 40000;
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> sample(0, 0xFFF), word(0, 0xFFFF), level(0, 0xFFE);
    const struct {
        const char* name;
        // Fills pixel i of frequency slot `slot`.
        std::function<void(PixelPlanes&, int slot, size_t i)> fill;
        size_t min_valid, min_invalid;
    } rows[] = {
        {"random 12-bit samples",
         [&](PixelPlanes& p, int s, size_t i) {
             p.set(s, i, sample(rng), sample(rng), sample(rng), sample(rng), sample(rng));
         },
         n / 4, 0},
        {"saturated samples",
         [&](PixelPlanes& p, int s, size_t i) {
             int v[4] = {sample(rng), sample(rng), sample(rng), sample(rng)};
             v[i % 4] = 0xFFF;
             if (i % 3 == 0) v[(i + 1) % 4] = 0xFFF;
             p.set(s, i, v[0], v[1], v[2], v[3], sample(rng));
         },
         0, n},
        {"zero signal",
         [&](PixelPlanes& p, int s, size_t i) {
             const int v = i % 5 == 0 ? 0 : level(rng);
             p.set(s, i, v, v, v, v, sample(rng));
         },
         0, n},
        {"half saturated, half random",
         [&](PixelPlanes& p, int s, size_t i) {
             const int v = i % 2 ? 0xFFF : sample(rng);
             p.set(s, i, v, sample(rng), sample(rng), sample(rng), i % 7 == 0 ? 0 : sample(rng));
         },
         n / 10, n / 2},
        {"high bits set",
         [&](PixelPlanes& p, int s, size_t i) {
             p.set(s, i, word(rng), word(rng), word(rng), word(rng), word(rng) | (i % 2 ? 0xF000 : 0));
         },
         n / 4, 0},
    };
    for (bool single : {true, false}) {
        for (const auto& row : rows) {
            PixelPlanes in(n, single);
            for (int s = 0; s < in.frequencies(); ++s) {
                for (size_t i = 0; i < n; ++i)
                    row.fill(in, s, i);
            }
            expectAgreement(std::string(row.name) + (single ? " (single)" : " (double)"), in, KernelLimits{},
                            0, n, row.min_valid, row.min_invalid);
        }
    }
}

// Bits above the twelve never change a result: the vectorised conversions give the same bits for
// samples with and without them.
TEST(PhaseAgreement, HighBitsAreMasked) {
    if (vectorKernels().empty()) GTEST_SKIP() << "this build carries no vectorised conversions";
    const size_t n = 4099;
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> word(0, 0xFFFF);
    for (bool single : {true, false}) {
        PixelPlanes dirty(n, single), clean(n, single);
        for (int s = 0; s < dirty.frequencies(); ++s) {
            for (size_t i = 0; i < n; ++i) {
                int v[5];
                for (int& x : v)
                    x = word(rng) | 0x1000;  // at least one high bit in every sample
                dirty.set(s, i, v[0], v[1], v[2], v[3], v[4]);
                clean.set(s, i, v[0] & 0xFFF, v[1] & 0xFFF, v[2] & 0xFFF, v[3] & 0xFFF, v[4] & 0xFFF);
            }
        }
        for (const PhaseKernels* k : vectorKernels()) {
            SCOPED_TRACE(k->name);
            const Conversion a = convertWith(*k, dirty, KernelLimits{}, 0, n);
            const Conversion b = convertWith(*k, clean, KernelLimits{}, 0, n);
            EXPECT_EQ(0, std::memcmp(a.depth.data(), b.depth.data(), n * sizeof(float)));
            EXPECT_EQ(0, std::memcmp(a.amplitude.data(), b.amplitude.data(), n * sizeof(float)));
            EXPECT_EQ(0, std::memcmp(a.confidence.data(), b.confidence.data(), n * sizeof(float)));
            size_t valid = 0;
            for (float c : b.confidence)
                valid += c > 0.0f;
            EXPECT_GT(valid, n / 4);
        }
    }
}

// Calibration offsets at and around the wrap of a turn, negative and of several turns: the offset's
// fraction and the two wrapping steps of the phase.
TEST(PhaseAgreement, CalibrationOffsetsNearTheWrap) {
    const float twoPi = float(2.0 * kPi);
    const float offsets[] = {0.0f,        1e-7f,
                             -1e-7f,      std::nextafter(twoPi, 0.0f),
                             twoPi,       std::nextafter(twoPi, 10.0f),
                             -twoPi,      float(kPi),
                             -float(kPi), 100.0f,
                             -37.5f};
    const size_t n = 20000;
    for (bool single : {true, false}) {
        // Phases all round the circle, with the quadrant boundaries (I or Q zero) and exact multiples
        // of the offsets among them.
        PixelPlanes in(n, single);
        std::mt19937 rng(5);
        std::uniform_int_distribution<int> r(-1800, 1800);
        for (int s = 0; s < in.frequencies(); ++s) {
            for (size_t i = 0; i < n; ++i) {
                int iv = r(rng), qv = r(rng);
                if (i % 9 == 0) qv = 0;
                if (i % 9 == 1) iv = 0;
                if (i % 9 == 2) qv = iv;
                in.set(s, i, 2000 + iv, 2000 + qv, 2000 - iv, 2000 - qv, 100);
            }
        }
        for (float o0 : offsets) {
            for (float o1 : single ? std::vector<float>{0.0f} : std::vector<float>{o0, -o0, 0.5f}) {
                in.f[0].phase_offset_rad = o0;
                in.f[1].phase_offset_rad = o1;
                expectAgreement("offsets " + std::to_string(o0) + ", " + std::to_string(o1) +
                                    (single ? " (single)" : " (double)"),
                                in, KernelLimits{}, 0, n, single ? n / 2 : n / 3, 0);
            }
        }
    }
}

// Pixels whose two frequencies disagree by close to the unwrap tolerance, on either side, at strong
// signal (fine phase steps): the vectorised decisions are the reference's.
TEST(PhaseAgreement, NearTheUnwrapTolerance) {
    const size_t n = 24000;
    PixelPlanes in(n, false);
    auto target = [&](int slot, size_t i, double distance) {
        const double phi = 2.0 * kPi * distance / in.f[slot].range_mm;
        const int c = int(std::lround(1800.0 * std::cos(phi))), s = int(std::lround(1800.0 * std::sin(phi)));
        in.set(slot, i, 2000 + c, 2000 + s, 2000 - c, 2000 - s, 50);
    };
    for (float tolerance : {250.0f, 120.0f, 330.0f}) {
        for (size_t i = 0; i < n; ++i) {
            const double d = 10.0 + 4480.0 * double(i) / n;
            // Disagreements from tolerance - 1 mm to tolerance + 1 mm, with either sign.
            const double e = (i % 2 ? 1.0 : -1.0) * (tolerance + 2.0 * (double(i % 1000) / 1000.0 - 0.5));
            target(0, i, d);
            target(1, i, d + e);
        }
        KernelLimits limits;
        limits.unwrap_tolerance_mm = tolerance;
        expectAgreement("tolerance " + std::to_string(tolerance), in, limits, 0, n, n / 10, n / 10);
    }
}

// Distances straddling the wrap of the combined range (4500 mm = 0) and of each frequency's range, with
// noise, so that fused depths fall on both sides of it.
TEST(PhaseAgreement, AcrossTheCombinedRangeWrap) {
    const size_t n = 30000;
    std::mt19937 rng(77);
    std::normal_distribution<double> noise(0.0, 1.5);
    for (float validMax : {7000.0f, 4499.0f}) {
        PixelPlanes in(n, false);
        for (size_t i = 0; i < n; ++i) {
            const double d = i % 3 == 0   ? 4500.0 - 3.0 * double(i) / n
                             : i % 3 == 1 ? 3.0 * double(i) / n
                                          : 1500.0 * double(1 + i % 2) + (double(i) / n - 0.5);
            for (int slot = 0; slot < 2; ++slot) {
                const double phi = 2.0 * kPi * d / in.f[slot].range_mm;
                auto q = [&](double v) { return int(std::lround(2000.0 + v + noise(rng))); };
                in.set(slot, i, q(1500.0 * std::cos(phi)), q(1500.0 * std::sin(phi)),
                       q(-1500.0 * std::cos(phi)), q(-1500.0 * std::sin(phi)), 200);
            }
        }
        KernelLimits limits;
        limits.valid_max_mm = validMax;
        expectAgreement("valid up to " + std::to_string(validMax), in, limits, 0, n, n / 2, 0);
    }
}

// Pixel ranges that start and end off the vector width, down to a single pixel and to none.
TEST(PhaseAgreement, RangesOffTheVectorWidth) {
    const size_t n = 1000;
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> sample(0, 0xFFF);
    const struct {
        size_t begin, end;
    } ranges[] = {{0, 0},  {5, 5},  {10, 5}, {0, 1},   {3, 4},   {999, 1000}, {1, 2},    {0, 3},   {0, 7},
                  {1, 16}, {0, 17}, {3, 36}, {5, 133}, {7, 263}, {0, 999},    {1, 1000}, {0, 1000}};
    for (bool single : {true, false}) {
        PixelPlanes in(n, single);
        for (int s = 0; s < in.frequencies(); ++s) {
            for (size_t i = 0; i < n; ++i) {
                const int iv = sample(rng) / 2 - 1024, qv = sample(rng) / 2 - 1024;
                in.set(s, i, 2048 + iv, 2048 + qv, 2048 - iv, 2048 - qv, sample(rng) / 8);
            }
        }
        for (const auto& r : ranges) {
            const size_t count = r.end > r.begin ? r.end - r.begin : 0;
            // Random phases: in double frequency about a third of the pixels fail the unwrap check.
            expectAgreement("pixels " + std::to_string(r.begin) + " .. " + std::to_string(r.end) +
                                (single ? " (single)" : " (double)"),
                            in, KernelLimits{}, r.begin, r.end, count / 4, 0);
        }
    }
}

// The comparison itself: each kind of fault a broken conversion could make is reported, and the
// reference compared with itself is clean. Without this, a comparison that passes everything would
// let every test above pass.
TEST(PhaseAgreement, ComparisonCatchesFaults) {
    const PhaseKernels& scalar = *phaseKernelsFor(PhaseIsa::SCALAR);
    const size_t n = 6000;
    PixelPlanes in(n, false);
    for (size_t i = 0; i < n; ++i) {
        const double d = 100.0 + 4300.0 * double(i) / n;
        for (int slot = 0; slot < 2; ++slot) {
            const double phi = 2.0 * kPi * d / in.f[slot].range_mm;
            const int c = int(std::lround(1000.0 * std::cos(phi))),
                      s = int(std::lround(1000.0 * std::sin(phi)));
            in.set(slot, i, 2000 + c, 2000 + s, 2000 - c, 2000 - s, 100);
        }
    }
    const KernelLimits limits;
    const size_t begin = 5, end = n - 5;
    const Conversion reference = convertWith(scalar, in, limits, begin, end);
    const Conversion loose = convertWith(scalar, in, movedLimits(limits, true), begin, end);
    const Conversion tight = convertWith(scalar, in, movedLimits(limits, false), begin, end);
    const Agreement clean = compareConversions(in, limits, begin, end, reference, loose, tight, reference);
    EXPECT_EQ(clean.faults, 0u) << clean.first_fault;
    ASSERT_GT(clean.valid, n / 2);
    const size_t p = 2345;  // a valid pixel in the middle of the range
    ASSERT_GT(reference.confidence[p], 0.0f);
    const struct {
        const char* name;
        std::function<void(Conversion&)> fault;
    } faults[] = {
        {"wrong residue", [&](Conversion& c) { c.depth[p] += 1500.0f; }},
        {"depth a few units in the last place off",
         [&](Conversion& c) {
             for (int k = 0; k < 3; ++k)
                 c.depth[p] = std::nextafter(c.depth[p], INFINITY);
         }},
        {"depth a micrometre off", [&](Conversion& c) { c.depth[p] -= 0.001f; }},
        {"lost lane",
         [&](Conversion& c) {
             const Conversion untouched(n);
             c.depth[p] = untouched.depth[p];
             c.amplitude[p] = untouched.amplitude[p];
             c.confidence[p] = untouched.confidence[p];
         }},
        {"valid pixel dropped",
         [&](Conversion& c) {
             c.depth[p] = 0.0f;
             c.confidence[p] = 0.0f;
         }},
        {"invalid pixel kept depth",
         [&](Conversion& c) {
             c.confidence[p] = 0.0f;  // invalid, but its depth stays
         }},
        {"amplitude one unit off",
         [&](Conversion& c) { c.amplitude[p] = std::nextafter(c.amplitude[p], 0.0f); }},
        {"confidence one unit off",
         [&](Conversion& c) { c.confidence[p] = std::nextafter(c.confidence[p], 0.0f); }},
        {"written before begin", [&](Conversion& c) { c.depth[begin - 1] = 1.0f; }},
        {"written at end", [&](Conversion& c) { c.amplitude[end] = 0.0f; }},
    };
    for (const auto& f : faults) {
        Conversion broken = reference;
        f.fault(broken);
        const Agreement a = compareConversions(in, limits, begin, end, reference, loose, tight, broken);
        EXPECT_EQ(a.faults, 1u) << f.name;
    }
}

// Limits placed exactly on pixels' depths and confidences: where a vectorised conversion gives the
// reference's very depth (nearly everywhere), its decision at the limit must be the reference's too;
// confidence is always the reference's, so at the confidence threshold it must decide alike everywhere.
TEST(PhaseAgreement, LimitsExactlyOnPixelValues) {
    if (vectorKernels().empty()) GTEST_SKIP() << "this build carries no vectorised conversions";
    const PhaseKernels& scalar = *phaseKernelsFor(PhaseIsa::SCALAR);
    const size_t n = 3000;
    std::mt19937 rng(41);
    std::uniform_int_distribution<int> r(-1500, 1500), amb(0, 400);
    for (bool single : {true, false}) {
        PixelPlanes in(n, single);
        for (int s = 0; s < in.frequencies(); ++s) {
            for (size_t i = 0; i < n; ++i) {
                const int iv = r(rng), qv = r(rng);
                in.set(s, i, 2000 + iv, 2000 + qv, 2000 - iv, 2000 - qv, amb(rng));
            }
        }
        const Conversion wide = convertWith(scalar, in, KernelLimits{}, 0, n);
        for (const PhaseKernels* k : vectorKernels()) {
            SCOPED_TRACE(std::string(k->name) + (single ? " (single)" : " (double)"));
            const Conversion wideCandidate = convertWith(*k, in, KernelLimits{}, 0, n);
            size_t checked = 0, limitsTried = 0;
            for (size_t p = 0; p < n; p += 97) {
                if (!(wide.confidence[p] > 0.0f)) continue;
                ++limitsTried;
                KernelLimits atMin, atMax, atConfidence;
                atMin.valid_min_mm = wide.depth[p];
                atMax.valid_max_mm = wide.depth[p];
                atConfidence.confidence_min = wide.confidence[p];
                for (const KernelLimits& limits : {atMin, atMax, atConfidence}) {
                    const Conversion ref = convertWith(scalar, in, limits, 0, n);
                    const Conversion cand = convertWith(*k, in, limits, 0, n);
                    for (size_t i = 0; i < n; ++i) {
                        if (!(wide.confidence[i] > 0.0f) || !(wideCandidate.confidence[i] > 0.0f) ||
                            wide.depth[i] != wideCandidate.depth[i])
                            continue;
                        ++checked;
                        ASSERT_EQ(ref.confidence[i] > 0.0f, cand.confidence[i] > 0.0f)
                            << "pixel " << i << " depth " << wide.depth[i] << " confidence "
                            << wide.confidence[i] << " at limits " << limits.valid_min_mm << " .. "
                            << limits.valid_max_mm << ", confidence from " << limits.confidence_min;
                    }
                }
            }
            EXPECT_GT(limitsTried, n / 97 / 3);
            EXPECT_GT(checked, limitsTried * n);  // three limits per try, most pixels valid
        }
    }
}
