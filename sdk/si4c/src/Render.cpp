#include <algorithm>
#include <cmath>
#include <cstring>

#include "si4c_render.h"

namespace Zentrox {
namespace si4c {

namespace {

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A normal deviate of unit spread from one 64-bit hash: the sum of four 16-bit uniforms (Irwin-Hall),
// close enough to a normal for sensor noise and one hash per sample.
float deviate(uint64_t hash) {
    const uint32_t sum = uint32_t(hash & 0xFFFF) + uint32_t((hash >> 16) & 0xFFFF) +
                         uint32_t((hash >> 32) & 0xFFFF) + uint32_t(hash >> 48);
    constexpr float kScale = 1.7320508f / 65536.0f;  // sqrt(12 / 4): unit variance
    return (float(sum) - 2.0f * 65535.0f) * kScale;
}

uint16_t quantise(float value) {
    if (!(value > 0.0f)) return 0;
    if (value >= float(kMaxSample)) return kMaxSample;
    return uint16_t(value + 0.5f);
}

}  // namespace

float returnAmplitude(const RenderParams& params, float distance_mm, float reflectivity) {
    if (!(distance_mm > 0.0f) || !(reflectivity > 0.0f)) return 0.0f;
    const double metres = distance_mm / 1000.0;
    return float(reflectivity * params.signal_at_1m / (metres * metres));
}

void RawFrameRenderer::prepare(const RawLayout& layout, const float* distance_mm, const float* reflectivity,
                               const RenderParams& params) {
    geometry = layout;
    noise = params.noise > 0.0f ? params.noise : 0.0f;
    seed = params.seed;
    const size_t pixels = size_t(layout.width) * size_t(layout.height);
    std::vector<float> samples(pixels * size_t(layout.blocks()));
    for (int slot = 0; slot < layout.frequencies(); ++slot) {
        const double range = rangeMm(frequencyHz(layout.single, slot));
        float* p[5];
        for (int k = 0; k < 5; ++k)
            p[k] = &samples[size_t(RawLayout::blockOf(slot, k)) * pixels];
        for (size_t i = 0; i < pixels; ++i) {
            // A_k = ambient + a + a cos(phi - k 90 deg): the cosines are +-cos(phi) and +-sin(phi).
            const double a = returnAmplitude(params, distance_mm[i], reflectivity[i]);
            const double phi = 2.0 * kPi * distance_mm[i] / range + params.phase_offset_rad[slot];
            const double c = a * std::cos(phi), s = a * std::sin(phi), base = params.ambient + a;
            p[0][i] = float(base + c);
            p[1][i] = float(base + s);
            p[2][i] = float(base - c);
            p[3][i] = float(base - s);
            p[kAmbientImage][i] = params.ambient;
        }
    }
    clean.clear();
    frozen.clear();
    if (noise > 0.0f) {
        clean = std::move(samples);
        return;
    }
    frozen.assign(layout.samples(), 0);
    for (int block = 0; block < layout.blocks(); ++block) {
        const float* in = &samples[size_t(block) * pixels];
        uint16_t* out = &frozen[layout.imageOffset(block)];
        for (size_t i = 0; i < pixels; ++i)
            out[i] = quantise(in[i]);
    }
}

void RawFrameRenderer::render(uint32_t counter, uint16_t* raw) const {
    const size_t pixels = size_t(geometry.width) * size_t(geometry.height);
    if (noise == 0.0f) {
        std::memcpy(raw, frozen.data(), frozen.size() * sizeof(uint16_t));
    } else {
        const uint64_t frameKey = mix(uint64_t(seed) << 32 | counter);
        for (int block = 0; block < geometry.blocks(); ++block) {
            const float* in = &clean[size_t(block) * pixels];
            uint16_t* out = raw + geometry.imageOffset(block);
            const uint64_t blockKey = mix(frameKey ^ (uint64_t(block) << 56));
            for (size_t i = 0; i < pixels; ++i)
                out[i] = quantise(in[i] + noise * deviate(mix(blockKey + i)));
        }
    }
    for (int block = 0; block < geometry.blocks(); ++block)
        writeMetadata(raw + geometry.metadataOffset(block), geometry, block, counter);
}

void renderRawFrame(const RawLayout& layout, const float* distance_mm, const float* reflectivity,
                    const RenderParams& params, uint16_t* raw) {
    RawFrameRenderer renderer;
    renderer.prepare(layout, distance_mm, reflectivity, params);
    renderer.render(params.frame_counter, raw);
}

}  // namespace si4c
}  // namespace Zentrox
