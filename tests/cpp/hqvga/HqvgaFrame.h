// Builds raw HQVGA camera frames (four little-endian 16-bit phase planes) for the tests.
#pragma once

#include <cstdint>
#include <vector>

namespace Zentrox {
namespace test {

constexpr int PIXELS = 240 * 180;

class HqvgaFrame {
  public:
    HqvgaFrame() : bytes(PIXELS * 4 * 2, 0) {}

    void set(int plane, int pixel, uint16_t raw) {
        const size_t at = 2 * (static_cast<size_t>(plane) * PIXELS + pixel);
        bytes[at] = static_cast<uint8_t>(raw & 0xFF);
        bytes[at + 1] = static_cast<uint8_t>(raw >> 8);
    }
    void fillPlane(int plane, uint16_t raw) {
        for (int p = 0; p < PIXELS; ++p)
            set(plane, p, raw);
    }
    // A signed 11-bit value as the module sends it, placed above `shift` bits.
    static uint16_t encode(int value, int shift = 0) {
        return static_cast<uint16_t>((static_cast<unsigned>(value) & 0x7FF) << shift);
    }
    const uint8_t* data() const { return bytes.data(); }

    std::vector<uint8_t> bytes;
};

// Output planes of one depth conversion, pre-filled with a value no conversion produces.
struct DepthPlanes {
    DepthPlanes() : depth(PIXELS, -7.0f), amplitude(PIXELS, -7.0f), confidence(PIXELS, -7.0f) {}
    std::vector<float> depth, amplitude, confidence;
};

}  // namespace test
}  // namespace Zentrox
