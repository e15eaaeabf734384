// The engine's per-pixel conversions, written once with the compiler's generic vector types and built
// once per instruction set. The including source first defines, inside namespace
// Zentrox::si4c::(anonymous):
//   LANES            pixels per step, two native double vectors' worth;
//   NativeDoubles    the native double vector (LANES / 2 doubles);
//   atan2Native(y, x)   SLEEF's double-precision atan2 of that width;
//   sqrtNative(v)       the correctly rounded double-precision square root of that width.
// Everything here has internal linkage and calls no shared inline function: code built for one
// instruction set must never be picked by the linker for another.
//
// Every step is the scalar reference's (PhaseKernel.cpp), in the same order and precision, lane-wise;
// both are built without contracted multiply-adds. So:
// - Amplitude and confidence are the reference's bits: the sums of squares of 12-bit differences are
//   exact and the double square root is correctly rounded everywhere.
// - The phase fraction differs only by the two libraries' atan2 (SLEEF within 3.5 units in the last
//   place, the C library within one), a few 1e-16 of a turn; depth, rounded to float from it, is the
//   reference's or a neighbouring float, except where the fraction sits on a wrap.
// The host is little-endian. Samples are 16-bit words of which the low 12 bits count.
#pragma once

#include <cstdint>
#include <cstring>

#include "PhaseKernel.h"

