// Raw VGA frames of simple scenes for the engine and device tests, rendered with the engine's own
// layout (si4c_render.h). Suites that include this link si4c_format.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "si4c_format.h"
#include "si4c_render.h"

namespace Zentrox {

struct VgaScene {
    si4c::RawLayout layout;
    std::vector<float> distance_mm;
    std::vector<float> reflectivity;

    VgaScene(int width, int height, bool single, float wall_mm = 1000.0f, float wall_reflectivity = 0.8f)
        : layout{width, height, single},
          distance_mm(size_t(width) * height, wall_mm),
          reflectivity(size_t(width) * height, wall_reflectivity) {}

    size_t pixels() const { return distance_mm.size(); }

    std::vector<uint16_t> render(const si4c::RenderParams& params = {}) const {
        std::vector<uint16_t> raw(layout.samples());
        si4c::renderRawFrame(layout, distance_mm.data(), reflectivity.data(), params, raw.data());
        return raw;
    }
};

// Output planes of one conversion.
struct DepthPlanes {
    explicit DepthPlanes(size_t pixels, float fill = -1.0f)
        : depth(pixels, fill), amplitude(pixels, fill), confidence(pixels, fill) {}
    std::vector<float> depth, amplitude, confidence;

    // Largest |depth - truth| over pixels whose confidence is above zero; count of such pixels too.
    double worstError(const std::vector<float>& truth, size_t* valid = nullptr) const {
        double worst = 0.0;
        size_t n = 0;
        for (size_t i = 0; i < depth.size(); ++i) {
            if (!(confidence[i] > 0.0f)) continue;
            ++n;
            worst = std::fmax(worst, std::fabs(double(depth[i]) - truth[i]));
        }
        if (valid) *valid = n;
        return worst;
    }
    double meanAbsError(const std::vector<float>& truth) const {
        double sum = 0.0;
        for (size_t i = 0; i < depth.size(); ++i)
            sum += std::fabs(double(depth[i]) - truth[i]);
        return depth.empty() ? 0.0 : sum / double(depth.size());
    }
};

// A calibration blob of `width` x `height` correcting the given phase offsets per frequency slot.
inline std::vector<uint8_t> calibrationFor(bool single, int width, int height, float offset0,
                                           float offset1 = 0.0f, float gain = 1.0f, size_t min_bytes = 512) {
    si4c::Calibration cal;
    cal.width = uint16_t(width);
    cal.height = uint16_t(height);
    cal.count = single ? 1 : 2;
    const float offsets[2] = {offset0, offset1};
    for (int slot = 0; slot < cal.count; ++slot) {
        cal.entries[slot].frequency_khz = si4c::frequencyKhz(si4c::frequencyHz(single, slot));
        cal.entries[slot].phase_offset_rad = offsets[slot];
        cal.entries[slot].amplitude_gain = gain;
    }
    return si4c::writeCalibrationBlob(cal, min_bytes);
}

}  // namespace Zentrox
