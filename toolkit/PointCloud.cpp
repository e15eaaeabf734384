#include <cmath>
#include <limits>

#include "ZentroxPointCloud.h"
#include "toolkit/Vec.h"

namespace Zentrox {

using namespace simd;

namespace {

constexpr float NOT_A_NUMBER = std::numeric_limits<float>::quiet_NaN();
constexpr float LARGEST = std::numeric_limits<float>::max();

// Metres per millimetre of a valid depth, NaN for an invalid one (0, negative, NaN or infinite: every
// comparison with NaN is false).
inline float scaleOf(float depth_mm) {
    return ((depth_mm > 0.0f) & (depth_mm <= LARGEST)) ? depth_mm * 0.001f : NOT_A_NUMBER;
}

}  // namespace

ZentroxPointCloud::ZentroxPointCloud(const Intrinsics& intrinsics) {
    setIntrinsics(intrinsics);
}

int ZentroxPointCloud::setIntrinsics(const Intrinsics& intrinsics) {
    intr = intrinsics;
    ready = false;
    table.clear();
    if (!intrinsics.valid()) return ZentroxInvalidParameter;
    table.resize(size_t{intr.width} * intr.height * 3);
    float* ray = table.data();
    for (uint32_t v = 0; v < intr.height; ++v) {
        for (uint32_t u = 0; u < intr.width; ++u, ray += 3) {
            double x, y;
            if (!intr.undistortPixel(u, v, x, y)) {
                ray[0] = ray[1] = ray[2] = NOT_A_NUMBER;
                continue;
            }
            const double norm = std::sqrt(x * x + y * y + 1.0);
            ray[0] = static_cast<float>(x / norm);
            ray[1] = static_cast<float>(y / norm);
            ray[2] = static_cast<float>(1.0 / norm);
        }
    }
    ready = true;
    return ZentroxSuccess;
}

int ZentroxPointCloud::compute(const float* depth_mm, float* xyz_m) const {
    if (!ready || !depth_mm || !xyz_m) return ZentroxInvalidParameter;
    const size_t pixels = size_t{intr.width} * intr.height;
    const float* __restrict ray = table.data();
    const float* __restrict depth = depth_mm;
    float* __restrict out = xyz_m;
    size_t i = 0;
    for (; i + 4 <= pixels; i += 4) {
        // The scales of scaleOf, four at a time. Four pixels are twelve interleaved coordinates,
        // three vectors; the scales are spread over them by shuffles (the vectoriser leaves this
        // stride-3 pattern scalar on SSE2).
        const Vec4 d = load<Vec4>(depth + i);
        const Vec4 s = select((d > splat<Vec4>(0.0f)) & (d <= splat<Vec4>(LARGEST)), d * splat<Vec4>(0.001f),
                              splat<Vec4>(NOT_A_NUMBER));
        const float* r = ray + 3 * i;
        float* o = out + 3 * i;
        store(o, load<Vec4>(r) * __builtin_shufflevector(s, s, 0, 0, 0, 1));
        store(o + 4, load<Vec4>(r + 4) * __builtin_shufflevector(s, s, 1, 1, 2, 2));
        store(o + 8, load<Vec4>(r + 8) * __builtin_shufflevector(s, s, 2, 3, 3, 3));
    }
    for (; i < pixels; ++i) {
        const float s = scaleOf(depth[i]);
        out[3 * i] = ray[3 * i] * s;
        out[3 * i + 1] = ray[3 * i + 1] * s;
        out[3 * i + 2] = ray[3 * i + 2] * s;
    }
    return ZentroxSuccess;
}

int ZentroxPointCloud::depthToZ(const float* depth_mm, float* z_mm) const {
    if (!ready || !depth_mm || !z_mm) return ZentroxInvalidParameter;
    const size_t pixels = size_t{intr.width} * intr.height;
    const float* __restrict ray = table.data();
    for (size_t i = 0; i < pixels; ++i) {
        const float d = depth_mm[i];
        const float z = ray[3 * i + 2] * d;
        // A pixel without a ray gives NaN, which the comparison turns into 0 as well.
        z_mm[i] = ((d > 0.0f) & (d <= LARGEST) & (z > 0.0f)) ? z : 0.0f;
    }
    return ZentroxSuccess;
}

}  // namespace Zentrox
