#include <algorithm>
#include <cmath>

#include "ZentroxDepthFilters.h"
#include "toolkit/DepthValues.h"

namespace Zentrox {

namespace {

// Adds the neighbours `neighbour[x]` with the spatial weight `w` to the sums of the centres
// `centre[x]`, for n pixels. The depth weight is the biweight (1 - e^2)^2 of e = difference / gap,
// 0 beyond the gap and for neighbours without depth (0 after the first pass, which cleans them).
inline void accumulate(const float* __restrict centre, const float* __restrict neighbour, float w,
                       const float* __restrict inverse_gap, float* __restrict sum, float* __restrict total,
                       uint32_t n) {
    for (uint32_t x = 0; x < n; ++x) {
        const float s = neighbour[x];
        const float e = (s - centre[x]) * inverse_gap[x];
        const float g = std::max(0.0f, 1.0f - e * e);
        const float weight = s > 0.0f ? w * g * g : 0.0f;
        sum[x] += weight * s;
        total[x] += weight;
    }
}

}  // namespace

ZentroxSpatialFilter::ZentroxSpatialFilter(uint32_t radius, float sigma_px, float edge_mm,
                                           float edge_relative)
    : reach(std::min(std::max(radius, 1u), MAX_RADIUS)),
      edgeMm(edge_mm > 0.0f ? edge_mm : 0.0f),
      edgeRelative(edge_relative > 0.0f ? edge_relative : 0.0f) {
    const float sigma = sigma_px > 0.0f ? sigma_px : 1.0f;
    for (uint32_t k = 0; k <= 2 * MAX_RADIUS; ++k) {
        const float d = float(k) - float(MAX_RADIUS);
        weights[k] = std::exp(-0.5f * d * d / (sigma * sigma));
    }
}

int ZentroxSpatialFilter::apply(float* depth, const float*, uint32_t width, uint32_t height) {
    if (!validFrame(depth, width, height)) return ZentroxInvalidParameter;
    const size_t pixels = size_t{width} * height;
    // The frame after the row pass, then four rows: a cleaned input row, sums, weight totals and
    // inverse gaps.
    rowPass.resize(pixels + size_t{width} * 4);
    float* clean = rowPass.data() + pixels;
    float* sum = clean + width;
    float* total = sum + width;
    float* inverse = total + width;
    const float* w = weights + MAX_RADIUS;  // w[k] for k in -reach ... reach

    const auto start = [&](const float* centre) {
        for (uint32_t x = 0; x < width; ++x) {
            // Both parameters 0 give an infinite inverse: no neighbour then has a weight.
            inverse[x] = 1.0f / std::max(edgeMm, edgeRelative * centre[x]);
            sum[x] = w[0] * centre[x];
            total[x] = w[0];
        }
    };
    const auto finish = [&](const float* centre, float* out) {
        for (uint32_t x = 0; x < width; ++x)
            out[x] = centre[x] > 0.0f ? sum[x] / total[x] : 0.0f;
    };

    // Along rows, each row cleaned of values that are no depth first.
    for (uint32_t y = 0; y < height; ++y) {
        const float* in = depth + size_t{y} * width;
        for (uint32_t x = 0; x < width; ++x)
            clean[x] = hasDepth(in[x]) ? in[x] : 0.0f;
        start(clean);
        for (uint32_t k = 1; k <= reach && k < width; ++k) {
            const uint32_t n = width - k;
            accumulate(clean, clean + k, w[k], inverse, sum, total, n);              // right neighbours
            accumulate(clean + k, clean, w[k], inverse + k, sum + k, total + k, n);  // left neighbours
        }
        finish(clean, rowPass.data() + size_t{y} * width);
    }

    // Along columns, from the row pass back into `depth`.
    for (uint32_t y = 0; y < height; ++y) {
        const float* centre = rowPass.data() + size_t{y} * width;
        start(centre);
        for (uint32_t k = 1; k <= reach; ++k) {
            if (y >= k) accumulate(centre, centre - size_t{k} * width, w[k], inverse, sum, total, width);
            if (y + k < height)
                accumulate(centre, centre + size_t{k} * width, w[k], inverse, sum, total, width);
        }
        finish(centre, depth + size_t{y} * width);
    }
    return ZentroxSuccess;
}

}  // namespace Zentrox
