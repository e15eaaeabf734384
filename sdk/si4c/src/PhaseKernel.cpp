#include "PhaseKernel.h"

#include <cmath>

#include "si4c_format.h"

namespace Zentrox {
namespace si4c {

namespace {

constexpr double kTwoPi = 2.0 * kPi;

struct PhaseSample {
    double phase_fraction;  // offset-corrected phase / 2 pi, in [0, 1)
    float amplitude;        // uncorrected, in counts
    bool saturated;
};

inline PhaseSample measure(const FrequencyPlanes& f, size_t i) {
    const int s0 = f.phase[0][i] & 0xFFF, s1 = f.phase[1][i] & 0xFFF;
    const int s2 = f.phase[2][i] & 0xFFF, s3 = f.phase[3][i] & 0xFFF;
    const double in = double(s0 - s2), quad = double(s1 - s3);
    double phase = std::atan2(quad, in) - double(f.phase_offset_rad);
    phase -= kTwoPi * std::floor(phase / kTwoPi);
    double fraction = phase / kTwoPi;
    if (fraction >= 1.0) fraction = 0.0;  // rounding can land exactly on the wrap
    const bool saturated = s0 == kMaxSample || s1 == kMaxSample || s2 == kMaxSample || s3 == kMaxSample;
    return {fraction, float(0.5 * std::sqrt(in * in + quad * quad)), saturated};
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
    for (size_t i = begin; i < end; ++i) {
        const PhaseSample m = measure(f, i);
        const float d = float(m.phase_fraction * f.range_mm);
        const float c = confidenceOf(m.amplitude, float(f.ambient[i] & 0xFFF), m.saturated);
        store(limits, i, d, m.amplitude * f.amplitude_gain, c, depth, amplitude, confidence);
    }
}

void convertDoubleFrequency(const FrequencyPlanes& f0, const FrequencyPlanes& f1, const KernelLimits& limits,
                            size_t begin, size_t end, float* depth, float* amplitude, float* confidence) {
    const double range = limits.combined_range_mm, half = range / 2.0;
    const double r0 = f0.range_mm, r1 = f1.range_mm;
    const int wraps0 = int(std::lround(range / r0)), wraps1 = int(std::lround(range / r1));
    for (size_t i = begin; i < end; ++i) {
        const PhaseSample m0 = measure(f0, i), m1 = measure(f1, i);
        const double d0 = m0.phase_fraction * r0, d1 = m1.phase_fraction * r1;
        // Closest pair of candidates, compared around the combined range so that distances just
        // below it and just above zero count as neighbours.
        double bestDiff = range, bestBase = d0;
        for (int n0 = 0; n0 < wraps0; ++n0) {
            const double c0 = d0 + n0 * r0;
            for (int n1 = 0; n1 < wraps1; ++n1) {
                double diff = d1 + n1 * r1 - c0;
                diff -= range * std::floor((diff + half) / range);
                if (std::fabs(diff) < std::fabs(bestDiff)) {
                    bestDiff = diff;
                    bestBase = c0;
                }
            }
        }
        const double w0 = double(m0.amplitude) * m0.amplitude / (r0 * r0);
        const double w1 = double(m1.amplitude) * m1.amplitude / (r1 * r1);
        double fused = w0 + w1 > 0.0 ? bestBase + bestDiff * (w1 / (w0 + w1)) : bestBase;
        fused -= range * std::floor(fused / range);
        const float ambient = 0.5f * float((f0.ambient[i] & 0xFFF) + (f1.ambient[i] & 0xFFF));
        const float weakest = std::fmin(m0.amplitude, m1.amplitude);
        float c = confidenceOf(weakest, ambient, m0.saturated || m1.saturated);
        if (std::fabs(bestDiff) > limits.unwrap_tolerance_mm) c = 0.0f;
        const float a = 0.5f * (m0.amplitude * f0.amplitude_gain + m1.amplitude * f1.amplitude_gain);
        store(limits, i, float(fused), a, c, depth, amplitude, confidence);
    }
}

}  // namespace si4c
}  // namespace Zentrox
