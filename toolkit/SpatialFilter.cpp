#include <algorithm>
#include <cmath>
#include <cstring>

#include "ZentroxDepthFilters.h"
#include "toolkit/DepthValues.h"
#include "toolkit/Vec.h"

namespace Zentrox {

namespace {

using namespace simd;

constexpr int LANES = lanes<Vec8>();

// The weighted means of eight centre pixels over their neighbours at -REACH ... REACH, `step`
// floats apart: neighbour k weighs w[k] (t^2 - (s - c)^2)^2 where that is positive,
// t = max(edge_mm, edge_relative * c). That is the biweight (1 - ((s - c) / t)^2)^2 times t^4, a
// factor the centre's own weight w[0] t^4 shares, so no division is needed but the mean's. The gap
// t is kept below c / 2, so that neighbours without depth (0) always lie beyond it and weigh nothing
// without a test (it matters only for depths below twice edge_mm, closer than a camera measures).
// Centres without depth (0) give 0.
template <uint32_t REACH>
__attribute__((always_inline)) inline Vec8 smooth(const float* centre, ptrdiff_t step, const Vec8* w,
                                                  Vec8 edge_mm, Vec8 edge_relative) {
    const Vec8 zero = splat<Vec8>(0.0f);
    const Vec8 c = load<Vec8>(centre);
    const Vec8 t = min(max(edge_mm, edge_relative * c), splat<Vec8>(0.5f) * c);
    const Vec8 t2 = t * t;
    Vec8 total = w[0] * t2 * t2;
    Vec8 sum = total * c;
#pragma GCC unroll 8
    for (uint32_t k = 1; k <= REACH; ++k) {
        const Vec8 wk = w[k];
        const Vec8 before = load<Vec8>(centre - ptrdiff_t(k) * step);
        const Vec8 after = load<Vec8>(centre + ptrdiff_t(k) * step);
        const Vec8 db = before - c, da = after - c;
        const Vec8 ab = max(t2 - db * db, zero), aa = max(t2 - da * da, zero);
        const Vec8 wb = wk * ab * ab, wa = wk * aa * aa;
        sum += wb * before + wa * after;
        total += wb + wa;
    }
    // A total of 0 is a gap too small for floats (t^4 below their range): the pixel stays as it is.
    return select(c > zero, select(total > zero, sum / total, c), zero);
}

template <uint32_t REACH>
__attribute__((always_inline)) inline void smoothRun(const float* centre, float* out, uint32_t count,
                                                     ptrdiff_t step, const float* weights, Vec8 edge_mm,
                                                     Vec8 edge_relative) {
    Vec8 w[REACH + 1];
    for (uint32_t k = 0; k <= REACH; ++k)
        w[k] = splat<Vec8>(weights[k]);
    for (uint32_t x = 0; x < count; x += LANES)
        store(out + x, smooth<REACH>(centre + x, step, w, edge_mm, edge_relative));
}

// One pass over `count` centres (whole vectors), `step` floats between neighbours, with the taps
// unrolled for each reach.
ZENTROX_TOOLKIT_CLONES void smoothRow(const float* centre, float* out, uint32_t count, ptrdiff_t step,
                                      uint32_t reach, const float* w, float edge_mm, float edge_relative) {
    const Vec8 edge = splat<Vec8>(edge_mm), relative = splat<Vec8>(edge_relative);
    switch (reach) {
        case 1:
            return smoothRun<1>(centre, out, count, step, w, edge, relative);
        case 2:
            return smoothRun<2>(centre, out, count, step, w, edge, relative);
        case 3:
            return smoothRun<3>(centre, out, count, step, w, edge, relative);
        case 4:
            return smoothRun<4>(centre, out, count, step, w, edge, relative);
        case 5:
            return smoothRun<5>(centre, out, count, step, w, edge, relative);
        case 6:
            return smoothRun<6>(centre, out, count, step, w, edge, relative);
        default:
            return smoothRun<7>(centre, out, count, step, w, edge, relative);
    }
}

}  // namespace

ZentroxSpatialFilter::ZentroxSpatialFilter(uint32_t radius, float sigma_px, float edge_mm,
                                           float edge_relative)
    : reach(std::min(std::max(radius, 1u), MAX_RADIUS)),
      edgeMm(edge_mm > 0.0f ? edge_mm : 0.0f),
      edgeRelative(edge_relative > 0.0f ? edge_relative : 0.0f) {
    const float sigma = sigma_px > 0.0f ? sigma_px : 1.0f;
    for (uint32_t k = 0; k <= MAX_RADIUS; ++k)
        weights[k] = std::exp(-0.5f * float(k * k) / (sigma * sigma));
}

int ZentroxSpatialFilter::apply(float* depth, const float*, uint32_t width, uint32_t height) {
    if (!validFrame(depth, width, height)) return ZentroxInvalidParameter;
    // The row pass frame in rows of `stride` floats (the width rounded up to whole vectors, and
    // MAX_RADIUS zeros on either side), with MAX_RADIUS rows of zeros above and below, then one
    // padded input row. Zeros are pixels without depth and weigh nothing, so neighbours beyond the
    // frame need no test. Only the frame's own pixels are ever written; the zeros stay.
    const size_t vectors = (size_t{width} + LANES - 1) / LANES * LANES;
    const size_t stride = vectors + 2 * MAX_RADIUS;
    const size_t needed = stride * (size_t{height} + 2 * MAX_RADIUS + 1);
    if (rowPass.size() != needed) rowPass.assign(needed, 0.0f);
    float* frame = rowPass.data() + stride * MAX_RADIUS + MAX_RADIUS;  // pixel (0, 0)
    float* input = rowPass.data() + stride * (size_t{height} + 2 * MAX_RADIUS) + MAX_RADIUS;

    for (uint32_t y = 0; y < height; ++y) {
        const float* in = depth + size_t{y} * width;
        for (uint32_t x = 0; x < width; ++x)
            input[x] = hasDepth(in[x]) ? in[x] : 0.0f;
        float* out = frame + stride * y;
        smoothRow(input, out, width, 1, reach, weights, edgeMm, edgeRelative);
        // The lanes past the width are neighbours in no row but must stay without depth.
        std::fill(out + width, out + vectors, 0.0f);
    }

    const uint32_t whole = width / LANES * LANES;
    for (uint32_t y = 0; y < height; ++y) {
        const float* centre = frame + stride * y;
        float* out = depth + size_t{y} * width;
        smoothRow(centre, out, whole, ptrdiff_t(stride), reach, weights, edgeMm, edgeRelative);
        if (whole < width) {
            float last[LANES];
            smoothRow(centre + whole, last, LANES, ptrdiff_t(stride), reach, weights, edgeMm, edgeRelative);
            std::memcpy(out + whole, last, (width - whole) * sizeof(float));
        }
    }
    return ZentroxSuccess;
}

}  // namespace Zentrox
