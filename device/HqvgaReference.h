// The plain scalar HQVGA conversions: four phase planes of 240 x 180 samples to depth, amplitude and
// confidence, or to one interleaved int16 raw image. Every faster conversion is checked against
// these bit for bit, so they stay simple.
#pragma once

#include <cmath>
#include <cstdint>

#include "device/HqvgaFormat.h"

namespace Zentrox {

// Metres per radian of phase for a modulation frequency in hertz, in single precision.
inline float hqvgaDepthScale(float frequency) {
    return HQVGA_LIGHT_SPEED / (HQVGA_FOUR_PI * frequency);
}

// Low 11 bits after the shift, read as two's complement and scaled by 16: -16384 ... 16368.
inline int16_t hqvgaDecodeSample(uint16_t raw, uint8_t shift) {
    const int low = (raw >> shift) & 0x7FF;
    const int value = (low & 0x400) ? low - 0x800 : low;
    return static_cast<int16_t>(value * 16);
}

// Sample `index` of the little-endian 16-bit frame.
inline uint16_t hqvgaRawSample(const uint8_t* frame, int index) {
    return static_cast<uint16_t>(frame[2 * index] | (frame[2 * index + 1] << 8));
}

// Depth in millimetres of a phase in single precision; a negative phase is moved up by 2 pi first.
inline float hqvgaDepthFromPhase(float phase, float depthScale) {
    if (phase < 0.0f) phase += HQVGA_TWO_PI;
    return (phase * depthScale) * 1000.0f;
}

// Depth and amplitude of one pixel from its two phase differences.
inline void hqvgaPixelReference(int q, int i, float depthScale, float* depth, float* amplitude) {
    const float phase = static_cast<float>(std::atan2(static_cast<double>(q), static_cast<double>(i)));
    *depth = hqvgaDepthFromPhase(phase, depthScale);
    const double qd = q;
    const double id = i;
    *amplitude = static_cast<float>(0.5 * std::sqrt(qd * qd + id * id));
}

// Depth, amplitude and confidence (equal to amplitude) of every pixel of `frame`.
void hqvgaPhaseImageReference(const uint8_t* frame, float* depth, float* amplitude, float* confidence,
                              const HqvgaParams& params);

// The four decoded planes interleaved by rows: output row 4y + k is row y of plane k (240 x 720).
void hqvgaRawImagesReference(const uint8_t* frame, int16_t* raw, uint8_t shift);

}  // namespace Zentrox
