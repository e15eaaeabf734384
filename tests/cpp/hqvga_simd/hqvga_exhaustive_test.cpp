// Every vectorised HQVGA conversion this CPU runs against the scalar reference, bit for bit, over the
// whole input domain: after decoding, Q and I are multiples of 16 in -32752 ... 32752, so every one of
// the 4095 x 4095 (Q, I) pairs is fed through whole frames, for both ranges and both sample shifts.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device/HqvgaReference.h"
#include "device/simd/HqvgaKernels.h"

using namespace Zentrox;

namespace {

constexpr int STEPS = 4095;  // values of Q / 16 and of I / 16: -2047 ... 2047
constexpr int64_t PAIRS = int64_t{STEPS} * STEPS;

std::vector<const HqvgaKernels*> vectorKernels() {
    std::vector<const HqvgaKernels*> all;
    for (HqvgaIsa isa : {HqvgaIsa::SSE2, HqvgaIsa::AVX2, HqvgaIsa::AVX512, HqvgaIsa::ADVSIMD}) {
        if (const HqvgaKernels* k = hqvgaKernelsFor(isa)) all.push_back(k);
    }
    return all;
}

// Two 11-bit samples whose difference is d (within -2047 ... 2047).
void splitDifference(int d, int* plus, int* minus) {
    *plus = d >= 0 ? (d < 1023 ? d : 1023) : (d > -1024 ? d : -1024);
    *minus = *plus - d;
}

class FrameWriter {
  public:
    explicit FrameWriter(std::vector<uint8_t>& frame, int shift) : frame(frame), shift(shift) {}
    // Writes the 11-bit value with noise in the bits that decoding must ignore.
    void put(int plane, int pixel, int value, uint32_t noise) {
        uint16_t raw = static_cast<uint16_t>((static_cast<unsigned>(value) & 0x7FF) << shift);
        raw |= static_cast<uint16_t>(noise & (shift == 0 ? 0xF800u : 0x800Fu));
        const size_t at = 2 * (static_cast<size_t>(plane) * HQVGA_PIXELS + pixel);
        frame[at] = static_cast<uint8_t>(raw);
        frame[at + 1] = static_cast<uint8_t>(raw >> 8);
    }

