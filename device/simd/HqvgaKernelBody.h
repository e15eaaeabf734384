// The vectorised HQVGA conversions, written once with the compiler's generic vector types and built
// once per instruction set. The including source first defines, inside namespace Zentrox::(anonymous):
//   LANES          pixels per step, two native double vectors' worth;
//   RAW_LANES      samples per step of the raw interleave;
//   NativeDoubles, NativeFloats   the native vector types (LANES / 2 doubles, LANES floats);
//   atan2Native(y, x)   SLEEF's double-precision atan2 of that width;
//   sqrtNative(v)       the correctly rounded single-precision square root of that width.
// Everything here has internal linkage: code built for one instruction set must never be picked by
// the linker for another. For the same reason this file calls no shared inline function.
//
// Results are those of the scalar reference, bit for bit, on every input:
// - Decoding gives s = the signed 11-bit sample, so Q = 16 qs and I = 16 is with qs, is exact int32.
// - Phase: atan2(qs, is) has the same exact value as atan2(Q, I). SLEEF and the C library each come
//   within a few units in the last place of double precision of it, which is far finer than single
//   precision: both round to the same float unless the value lies next to the midpoint between two
//   floats. Lanes within GUARD units in the last place of such a midpoint are recomputed with
//   std::atan2 on the very arguments the reference uses; about one pixel in 60 000 is.
// - The wrap by 2 pi and the two multiplications are the reference's single-precision steps.
// - Amplitude: 0.5 sqrt(Q^2 + I^2) = 8 sqrt(n) exactly, with n = qs^2 + is^2 < 2^24, a whole float.
//   Rounding sqrt(n) to double and then to float gives the correctly rounded float root (double has
//   more than twice float's precision plus two bits), which the single-precision root gives directly.
// The host is little-endian.
#pragma once

#include <cmath>
#include <cstring>

#include "HqvgaFormat.h"

