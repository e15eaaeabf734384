#include "FakeScene.h"

#include <cmath>

namespace Zentrox {

ScenePoint TiltedFloorScene::at(uint32_t x, uint32_t y, uint32_t width, uint32_t height) const {
    bool box = x >= width / 3 && x < width / 2 && y >= height / 3 && y < height * 2 / 3;
    if (box) return {650.0, 900.0};
    return {900.0 + 2400.0 * double(y) / double(height) + 300.0 * double(x) / double(width), 700.0};
}

double measuredDepth(double depthMm, double rangeMm) {
    return std::fmod(depthMm, rangeMm);
}

void renderPhase(const FakeScene& scene, bool shortRange, int phase, uint32_t width, uint32_t height,
                 uint16_t* samples) {
    const double range = shortRange ? 2000.0 : 4000.0;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            ScenePoint p = scene.at(x, y, width, height);
            double angle = 2.0 * M_PI * measuredDepth(p.depthMm, range) / range;
            double q = p.amplitude * std::sin(angle) / 2.0, i = p.amplitude * std::cos(angle) / 2.0;
            // 4 m: Q = P2 - P0, I = P3 - P1.  2 m: Q = P1 - P3, I = P2 - P0.
            double value;
            if (!shortRange) {
                const double v[4] = {-q, -i, q, i};
                value = v[phase & 3];
            } else {
                const double v[4] = {-i, q, i, -q};
                value = v[phase & 3];
            }
            long s = std::lround(value);
            if (s > 1023) s = 1023;
            if (s < -1024) s = -1024;
            samples[size_t(y) * width + x] = uint16_t(s & 0xFFF);
        }
    }
}

}  // namespace Zentrox