  private:
    std::vector<uint8_t>& frame;
    int shift;
};

struct Mismatch {
    const char* what;
    int pixel;
    float reference, vector;
};

bool firstMismatch(const std::vector<float>& reference, const std::vector<float>& vector, const char* what,
                   Mismatch* out) {
    if (std::memcmp(reference.data(), vector.data(), reference.size() * sizeof(float)) == 0) return false;
    for (size_t p = 0; p < reference.size(); ++p) {
        if (std::memcmp(&reference[p], &vector[p], sizeof(float)) != 0) {
            *out = Mismatch{what, static_cast<int>(p), reference[p], vector[p]};
            return true;
        }
    }
    return false;
}

void checkDomain(bool range2000, int shift) {
    const std::vector<const HqvgaKernels*> kernels = vectorKernels();
    const HqvgaParams params{static_cast<uint8_t>(shift), range2000,
                             hqvgaDepthScale(range2000 ? 75000000.0f : 37500000.0f)};
    // Planes that carry +Q, -Q, +I, -I for this range's pair.
    const int qPlus = range2000 ? 1 : 2, qMinus = range2000 ? 3 : 0;
    const int iPlus = range2000 ? 2 : 3, iMinus = range2000 ? 0 : 1;

    std::vector<uint8_t> frame(HQVGA_FRAME_BYTES);
    std::vector<int> pairQ(HQVGA_PIXELS), pairI(HQVGA_PIXELS);
    std::vector<float> refDepth(HQVGA_PIXELS), refAmp(HQVGA_PIXELS), refConf(HQVGA_PIXELS);
    std::vector<float> depth(HQVGA_PIXELS), amp(HQVGA_PIXELS), conf(HQVGA_PIXELS);
    FrameWriter writer(frame, shift);
    uint32_t seed = 7u + 2u * shift + (range2000 ? 1u : 0u);

    int64_t checked = 0;
    for (int64_t first = 0; first < PAIRS; first += HQVGA_PIXELS) {
        for (int p = 0; p < HQVGA_PIXELS; ++p) {
            const int64_t pair = first + p < PAIRS ? first + p : (first + p) % PAIRS;  // the last frame wraps
            const int q = static_cast<int>(pair / STEPS) - 2047, i = static_cast<int>(pair % STEPS) - 2047;
            int a, b;
            seed = seed * 1664525u + 1013904223u;
            splitDifference(q, &a, &b);
            writer.put(qPlus, p, a, seed);
            writer.put(qMinus, p, b, seed >> 5);
            splitDifference(i, &a, &b);
            writer.put(iPlus, p, a, seed >> 10);
            writer.put(iMinus, p, b, seed >> 15);
            pairQ[p] = 16 * q;
            pairI[p] = 16 * i;
        }
        hqvgaPhaseImageReference(frame.data(), refDepth.data(), refAmp.data(), refConf.data(), params);
        for (const HqvgaKernels* k : kernels) {
            k->phase_image(frame.data(), depth.data(), amp.data(), conf.data(), params);
            Mismatch m{};
            if (firstMismatch(refDepth, depth, "depth", &m) || firstMismatch(refAmp, amp, "amplitude", &m) ||
                firstMismatch(refConf, conf, "confidence", &m)) {
                FAIL() << k->name << " " << m.what << " at Q " << pairQ[m.pixel] << " I " << pairI[m.pixel]
                       << ": reference " << m.reference << " vectorised " << m.vector;
            }
        }
        checked += HQVGA_PIXELS;
    }
    EXPECT_GE(checked, PAIRS);
}

TEST(HqvgaExhaustive, EveryPairRange4000) {
    if (vectorKernels().empty()) GTEST_SKIP() << "this build has no vectorised conversion";
    checkDomain(false, 0);
    checkDomain(false, 4);
}

TEST(HqvgaExhaustive, EveryPairRange2000) {
    if (vectorKernels().empty()) GTEST_SKIP() << "this build has no vectorised conversion";
    checkDomain(true, 0);
    checkDomain(true, 4);
}

TEST(HqvgaExhaustive, RawInterleaveOfEveryRawValue) {
    const std::vector<const HqvgaKernels*> kernels = vectorKernels();
    if (kernels.empty()) GTEST_SKIP() << "this build has no vectorised conversion";
    // 172 800 samples: every 16-bit value once, then pseudo-random ones.
    std::vector<uint8_t> frame(HQVGA_FRAME_BYTES);
    uint32_t seed = 1;
    for (int s = 0; s < HQVGA_PIXELS * HQVGA_PLANES; ++s) {
        seed = seed * 1103515245u + 12345u;
        const uint16_t v = s < 65536 ? static_cast<uint16_t>(s) : static_cast<uint16_t>(seed >> 8);
        frame[2 * s] = static_cast<uint8_t>(v);
        frame[2 * s + 1] = static_cast<uint8_t>(v >> 8);
    }
    std::vector<int16_t> reference(HQVGA_PIXELS * HQVGA_PLANES), raw(HQVGA_PIXELS * HQVGA_PLANES);
    for (uint8_t shift : {0, 4}) {
        hqvgaRawImagesReference(frame.data(), reference.data(), shift);
        for (const HqvgaKernels* k : kernels) {
            std::fill(raw.begin(), raw.end(), int16_t{0x7FFF});
            k->raw_images(frame.data(), raw.data(), shift);
            for (size_t j = 0; j < raw.size(); ++j) {
                ASSERT_EQ(raw[j], reference[j]) << k->name << " shift " << int(shift) << " sample " << j;
            }
        }
    }
}

}  // namespace