namespace Zentrox {
namespace si4c {
namespace {

// A step of LANES pixels is one native float vector and two native double vectors (the halves).
typedef float VF __attribute__((vector_size(4 * LANES)));
typedef int32_t VI __attribute__((vector_size(4 * LANES)));
typedef uint16_t VW __attribute__((vector_size(2 * LANES)));
typedef double VD __attribute__((vector_size(4 * LANES)));
typedef int64_t VL __attribute__((vector_size(4 * LANES)));
typedef float VFH __attribute__((vector_size(2 * LANES)));
typedef int32_t VIH __attribute__((vector_size(2 * LANES)));

static_assert(sizeof(VD) == sizeof(NativeDoubles), "half a step is one native double vector");

// Pixels per pass: the three passes of a chunk keep their intermediate values on the stack, in cache.
constexpr int CHUNK_STEPS = 128 / LANES;
constexpr double INV_TWO_PI = 1.0 / (2.0 * 3.14159265358979323846);

// The four phase planes and the ambient plane of one frequency, at the first pixel of a chunk.
struct Sources {
    const uint16_t* phase[4];
    const uint16_t* ambient;
};

struct Outputs {
    float* depth;
    float* amplitude;
    float* confidence;
};

// What one frequency contributes to a chunk before and after atan2; the double vectors by halves.
struct Measured {
    VD in[2 * CHUNK_STEPS], quad[2 * CHUNK_STEPS], angle[2 * CHUNK_STEPS];
    VF amplitude[CHUNK_STEPS];
    VI saturated[CHUNK_STEPS];
    VI ambient[CHUNK_STEPS];
};

inline void splitF(const VF& v, VFH* halves) {
    std::memcpy(halves, &v, sizeof v);
}
inline void splitI(const VI& v, VIH* halves) {
    std::memcpy(halves, &v, sizeof v);
}
inline VF joinF(const VFH* halves) {
    VF v;
    std::memcpy(&v, halves, sizeof v);
    return v;
}
inline VI joinI(const VIH* halves) {
    VI v;
    std::memcpy(&v, halves, sizeof v);
    return v;
}

inline VI loadSamples(const uint16_t* p) {
    VW raw;
    std::memcpy(&raw, p, sizeof raw);
    return __builtin_convertvector(raw & uint16_t{0xFFF}, VI);
}

// The calibration offset as a fraction of a turn, in [0, 1): as the reference computes it.
inline double offsetFraction(float phase_offset_rad) {
    double x = double(phase_offset_rad) * INV_TWO_PI;
    x -= __builtin_floor(x);
    return x >= 1.0 ? 0.0 : x;
}

// Pass 1 and 2 of a chunk: the differences, amplitude and saturation, then atan2 of every half step in
// a tight loop (the library call would otherwise force every live vector out to memory).
inline void measure(const Sources& s, int steps, Measured& m) {
    const VI maxSample = VI{} + 0xFFF;
    const VD half = VD{} + 0.5;
    for (int k = 0; k < steps; ++k) {
        const size_t at = size_t(k) * LANES;
        const VI s0 = loadSamples(s.phase[0] + at), s1 = loadSamples(s.phase[1] + at);
        const VI s2 = loadSamples(s.phase[2] + at), s3 = loadSamples(s.phase[3] + at);
        VIH in[2], quad[2];
        splitI(s0 - s2, in);
        splitI(s1 - s3, quad);
        VFH amplitude[2];
        for (int h = 0; h < 2; ++h) {
            const VD i = __builtin_convertvector(in[h], VD), q = __builtin_convertvector(quad[h], VD);
            m.in[2 * k + h] = i;
            m.quad[2 * k + h] = q;
            const VD root = (VD)sqrtNative((NativeDoubles)(i * i + q * q));
            amplitude[h] = __builtin_convertvector(half * root, VFH);
        }
        m.amplitude[k] = joinF(amplitude);
        m.saturated[k] = (s0 == maxSample) | (s1 == maxSample) | (s2 == maxSample) | (s3 == maxSample);
        m.ambient[k] = loadSamples(s.ambient + at);
    }
    for (int j = 0; j < 2 * steps; ++j)
        m.angle[j] = (VD)atan2Native((NativeDoubles)m.quad[j], (NativeDoubles)m.in[j]);
}

// The offset-corrected phase fraction in [0, 1).
inline VD fractionOf(const VD& angle, double offset) {
    const VD zero = {};
    const VD one = zero + 1.0;
    VD fraction = angle * INV_TWO_PI - offset;
    fraction = fraction < zero ? fraction + one : fraction;
    fraction = fraction < zero ? fraction + one : fraction;
    return fraction >= one ? zero : fraction;  // rounding can land exactly on the wrap
}

inline VF confidenceOf(const VF& a, const VF& ambient, const VI& saturated) {
    const VF zero = {};
    const VF hundred = zero + 100.0f;
    const VF c = (hundred * a) / (a + ambient);  // lanes without signal divide 0 by 0: replaced below
    return (saturated | ~(a > zero)) ? zero : c;
}

inline void store(const KernelLimits& limits, const VF& d, const VF& a, const VF& c, const Outputs& out,
                  size_t at) {
    const VF zero = {};
    const VI valid = (c > zero) & (c >= zero + limits.confidence_min) & (d >= zero + limits.valid_min_mm) &
                     (d <= zero + limits.valid_max_mm);
    const VF depth = valid ? d : zero, confidence = valid ? c : zero;
    std::memcpy(out.depth + at, &depth, sizeof depth);
    std::memcpy(out.amplitude + at, &a, sizeof a);
    std::memcpy(out.confidence + at, &confidence, sizeof confidence);
}

void singleChunk(const FrequencyPlanes& f, double offset, const KernelLimits& limits, const Sources& s,
                 int steps, const Outputs& out) {
    Measured m;
    measure(s, steps, m);
    const VF gain = VF{} + f.amplitude_gain;
    const double range = f.range_mm;
    for (int k = 0; k < steps; ++k) {
        VFH depth[2];
        for (int h = 0; h < 2; ++h)
            depth[h] = __builtin_convertvector(fractionOf(m.angle[2 * k + h], offset) * range, VFH);
        const VF c = confidenceOf(m.amplitude[k], __builtin_convertvector(m.ambient[k], VF), m.saturated[k]);
        store(limits, joinF(depth), m.amplitude[k] * gain, c, out, size_t(k) * LANES);
    }
}

// The constants of a double-frequency conversion, as the reference derives them.
struct DoubleConstants {
    double offset0, offset1;
    double r0, range, sixth;
    float inv0, inv1;
};

void doubleChunk(const FrequencyPlanes& f0, const FrequencyPlanes& f1, const DoubleConstants& dc,
                 const KernelLimits& limits, const Sources& s0, const Sources& s1, int steps,
                 const Outputs& out) {
    Measured m0, m1;
    measure(s0, steps, m0);
    measure(s1, steps, m1);
    const VD zeroD = {};
    const VD half = zeroD + 0.5, one = zeroD + 1.0, three = zeroD + 3.0, range = zeroD + dc.range;
    const VD tolerance = zeroD + double(limits.unwrap_tolerance_mm);
    const VF zero = {};
    const VF halfF = zero + 0.5f, gain0 = zero + f0.amplitude_gain, gain1 = zero + f1.amplitude_gain;
    for (int k = 0; k < steps; ++k) {
        const VF a0 = m0.amplitude[k], a1 = m1.amplitude[k];
        const VF w0 = a0 * a0 * dc.inv0, w1 = a1 * a1 * dc.inv1;
        const VF sum = w0 + w1;
        VFH share[2], depth[2];
        VIH weighted[2], disagreeing[2];
        splitF(w1 / sum, share);  // lanes of no weight divide 0 by 0: not used below
        splitI(sum > zero, weighted);
        for (int h = 0; h < 2; ++h) {
            const int j = 2 * k + h;
            const VD p0 = fractionOf(m0.angle[j], dc.offset0), p1 = fractionOf(m1.angle[j], dc.offset1);
            // Wrap counts from k = round(2 p0 - 3 p1) in -3 .. 2 (see PhaseKernel.cpp): n0 is k modulo 3.
            const VD x = 2.0 * p0 - 3.0 * p1;
            const VD t = x + half;
            VD r = __builtin_convertvector(__builtin_convertvector(t, VIH), VD);  // towards zero
            r = r > t ? r - one : r;                                              // floor
            const VD n0 = r < zeroD ? r + three : r;
            const VD d0 = (p0 + n0) * dc.r0;
            const VD disagreement = (x - r) * dc.sixth;
            const VL useWeights = __builtin_convertvector(weighted[h], VL);
            VD fused = useWeights ? d0 - disagreement * __builtin_convertvector(share[h], VD) : d0;
            fused = fused < zeroD ? fused + range : fused;
            fused = fused >= range ? fused - range : fused;
            depth[h] = __builtin_convertvector(fused, VFH);
            const VD magnitude = disagreement < zeroD ? -disagreement : disagreement;
            disagreeing[h] = __builtin_convertvector(magnitude > tolerance, VIH);
        }
        const VF ambient = halfF * __builtin_convertvector(m0.ambient[k] + m1.ambient[k], VF);
        const VF weakest = a0 < a1 ? a0 : a1;
        VF c = confidenceOf(weakest, ambient, m0.saturated[k] | m1.saturated[k]);
        c = joinI(disagreeing) ? zero : c;
        const VF a = halfF * (a0 * gain0 + a1 * gain1);
        store(limits, joinF(depth), a, c, out, size_t(k) * LANES);
    }
}

Sources sourcesAt(const FrequencyPlanes& f, size_t i) {
    return {{f.phase[0] + i, f.phase[1] + i, f.phase[2] + i, f.phase[3] + i}, f.ambient + i};
}

Outputs outputsAt(float* depth, float* amplitude, float* confidence, size_t i) {
    return {depth + i, amplitude + i, confidence + i};
}

// The last pixels that fill no whole step: copied into one zero-padded step, converted by the same code,
// and only they are written back.
struct TailStep {
    uint16_t samples[2][5][LANES] = {};
    float results[3][LANES] = {};

