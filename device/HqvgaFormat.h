// Layout of an HQVGA camera frame and the state one conversion needs. Plain data only, so that the
// per-instruction-set conversions can include it without pulling in shared inline code.
#pragma once

#include <cstdint>

namespace Zentrox {

constexpr int HQVGA_WIDTH = 240;
constexpr int HQVGA_HEIGHT = 180;
constexpr int HQVGA_PIXELS = HQVGA_WIDTH * HQVGA_HEIGHT;  // samples per phase plane
constexpr int HQVGA_PLANES = 4;
constexpr int HQVGA_FRAME_BYTES = HQVGA_PIXELS * HQVGA_PLANES * 2;

constexpr float HQVGA_TWO_PI = 6.2831855f;   // 2 pi in single precision
constexpr float HQVGA_FOUR_PI = 12.566371f;  // 4 pi in single precision
constexpr float HQVGA_LIGHT_SPEED = 300000000.0f;

// What one conversion needs from the device's state, read once per frame.
struct HqvgaParams {
    uint8_t shift;        // right shift applied to every raw sample before decoding
    bool range2000_pair;  // Q = P1 - P3, I = P2 - P0 instead of Q = P2 - P0, I = P3 - P1
    float depth_scale;    // metres per radian, from hqvgaDepthScale
};

}  // namespace Zentrox
