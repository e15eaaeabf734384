// The vectorised HQVGA conversions, written once with the compiler's generic vector types and built
// once per instruction set. The including source first defines, inside namespace Zentrox::(anonymous):
//   LANES          pixels per step (one native vector of floats, two of doubles);
//   RAW_LANES      samples per step of the raw interleave;
//   NativeFloats, NativeDoubles, NativeInts   the native vector types (LANES floats, LANES / 2
//                  doubles, LANES int32);
//   sqrtNative(v)  the correctly rounded single-precision square root of that width;
//   mulAddNative(a, b, c)  a * b + c of native doubles: fused where the instruction set has it;
//   anyNative(m)   whether any bit of the native integer vector m is set;
//   doublesNative(v, h)   lanes h * LANES / 2 ... (h + 1) * LANES / 2 - 1 of v converted to double;
//   widenNative(bytes)    LANES little-endian 16-bit samples from `bytes`, zero-extended to 32 bits.
// Everything here has internal linkage: code built for one instruction set must never be picked by
// the linker for another. For the same reason this file calls no shared inline function.
//
// Results are those of the scalar reference, bit for bit, on every input:
// - Decoding gives s = the signed 11-bit sample, so Q = 16 qs and I = 16 is with qs, is exact int32.
// - Phase: atan2(qs, is) has the same exact value as atan2(Q, I). PolynomialAngles comes within
//   ATAN2_MAX_ULPS units in the last place of double precision of the C library's atan2 on every one
//   of the 4095 x 4095 pairs, which is far finer than single precision: both round to the same float
//   unless the value lies next to the midpoint between two floats. Lanes within GUARD units of such a
//   midpoint are recomputed with std::atan2 on the very arguments the reference uses.
// - The wrap by 2 pi and the two multiplications are the reference's single-precision steps.
// - Amplitude: 0.5 sqrt(Q^2 + I^2) = 8 sqrt(n) exactly, with n = qs^2 + is^2 < 2^24, a whole float.
//   Rounding sqrt(n) to double and then to float gives the correctly rounded float root (double has
//   more than twice float's precision plus two bits), which the single-precision root gives directly.
// The sources build with -ffp-contract=off: the only fused multiply-adds are mulAddNative's, inside
// the arctangent. Every instruction set with fused multiply-add computes the same bits (IEEE
// operations that round once, no estimate instructions), SSE2 others: the exhaustive test on one
// x86 machine covers the arithmetic of both.
// The host is little-endian.
#pragma once

#include <cmath>
#include <cstring>
#include <utility>

#include "device/HqvgaFormat.h"

