// The per-pixel phase-to-depth loops of the engine, kept apart from frame checking and set-up so that
// they can be vectorised on their own. Each call converts the pixels [begin, end) of one frame and
// allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Zentrox {
namespace si4c {

// The planes and constants of one modulation frequency.
struct FrequencyPlanes {
    const uint16_t* phase[4] = {};      // images at 0, 90, 180, 270 degrees
    const uint16_t* ambient = nullptr;  // image without modulation
    float range_mm = 0.0f;              // unambiguous range of this frequency
    float phase_offset_rad = 0.0f;      // calibration: subtracted from the measured phase
    float amplitude_gain = 1.0f;        // calibration: applied to the amplitude output
};

struct KernelLimits {
    float valid_min_mm = 0.0f;
    float valid_max_mm = 7000.0f;
    float confidence_min = 0.0f;
    float combined_range_mm = 4500.0f;   // double frequency: common unambiguous range
    float unwrap_tolerance_mm = 250.0f;  // double frequency: largest disagreement still trusted
};

// Confidence in 0..100: the share of the pixel's light that is modulated signal,
// 100 * a / (a + ambient). Saturated or signal-free pixels have confidence 0.
void convertSingleFrequency(const FrequencyPlanes& f, const KernelLimits& limits, size_t begin, size_t end,
                            float* depth, float* amplitude, float* confidence);

// Two frequencies whose ranges go three and two times into combined_range_mm: the pair of wrap counts
// that makes both estimates agree is found in closed form (remainders modulo 6) and the two estimates
// are fused, weighted by each frequency's precision (a / range)^2. Pixels whose estimates disagree by
// more than unwrap_tolerance_mm (at most range / 12 is possible) are invalid.
void convertDoubleFrequency(const FrequencyPlanes& f0, const FrequencyPlanes& f1, const KernelLimits& limits,
                            size_t begin, size_t end, float* depth, float* amplitude, float* confidence);

}  // namespace si4c
}  // namespace Zentrox