    Sources load(const FrequencyPlanes& f, int slot, size_t i, size_t count) {
        Sources s;
        for (int k = 0; k < 4; ++k) {
            std::memcpy(samples[slot][k], f.phase[k] + i, count * sizeof(uint16_t));
            s.phase[k] = samples[slot][k];
        }
        std::memcpy(samples[slot][4], f.ambient + i, count * sizeof(uint16_t));
        s.ambient = samples[slot][4];
        return s;
    }
    Outputs outputs() { return {results[0], results[1], results[2]}; }
    void writeBack(const Outputs& out, size_t count) const {
        std::memcpy(out.depth, results[0], count * sizeof(float));
        std::memcpy(out.amplitude, results[1], count * sizeof(float));
        std::memcpy(out.confidence, results[2], count * sizeof(float));
    }
};

[[maybe_unused]] void singleFrequencyBody(const FrequencyPlanes& f, const KernelLimits& limits, size_t begin,
                                          size_t end, float* depth, float* amplitude, float* confidence) {
    const double offset = offsetFraction(f.phase_offset_rad);
    size_t i = begin;
    while (i < end && end - i >= size_t(LANES)) {
        const size_t left = (end - i) / LANES;
        const int steps = left < size_t(CHUNK_STEPS) ? int(left) : CHUNK_STEPS;
        singleChunk(f, offset, limits, sourcesAt(f, i), steps, outputsAt(depth, amplitude, confidence, i));
        i += size_t(steps) * LANES;
    }
    if (i < end) {
        TailStep tail;
        const Sources s = tail.load(f, 0, i, end - i);
        singleChunk(f, offset, limits, s, 1, tail.outputs());
        tail.writeBack(outputsAt(depth, amplitude, confidence, i), end - i);
    }
}

[[maybe_unused]] void doubleFrequencyBody(const FrequencyPlanes& f0, const FrequencyPlanes& f1,
                                          const KernelLimits& limits, size_t begin, size_t end, float* depth,
                                          float* amplitude, float* confidence) {
    DoubleConstants dc;
    dc.range = limits.combined_range_mm;
    dc.r0 = f0.range_mm;
    const double r1 = f1.range_mm;
    dc.sixth = dc.range / 6.0;
    dc.offset0 = offsetFraction(f0.phase_offset_rad);
    dc.offset1 = offsetFraction(f1.phase_offset_rad);
    dc.inv0 = float(1.0 / (dc.r0 * dc.r0));
    dc.inv1 = float(1.0 / (r1 * r1));
    size_t i = begin;
    while (i < end && end - i >= size_t(LANES)) {
        const size_t left = (end - i) / LANES;
        const int steps = left < size_t(CHUNK_STEPS) ? int(left) : CHUNK_STEPS;
        doubleChunk(f0, f1, dc, limits, sourcesAt(f0, i), sourcesAt(f1, i), steps,
                    outputsAt(depth, amplitude, confidence, i));
        i += size_t(steps) * LANES;
    }
    if (i < end) {
        TailStep tail;
        const Sources s0 = tail.load(f0, 0, i, end - i), s1 = tail.load(f1, 1, i, end - i);
        doubleChunk(f0, f1, dc, limits, s0, s1, 1, tail.outputs());
        tail.writeBack(outputsAt(depth, amplitude, confidence, i), end - i);
    }
}

}  // namespace
}  // namespace si4c
}  // namespace Zentrox
