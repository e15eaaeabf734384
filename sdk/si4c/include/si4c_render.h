// Renders a scene, given per pixel as distance and reflectivity, into the VGA raw frame layout of
// si4c_format.h: what a VGA module would deliver for that scene. Used by the emulated kit and tests.
#pragma once

#include <cstdint>
#include <vector>

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
    uint32_t seed = 1;             // noise is a function of seed, frame counter and sample only
    uint32_t frame_counter = 0;    // used by renderRawFrame
};

// Amplitude a target returns: reflectivity * signal_at_1m / distance^2, 0 for distance <= 0 (no return).
float returnAmplitude(const RenderParams& params, float distance_mm, float reflectivity);

// Renders one static scene frame after frame. prepare() computes everything that does not change
// between frames; render() then only adds noise, quantises and writes the metadata rows, and
// allocates nothing.
class RawFrameRenderer {
  public:
    // `distance_mm` and `reflectivity` hold layout.width x layout.height values, row-major.
    void prepare(const RawLayout& layout, const float* distance_mm, const float* reflectivity,
                 const RenderParams& params);
    const RawLayout& layout() const { return geometry; }
    // Writes layout().samples() words of frame `counter` into `raw`.
    void render(uint32_t counter, uint16_t* raw) const;

  private:
    RawLayout geometry;
    float noise = 0.0f;
    uint32_t seed = 0;
    std::vector<float> clean;      // noiseless image samples, block after block (noise only)
    std::vector<uint16_t> frozen;  // the whole quantised frame when there is no noise
};

// One frame of a scene (prepares a renderer for it, so it allocates): for tests and one-off frames.
void renderRawFrame(const RawLayout& layout, const float* distance_mm, const float* reflectivity,
                    const RenderParams& params, uint16_t* raw);

}  // namespace si4c
}  // namespace Zentrox
