#include "PhaseKernel.h"

#include <cmath>

#include "si4c_format.h"

namespace Zentrox {
namespace si4c {

namespace {

constexpr double kInvTwoPi = 1.0 / (2.0 * kPi);

struct PhaseSample {
    double phase_fraction;  // offset-corrected phase / 2 pi, in [0, 1)
    float amplitude;        // uncorrected, in counts
    bool saturated;
};

inline PhaseSample measure(const FrequencyPlanes& f, double offset_fraction, size_t i) {
    const int s0 = f.phase[0][i] & 0xFFF, s1 = f.phase[1][i] & 0xFFF;
    const int s2 = f.phase[2][i] & 0xFFF, s3 = f.phase[3][i] & 0xFFF;
    const double in = double(s0 - s2), quad = double(s1 - s3);
    // atan2 / 2 pi lies in [-0.5, 0.5] and the offset in [0, 1): two steps bring it into [0, 1).
    double fraction = std::atan2(quad, in) * kInvTwoPi - offset_fraction;
    if (fraction < 0.0) fraction += 1.0;
    if (fraction < 0.0) fraction += 1.0;
    if (fraction >= 1.0) fraction = 0.0;  // rounding can land exactly on the wrap
    const bool saturated = s0 == kMaxSample || s1 == kMaxSample || s2 == kMaxSample || s3 == kMaxSample;
    return {fraction, float(0.5 * std::sqrt(in * in + quad * quad)), saturated};
}

// The calibration offset as a fraction of a turn, in [0, 1).
inline double offsetFraction(const FrequencyPlanes& f) {
    double x = double(f.phase_offset_rad) * kInvTwoPi;
    x -= std::floor(x);
    return x >= 1.0 ? 0.0 : x;
}

inline float confidenceOf(float a, float ambient, bool saturated) {
    if (saturated || !(a > 0.0f)) return 0.0f;
    return 100.0f * a / (a + ambient);
}

inline void store(const KernelLimits& limits, size_t i, float d, float a, float c, float* depth,
                  float* amplitude, float* confidence) {
    const bool valid =
        c > 0.0f && c >= limits.confidence_min && d >= limits.valid_min_mm && d <= limits.valid_max_mm;
    depth[i] = valid ? d : 0.0f;
    amplitude[i] = a;
    confidence[i] = valid ? c : 0.0f;
}

}  // namespace

void convertSingleFrequency(const FrequencyPlanes& f, const KernelLimits& limits, size_t begin, size_t end,
                            float* depth, float* amplitude, float* confidence) {
    const double offset = offsetFraction(f);
    for (size_t i = begin; i < end; ++i) {
        const PhaseSample m = measure(f, offset, i);
        const float d = float(m.phase_fraction * f.range_mm);
        const float c = confidenceOf(m.amplitude, float(f.ambient[i] & 0xFFF), m.saturated);
        store(limits, i, d, m.amplitude * f.amplitude_gain, c, depth, amplitude, confidence);
    }
}

void convertDoubleFrequency(const FrequencyPlanes& f0, const FrequencyPlanes& f1, const KernelLimits& limits,
                            size_t begin, size_t end, float* depth, float* amplitude, float* confidence) {
    // With range = 3 r0 = 2 r1, a distance d gives phase fractions p0, p1 with
    // d = (p0 + n0) r0 = (p1 + n1) r1 for wrap counts n0 in 0..2, n1 in 0..1, hence
    // 2 p0 - 3 p1 = 3 n1 - 2 n0 =: k. The six (n0, n1) pairs give the six residues of k modulo 6,
    // so k = round(2 p0 - 3 p1) identifies the wraps, and what is left over, (2 p0 - 3 p1 - k),
    // is the disagreement of the two estimates in units of range / 6.
    // (n0, n1) by k mod 6: (0,0) (1,1) (2,0) (0,1) (1,0) (2,1); only n0 is needed below.
    static const int kWraps0[6] = {0, 1, 2, 0, 1, 2};
    const double range = limits.combined_range_mm;
    const double r0 = f0.range_mm, r1 = f1.range_mm;
    const double sixth = range / 6.0;
    const double offset0 = offsetFraction(f0), offset1 = offsetFraction(f1);
    const float inv0 = float(1.0 / (r0 * r0)), inv1 = float(1.0 / (r1 * r1));
    for (size_t i = begin; i < end; ++i) {
        const PhaseSample m0 = measure(f0, offset0, i), m1 = measure(f1, offset1, i);
        const double x = 2.0 * m0.phase_fraction - 3.0 * m1.phase_fraction;
        const double k = std::floor(x + 0.5);
        const int residue = int(k) < 0 ? int(k) + 6 : int(k);  // k is -3 .. 2
        const double d0 = (m0.phase_fraction + kWraps0[residue]) * r0;
        const double disagreement = (x - k) * sixth;  // d0 - d1, up to whole multiples of the range
        // Fuse by precision (a / range)^2; work around d0 so that a pair straddling the wrap of the
        // combined range stays together.
        const float w0 = m0.amplitude * m0.amplitude * inv0, w1 = m1.amplitude * m1.amplitude * inv1;
        double fused = w0 + w1 > 0.0f ? d0 - disagreement * double(w1 / (w0 + w1)) : d0;
        if (fused < 0.0) fused += range;
        if (fused >= range) fused -= range;
        const float ambient = 0.5f * float((f0.ambient[i] & 0xFFF) + (f1.ambient[i] & 0xFFF));
        const float weakest = m0.amplitude < m1.amplitude ? m0.amplitude : m1.amplitude;
        float c = confidenceOf(weakest, ambient, m0.saturated || m1.saturated);
        if (std::fabs(disagreement) > limits.unwrap_tolerance_mm) c = 0.0f;
        const float a = 0.5f * (m0.amplitude * f0.amplitude_gain + m1.amplitude * f1.amplitude_gain);
        store(limits, i, float(fused), a, c, depth, amplitude, confidence);
    }
}

}  // namespace si4c
}  // namespace Zentrox