namespace Zentrox {
namespace {

typedef double VD __attribute__((vector_size(8 * LANES)));
typedef float VF __attribute__((vector_size(4 * LANES)));
typedef int32_t VI __attribute__((vector_size(4 * LANES)));
typedef uint16_t VW __attribute__((vector_size(2 * LANES)));
typedef int16_t VH __attribute__((vector_size(2 * LANES)));
typedef uint32_t VU __attribute__((vector_size(4 * LANES)));
typedef uint64_t VUL __attribute__((vector_size(8 * LANES)));
typedef uint16_t VR __attribute__((vector_size(2 * RAW_LANES)));
typedef int16_t VS __attribute__((vector_size(2 * RAW_LANES)));

static_assert(sizeof(VD) == 2 * sizeof(NativeDoubles), "a step is two native double vectors");
static_assert(sizeof(VF) == sizeof(NativeFloats), "a step is one native float vector");
static_assert(HQVGA_WIDTH % LANES == 0, "whole steps per row");
static_assert(HQVGA_WIDTH % RAW_LANES == 0, "whole steps per row");

// A double in the range of normal floats rounds to float by its low 29 mantissa bits: it rounds up
// when they exceed 2^28. A lane whose bits lie within GUARD units in the last place of that midpoint
// is recomputed (some 4000 units: ample for both libraries' error bounds).
constexpr uint32_t HALFWAY = uint32_t{1} << 28;
constexpr uint32_t GUARD = 4096;
constexpr uint32_t LOW_29 = (uint32_t{1} << 29) - 1;

// Results through a pointer: no vector wider than the native registers crosses a call boundary.
inline void atan2v(const VD& y, const VD& x, VD* out) {
    NativeDoubles y2[2], x2[2], r2[2];
    std::memcpy(y2, &y, sizeof y);
    std::memcpy(x2, &x, sizeof x);
    r2[0] = atan2Native(y2[0], x2[0]);
    r2[1] = atan2Native(y2[1], x2[1]);
    std::memcpy(out, r2, sizeof *out);
}

inline bool anyLane(const VI& mask) {
    uint64_t words[sizeof(VI) / 8];
    std::memcpy(words, &mask, sizeof words);
    uint64_t any = 0;
    for (uint64_t w : words)
        any |= w;
    return any != 0;
}

// The signed 11-bit values above `shift`: the low 16 bits of (v >> shift) << 5, as signed, moved
// back down by five bits with their sign.
inline VH decodeLanes(const uint8_t* bytes, unsigned shift) {
    VW raw;
    std::memcpy(&raw, bytes, sizeof raw);
    return (VH)((raw >> shift) << 5) >> 5;
}

[[maybe_unused]] void phaseImageBody(const uint8_t* frame, float* depth, float* amplitude, float* confidence,
                                     const HqvgaParams& params) {
    const unsigned shift = params.shift;
    const int planeBytes = 2 * HQVGA_PIXELS;
    const uint8_t* qPlus = frame + planeBytes * (params.range2000_pair ? 1 : 2);
    const uint8_t* qMinus = frame + planeBytes * (params.range2000_pair ? 3 : 0);
    const uint8_t* iPlus = frame + planeBytes * (params.range2000_pair ? 2 : 3);
    const uint8_t* iMinus = frame + planeBytes * (params.range2000_pair ? 0 : 1);
    const VF zero = {};
    const VF twoPi = zero + HQVGA_TWO_PI;
    const VF scale = zero + params.depth_scale;
    const VF thousand = zero + 1000.0f;
    const VF eight = zero + 8.0f;

    // A row at a time, in three passes: the differences, then atan2 over the whole row in a tight
    // loop (the library call would otherwise force every live vector out to memory), then the
    // single-precision steps. The row's intermediate values live on the stack.
    constexpr int STEPS = HQVGA_WIDTH / LANES;
    VI qRow[STEPS], iRow[STEPS];
    VD qd[STEPS], id[STEPS], angles[STEPS];
    for (int row = 0; row < HQVGA_PIXELS; row += HQVGA_WIDTH) {
        for (int s = 0; s < STEPS; ++s) {
            const int p = row + s * LANES;
            qRow[s] = __builtin_convertvector(
                decodeLanes(qPlus + 2 * p, shift) - decodeLanes(qMinus + 2 * p, shift), VI);
            iRow[s] = __builtin_convertvector(
                decodeLanes(iPlus + 2 * p, shift) - decodeLanes(iMinus + 2 * p, shift), VI);
            qd[s] = __builtin_convertvector(qRow[s], VD);
            id[s] = __builtin_convertvector(iRow[s], VD);
        }
        for (int s = 0; s < STEPS; ++s)
            atan2v(qd[s], id[s], &angles[s]);
        for (int s = 0; s < STEPS; ++s) {
            const int p = row + s * LANES;
            const VI qs = qRow[s], is = iRow[s];
            const VD angle = angles[s];
            VF phase = __builtin_convertvector(angle, VF);
            const VU low = __builtin_convertvector((VUL)angle, VU) & LOW_29;  // low 32 bits of each double
            const VI unsure = (low - (HALFWAY - GUARD)) < 2 * GUARD;
            if (anyLane(unsure)) {
                for (int l = 0; l < LANES; ++l) {
                    if (unsure[l]) phase[l] = static_cast<float>(std::atan2(16.0 * qs[l], 16.0 * is[l]));
                }
            }
            phase = phase < zero ? phase + twoPi : phase;
            const VF d = (phase * scale) * thousand;
            const VF n = __builtin_convertvector(qs * qs + is * is, VF);
            const VF a = (VF)sqrtNative((NativeFloats)n) * eight;
            std::memcpy(depth + p, &d, sizeof d);
            std::memcpy(amplitude + p, &a, sizeof a);
            std::memcpy(confidence + p, &a, sizeof a);
        }
    }
}

[[maybe_unused]] void rawImagesBody(const uint8_t* frame, int16_t* raw, unsigned shift) {
    for (int y = 0; y < HQVGA_HEIGHT; ++y) {
        for (int k = 0; k < HQVGA_PLANES; ++k) {
            const uint8_t* in = frame + 2 * (k * HQVGA_PIXELS + y * HQVGA_WIDTH);
            int16_t* out = raw + (HQVGA_PLANES * y + k) * HQVGA_WIDTH;
            for (int x = 0; x < HQVGA_WIDTH; x += RAW_LANES) {
                VR v;
                std::memcpy(&v, in + 2 * x, sizeof v);
                // The low 16 bits of (v >> shift) << 5, as signed, halved: 16 x the 11-bit value.
                const VS s = (VS)((v >> shift) << 5) >> 1;
                std::memcpy(out + x, &s, sizeof s);
            }
        }
    }
}

}  // namespace
}  // namespace Zentrox
