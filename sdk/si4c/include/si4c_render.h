// Renders a scene, given per pixel as distance and reflectivity, into the VGA raw frame layout of
// si4c_format.h: what a VGA module would deliver for that scene. Used by the emulated kit and tests.
#pragma once

#include <cstdint>

#include "si4c_format.h"

namespace Zentrox {
namespace si4c {

struct RenderParams {
    // Extra phase (radians) per frequency slot, as an uncorrected module delay would add; a matching
    // calibration blob subtracts it again.
    float phase_offset_rad[2] = {0.0f, 0.0f};
    float signal_at_1m = 1500.0f;  // amplitude in counts of a white (reflectivity 1) target at 1 m
    float ambient = 100.0f;        // ambient light in counts
    float noise = 0.0f;            // standard deviation of additive sample noise in counts; 0: none
    uint32_t seed = 1;             // noise is a function of seed and frame counter only
    uint32_t frame_counter = 0;
};

// Amplitude a target returns: reflectivity * signal_at_1m / distance^2, 0 for distance <= 0 (no return).
float returnAmplitude(const RenderParams& params, float distance_mm, float reflectivity);

// Writes layout.samples() words into `raw`. `distance_mm` and `reflectivity` hold width x height
// values, row-major. Allocates nothing.
void renderRawFrame(const RawLayout& layout, const float* distance_mm, const float* reflectivity,
                    const RenderParams& params, uint16_t* raw);

}  // namespace si4c
}  // namespace Zentrox