namespace Zentrox {
namespace {

typedef double VDH __attribute__((vector_size(4 * LANES)));
typedef float VFH __attribute__((vector_size(2 * LANES)));
typedef uint64_t VULH __attribute__((vector_size(4 * LANES)));
typedef uint32_t VUH __attribute__((vector_size(2 * LANES)));
typedef float VF __attribute__((vector_size(4 * LANES)));
typedef int32_t VI __attribute__((vector_size(4 * LANES)));
typedef uint32_t VU __attribute__((vector_size(4 * LANES)));
typedef uint16_t VR __attribute__((vector_size(2 * RAW_LANES)));
typedef int16_t VS __attribute__((vector_size(2 * RAW_LANES)));

static_assert(sizeof(VF) == sizeof(NativeFloats), "a step is one native float vector");
static_assert(sizeof(VI) == sizeof(NativeInts), "a step is one native integer vector");
static_assert(sizeof(VDH) == sizeof(NativeDoubles), "a step is two native double vectors");
static_assert(HQVGA_WIDTH % LANES == 0, "whole steps per row");
static_assert(HQVGA_WIDTH % RAW_LANES == 0, "whole steps per row");

// atan(t) ~ t + t^3 P(t^2) for |t| <= 5/12, P of degree 6. Coefficients: minimax fit of the relative
// error on [0, 5/12] (Lawson's iteratively reweighted least squares in 40-digit mpmath,
// device/simd/hqvga_atan_fit.py), rounded to double. Relative error of the fit 2^-40.1; with the
// reduction and the rounding of every step, PolynomialAngles with fused multiply-adds is measured
// within 7473 units of std::atan2 over all pairs (hqvga_atan_error_test.cpp checks ATAN2_MAX_ULPS).
constexpr double ATAN_P[] = {-0.33333333292758005, 0.19999993949719197,  -0.14285407911130743,
                             0.11103705633209786,  -0.08994001923617587, 0.06978024490213908,
                             -0.037685970014818354};
constexpr double QUARTER_PI = 0.78539816339744830962;
constexpr uint32_t ATAN2_MAX_ULPS = 8192;

// A double in the range of normal floats rounds to float by its low 29 mantissa bits: it rounds up
// when they exceed 2^28. A lane whose bits lie within GUARD units in the last place of that midpoint
// is recomputed. GUARD is twice the checked bound on the distance to the C library's atan2, which
// leaves room for a C library that differs from this machine's by a few units. About one lane in
// 18 000 is recomputed.
constexpr uint32_t HALFWAY = uint32_t{1} << 28;
constexpr uint32_t GUARD = 2 * ATAN2_MAX_ULPS;
constexpr uint32_t LOW_29 = (uint32_t{1} << 29) - 1;

// Halves of a step's vectors and whole ones from halves: the arithmetic in double precision runs on
// native-width halves, so that no vector wider than the registers is ever formed.
template <class H, size_t... I>
inline auto joined(const H& low, const H& high, std::index_sequence<I...>) {
    return __builtin_shufflevector(low, high, static_cast<int>(I)...);
}
constexpr auto WHOLE = std::make_index_sequence<LANES>{};

inline VDH mulAdd(const VDH& a, const VDH& b, const VDH& c) {
    return (VDH)mulAddNative((NativeDoubles)a, (NativeDoubles)b, (NativeDoubles)c);
}

inline VDH doubles(const VI& v, int half) {
    NativeInts n;
    std::memcpy(&n, &v, sizeof n);
    return (VDH)doublesNative(n, half);
}

// atan2 of one half's lanes from the reduced fraction num / den and the multiple k of pi/4.
inline VDH halfAngle(const VI& num, const VI& den, const VI& k, int half) {
    const VDH t = doubles(num, half) / doubles(den, half);
    const VDH z = t * t;
    const VDH zero = {};
    VDH p = mulAdd(z, zero + ATAN_P[6], zero + ATAN_P[5]);
    for (int c = 4; c >= 0; --c)
        p = mulAdd(p, z, zero + ATAN_P[c]);
    return mulAdd(doubles(k, half), zero + QUARTER_PI, mulAdd(t * z, p, t));
}

// atan2(qs, is) of whole numbers |qs|, |is| <= 2047, in double precision, lanes 0 ... LANES / 2 - 1
// in out[0] and the others in out[1].
// With a = |is|, b = |qs|, the first quadrant's angle is atan(b / a) below b / a = 5/12,
// pi/4 + atan((b - a) / (b + a)) up to 12/5 and pi/2 - atan(a / b) above: the polynomial's argument
// stays within 5/12, and the fraction is formed in exact integers. The other quadrants follow by
// symmetry: pi - angle for is < 0, the negation for qs < 0 (folded into the fraction's sign and the
// multiple k of pi/4, as the polynomial is odd and rounding is symmetric).
struct PolynomialAngles {
    void operator()(const VI& qs, const VI& is, VDH* out) const {
        const VI a = is < 0 ? -is : is, b = qs < 0 ? -qs : qs;
        const VI low = 12 * b <= 5 * a, high = 12 * a <= 5 * b;
        VI num = low ? b : (high ? -a : b - a);
        VI den = low ? a : (high ? b : b + a);
        VI k = low ? 0 : (high ? 2 : 1);
        den -= den == 0;  // 0 / 1 at the origin, whose angle is 0
        const VI west = is < 0, south = qs < 0;
        k = west ? 4 - k : k;
        num = west ? -num : num;
        k = south ? -k : k;
        num = south ? -num : num;
        out[0] = halfAngle(num, den, k, 0);
        out[1] = halfAngle(num, den, k, 1);
    }
};

inline bool anyLane(const VI& mask) {
    NativeInts m;
    std::memcpy(&m, &mask, sizeof m);
    return anyNative(m);
}

// Lanes whose phase may round either way get the reference's own double-precision phase.
[[gnu::noinline, gnu::cold]] void repairLanes(const VI& qs, const VI& is, const VI& unsure, VF* phase) {
    for (int l = 0; l < LANES; ++l) {
        if (unsure[l]) (*phase)[l] = static_cast<float>(std::atan2(16.0 * qs[l], 16.0 * is[l]));
    }
}

// The signed 11-bit values above `shift`: each sample widened to 32 bits, moved up until the
// value's top bit is the sign bit and back down by 21 bits with its sign.
inline VI decodeLanes(const uint8_t* bytes, unsigned shift) {
    return (VI)((VU)widenNative(bytes) << (21 - shift)) >> 21;
}

struct PhaseFrame {
    const uint8_t *q_plus, *q_minus, *i_plus, *i_minus;
    unsigned shift;
    float depth_scale;
    float *depth, *amplitude, *confidence;
};

// The LANES pixels from `p` on. The lanes whose phase may round either way are recomputed when
// REPAIR is set, else only added to *unsure.
template <bool REPAIR, class Angles>
[[gnu::always_inline]] inline void phaseStep(const PhaseFrame& f, int p, const Angles& angles,
                                             VI* unsureSeen) {
    const VF zero = {};
    const VI qs = decodeLanes(f.q_plus + 2 * p, f.shift) - decodeLanes(f.q_minus + 2 * p, f.shift);
    const VI is = decodeLanes(f.i_plus + 2 * p, f.shift) - decodeLanes(f.i_minus + 2 * p, f.shift);
    VDH angle[2];
    angles(qs, is, angle);
    VF phase = joined(__builtin_convertvector(angle[0], VFH), __builtin_convertvector(angle[1], VFH), WHOLE);
    // The low 32 bits of each double.
    const VU low = joined(__builtin_convertvector((VULH)angle[0], VUH),
                          __builtin_convertvector((VULH)angle[1], VUH), WHOLE) &
                   LOW_29;
    const VI unsure = (low - (HALFWAY - GUARD)) < 2 * GUARD;
    if (REPAIR) {
        if (anyLane(unsure)) repairLanes(qs, is, unsure, &phase);
    } else {
        *unsureSeen |= unsure;
    }
    phase = phase < zero ? phase + HQVGA_TWO_PI : phase;
    const VF d = (phase * f.depth_scale) * 1000.0f;
    const VF n = __builtin_convertvector(qs * qs + is * is, VF);
    const VF a = (VF)sqrtNative((NativeFloats)n) * 8.0f;
    std::memcpy(f.depth + p, &d, sizeof d);
    std::memcpy(f.amplitude + p, &a, sizeof a);
    std::memcpy(f.confidence + p, &a, sizeof a);
}

// A row again, recomputing its unsure lanes. Out of line and rarely run (about one row in 80), so
// that the main loop keeps its vectors in registers rather than saving them around a call.
template <class Angles>
[[gnu::noinline, gnu::cold]] void repairRow(const PhaseFrame& f, int row, const Angles& angles) {
    for (int p = row; p < row + HQVGA_WIDTH; p += LANES)
        phaseStep<true>(f, p, angles, nullptr);
}

// The conversion with the double-precision phase of `angles` (PolynomialAngles but in tests).
template <class Angles>
void phaseImageSteps(const uint8_t* frame, float* depth, float* amplitude, float* confidence,
                     const HqvgaParams& params, const Angles& angles) {
    const int planeBytes = 2 * HQVGA_PIXELS;
    const PhaseFrame f{frame + planeBytes * (params.range2000_pair ? 1 : 2),
                       frame + planeBytes * (params.range2000_pair ? 3 : 0),
                       frame + planeBytes * (params.range2000_pair ? 2 : 3),
                       frame + planeBytes * (params.range2000_pair ? 0 : 1),
                       params.shift,
                       params.depth_scale,
                       depth,
                       amplitude,
                       confidence};
    for (int row = 0; row < HQVGA_PIXELS; row += HQVGA_WIDTH) {
        VI unsure = {};
        for (int p = row; p < row + HQVGA_WIDTH; p += LANES)
            phaseStep<false>(f, p, angles, &unsure);
        if (__builtin_expect(anyLane(unsure), 0)) repairRow(f, row, angles);
    }
}

[[maybe_unused]] void phaseImageBody(const uint8_t* frame, float* depth, float* amplitude, float* confidence,
                                     const HqvgaParams& params) {
    phaseImageSteps(frame, depth, amplitude, confidence, params, PolynomialAngles{});
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
