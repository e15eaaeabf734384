// What the USB transport and the HQVGA device do to one pixel's four sample words, written out
// plainly so that tests of the emulated modules can check their samples without either component:
// the transport's normalisation of a b-bit word to 12 bits, then the device's decoding and depth.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace Zentrox {
namespace Reference {

// The transport's normalisation of one word of `bit_width` bits to a 12-bit word.
inline uint16_t normaliseTo12(uint32_t word, unsigned bit_width) {
    if (bit_width == 8) return static_cast<uint16_t>((word & 0xFF) << 4);
    if (bit_width > 12) return static_cast<uint16_t>(word >> (bit_width - 12));
    return static_cast<uint16_t>(word << (12 - bit_width));
}

// The device's decoding of a 12-bit word (shift 0): the low 11 bits as two's complement, times 16.
inline int32_t decodeSample(uint16_t v) {
    int32_t s = v & 0x7FF;
    if (s >= 0x400) s -= 0x800;
    return 16 * s;
}

struct PixelDepth {
    double depth;      // mm
    double amplitude;  // decoded units (16 per count)
};

// Depth of one pixel from its four decoded samples, for range 2000 (75 MHz) or 4000 (37.5 MHz).
inline PixelDepth pixelDepth(const int32_t p[4], int range) {
    const double pi = 3.14159265358979323846;
    double q, i, frequency;
    if (range == 2000) {
        q = p[1] - p[3];
        i = p[2] - p[0];
        frequency = 75e6;
    } else {
        q = p[2] - p[0];
        i = p[3] - p[1];
        frequency = 37.5e6;
    }
    double phase = std::atan2(q, i);
    if (phase < 0) phase += 2 * pi;
    return PixelDepth{phase * 3e8 / (4 * pi * frequency) * 1000.0, 0.5 * std::sqrt(q * q + i * i)};
}

// Reads sample i of an image of `bit_width` bits (little-endian 16-bit words above 8 bits).
inline uint32_t wordAt(const uint8_t* image, size_t i, unsigned bit_width) {
    if (bit_width <= 8) return image[i];
    return image[2 * i] | (uint32_t{image[2 * i + 1]} << 8);
}

}  // namespace Reference
}  // namespace Zentrox
