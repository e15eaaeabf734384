// What counts as a depth in the toolkit's images: a finite value above 0 (millimetres).
#pragma once

#include <cstdint>
#include <limits>

namespace Zentrox {

inline bool hasDepth(float depth_mm) {
    // False for 0, negative values, NaN (every comparison with it is false) and infinity.
    return (depth_mm > 0.0f) & (depth_mm <= std::numeric_limits<float>::max());
}

inline bool validFrame(const float* depth, uint32_t width, uint32_t height) {
    return depth != nullptr && width > 0 && height > 0;
}

}  // namespace Zentrox
