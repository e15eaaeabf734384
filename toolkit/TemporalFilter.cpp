#include <algorithm>
#include <cmath>

#include "ZentroxDepthFilters.h"
#include "toolkit/DepthValues.h"

namespace Zentrox {

ZentroxTemporalFilter::ZentroxTemporalFilter(float alpha_, float reset_mm, float reset_relative,
                                             uint32_t persistence_)
    // A weight outside (0, 1] (or NaN) would never settle or never move: clamp it.
    : alpha(alpha_ >= 1e-3f ? std::min(alpha_, 1.0f) : 1e-3f),
      resetMm(reset_mm > 0.0f ? reset_mm : 0.0f),
      resetRelative(reset_relative > 0.0f ? reset_relative : 0.0f),
      persistence(std::min<uint32_t>(persistence_, 65535u)) {}

void ZentroxTemporalFilter::reset() {
    std::fill(frames.begin(), frames.end(), uint16_t{0});
    std::fill(missing.begin(), missing.end(), uint16_t{0});
}

int ZentroxTemporalFilter::apply(float* depth, const float*, uint32_t width, uint32_t height) {
    if (!validFrame(depth, width, height)) return ZentroxInvalidParameter;
    const size_t pixels = size_t{width} * height;
    if (width != stateWidth || height != stateHeight) {
        // A new frame size starts every pixel afresh.
        mean.assign(pixels, 0.0f);
        frames.assign(pixels, 0);
        missing.assign(pixels, 0);
        stateWidth = width;
        stateHeight = height;
    }
    // Beyond this many frames alpha is the larger weight, so the count need not grow.
    const uint16_t settled = static_cast<uint16_t>(std::min(65535.0f, std::ceil(1.0f / alpha)));
    for (size_t i = 0; i < pixels; ++i) {
        const float d = depth[i];
        if (hasDepth(d)) {
            const float m = mean[i];
            const uint16_t n = frames[i];
            if (n == 0 || std::fabs(d - m) > std::max(resetMm, resetRelative * m)) {
                mean[i] = d;
                frames[i] = 1;
            } else {
                const uint16_t next = std::min<uint16_t>(n + 1, settled);
                const float weight = std::max(alpha, 1.0f / next);
                mean[i] = m + weight * (d - m);
                frames[i] = next;
            }
            missing[i] = 0;
            depth[i] = mean[i];
        } else if (frames[i] > 0 && missing[i] < persistence) {
            ++missing[i];
            depth[i] = mean[i];
        } else {
            frames[i] = 0;
            missing[i] = 0;
            depth[i] = 0.0f;
        }
    }
    return ZentroxSuccess;
}

}  // namespace Zentrox
