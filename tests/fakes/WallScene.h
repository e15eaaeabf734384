// A flat wall facing a 240 x 180 module with a 70 degree field of view: the kit's configuration text
// for it, and the radial distance every pixel should measure.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Zentrox {

constexpr size_t WALL_PIXELS = 240 * 180;

// Configuration text of a wall at `distance` (mm), with `extra` members after the scene.
inline std::string wallConfig(double distance, const std::string& extra = "\"noise\": 0") {
    return "{\"scene\": {\"planes\": [{\"distance\": " + std::to_string(distance) +
           ", \"reflectivity\": 1.0}]}, " + extra + "}";
}

// Radial distance of every pixel to the wall, from the pinhole model of the module.
inline std::vector<double> wallDistances(double distance) {
    const double focal = 120.0 / std::tan(35.0 * M_PI / 180.0);
    std::vector<double> out(WALL_PIXELS);
    for (uint32_t v = 0; v < 180; ++v) {
        for (uint32_t u = 0; u < 240; ++u) {
            const double x = (u + 0.5 - 120.0) / focal, y = (v + 0.5 - 90.0) / focal;
            out[v * 240 + u] = distance * std::sqrt(x * x + y * y + 1.0);
        }
    }
    return out;
}

// The largest difference between a depth image and the distances expected of it.
inline double worstError(const std::vector<float>& depth, const std::vector<double>& expected) {
    double worst = 0;
    for (size_t i = 0; i < WALL_PIXELS; ++i)
        worst = std::max(worst, std::fabs(depth[i] - expected[i]));
    return worst;
}

}  // namespace Zentrox
