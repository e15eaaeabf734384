#include <algorithm>
#include <cmath>
#include <limits>

#include "ZentroxDepthFilters.h"
#include "toolkit/DepthValues.h"
#include "toolkit/Vec.h"

namespace Zentrox {

namespace {

using namespace simd;

struct TemporalState {
    float* mean;
    float* frames;
    float* missing;
};

// One frame into the state. Every pixel takes the same steps, each outcome chosen by selects, eight
// pixels at a time; the scalar loop does the same for the last few.
ZENTROX_TOOLKIT_CLONES void updatePixels(float* __restrict depth, size_t pixels, TemporalState state,
                                         float alpha, float settled, float reset_mm, float reset_relative,
                                         float persistence) {
    float* __restrict m = state.mean;
    float* __restrict n = state.frames;
    float* __restrict gone = state.missing;
    size_t i = 0;
    for (; i + 8 <= pixels; i += 8) {
        const Vec8 d = load<Vec8>(depth + i), previous = load<Vec8>(m + i), count = load<Vec8>(n + i),
                   g = load<Vec8>(gone + i);
        const Vec8 zero = splat<Vec8>(0.0f), one = splat<Vec8>(1.0f);
        const Mask8 valid = (d > zero) & (d <= splat<Vec8>(std::numeric_limits<float>::max()));
        const Vec8 limit = max(splat<Vec8>(reset_mm), splat<Vec8>(reset_relative) * previous);
        const Mask8 restart = valid & ((count == zero) | (abs(d - previous) > limit));
        const Vec8 next = min(count + one, splat<Vec8>(settled));
        const Vec8 averaged = previous + max(splat<Vec8>(alpha), one / next) * (d - previous);
        const Mask8 held = ~valid & (count > zero) & (g < splat<Vec8>(persistence));
        const Vec8 updated = select(restart, d, averaged);
        store(m + i, select(valid, updated, previous));
        store(n + i, select(valid, select(restart, one, next), select(held, count, zero)));
        store(gone + i, select(held, g + one, zero));
        store(depth + i, select(valid, updated, select(held, previous, zero)));
    }
    for (; i < pixels; ++i) {
        const float d = depth[i];
        const float previous = m[i];
        const float count = n[i];
        const bool valid = hasDepth(d);
        const bool restart =
            valid &
            ((count == 0.0f) | (std::fabs(d - previous) > std::max(reset_mm, reset_relative * previous)));
        const float next = std::min(count + 1.0f, settled);
        const float averaged = previous + std::max(alpha, 1.0f / next) * (d - previous);
        // A pixel without depth keeps its mean while it has one and has not been gone too long.
        const bool held = !valid & (count > 0.0f) & (gone[i] < persistence);
        const float updated = restart ? d : averaged;
        m[i] = valid ? updated : previous;
        n[i] = valid ? (restart ? 1.0f : next) : (held ? count : 0.0f);
        gone[i] = held ? gone[i] + 1.0f : 0.0f;
        depth[i] = valid ? updated : (held ? previous : 0.0f);
    }
}

}  // namespace

ZentroxTemporalFilter::ZentroxTemporalFilter(float alpha_, float reset_mm, float reset_relative,
                                             uint32_t persistence_)
    // A weight outside (0, 1] (or NaN) would never settle or never move: clamp it.
    : alpha(alpha_ >= 1e-3f ? std::min(alpha_, 1.0f) : 1e-3f),
      resetMm(reset_mm > 0.0f ? reset_mm : 0.0f),
      resetRelative(reset_relative > 0.0f ? reset_relative : 0.0f),
      persistence(std::min<uint32_t>(persistence_, 65535u)) {}

void ZentroxTemporalFilter::reset() {
    std::fill(frames.begin(), frames.end(), 0.0f);
    std::fill(missing.begin(), missing.end(), 0.0f);
}

int ZentroxTemporalFilter::apply(float* depth, const float*, uint32_t width, uint32_t height) {
    if (!validFrame(depth, width, height)) return ZentroxInvalidParameter;
    const size_t pixels = size_t{width} * height;
    if (width != stateWidth || height != stateHeight) {
        // A new frame size starts every pixel afresh.
        mean.assign(pixels, 0.0f);
        frames.assign(pixels, 0.0f);
        missing.assign(pixels, 0.0f);
        stateWidth = width;
        stateHeight = height;
    }
    // Beyond this many frames alpha is the larger weight, so the count need not grow.
    updatePixels(depth, pixels, TemporalState{mean.data(), frames.data(), missing.data()}, alpha,
                 std::min(65535.0f, std::ceil(1.0f / alpha)), resetMm, resetRelative, float(persistence));
    return ZentroxSuccess;
}

}  // namespace Zentrox
