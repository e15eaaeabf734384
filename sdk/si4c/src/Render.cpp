#include <algorithm>
#include <cmath>

#include "si4c_render.h"

namespace Zentrox {
namespace si4c {

namespace {

// Counter-based generator: the noise of a sample depends on (seed, frame, index) only, so a frame
// renders the same whatever was rendered before it.
uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

double gaussian(uint64_t key) {
    const uint64_t a = mix(key), b = mix(key ^ 0xD1B54A32D192ED03ull);
    const double u1 = (double(a >> 11) + 1.0) * 0x1.0p-53;  // (0, 1]
    const double u2 = double(b >> 11) * 0x1.0p-53;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
}

uint16_t quantise(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= kMaxSample) return kMaxSample;
    return uint16_t(std::lround(value));
}

}  // namespace

float returnAmplitude(const RenderParams& params, float distance_mm, float reflectivity) {
    if (!(distance_mm > 0.0f) || !(reflectivity > 0.0f)) return 0.0f;
    const double metres = distance_mm / 1000.0;
    return float(reflectivity * params.signal_at_1m / (metres * metres));
}

void renderRawFrame(const RawLayout& layout, const float* distance_mm, const float* reflectivity,
                    const RenderParams& params, uint16_t* raw) {
    const size_t pixels = size_t(layout.width) * size_t(layout.height);
    const uint64_t frameKey = mix(uint64_t(params.seed) << 32 | params.frame_counter);
    for (int block = 0; block < layout.blocks(); ++block) {
        writeMetadata(raw + layout.metadataOffset(block), layout, block, params.frame_counter);
        const int slot = block / kBlocksPerFrequency;
        const int image = block % kBlocksPerFrequency;
        const double range = rangeMm(frequencyHz(layout.single, slot));
        const double shift = image * (kPi / 2.0);
        uint16_t* out = raw + layout.imageOffset(block);
        for (size_t i = 0; i < pixels; ++i) {
            double value = params.ambient;
            if (image != kAmbientImage) {
                const double a = returnAmplitude(params, distance_mm[i], reflectivity[i]);
                const double phi = 2.0 * kPi * distance_mm[i] / range + params.phase_offset_rad[slot];
                value += a + a * std::cos(phi - shift);
            }
            if (params.noise > 0.0f)
                value += params.noise * gaussian(frameKey ^ mix(uint64_t(block) << 40 | i));
            out[i] = quantise(value);
        }
    }
}

}  // namespace si4c
}  // namespace Zentrox
