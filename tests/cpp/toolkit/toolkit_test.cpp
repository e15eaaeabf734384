// The toolkit's rays against the scene renderer's camera, the distortion inverse, and filters that
// allocate nothing once they have seen a frame.
#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "ZentroxDepthFilters.h"
#include "ZentroxPointCloud.h"
#include "ZentroxScene.h"
#include "tests/cpp/hqvga_simd/CountingAllocator.h"

using namespace Zentrox;

namespace {

// OpenCV's cx = (width - 1) / 2 is the renderer's cx = width / 2 with rays through u + 0.5.
TEST(Toolkit, RaysOfTheFieldOfViewAreTheRenderersRays) {
    for (double fov : {50.0, 70.0, 90.0}) {
        const ZentroxPointCloud cloud(Intrinsics::fromFieldOfView(240, 180, fov));
        const PinholeCamera camera = PinholeCamera::fromFieldOfView(240, 180, fov);
        ASSERT_EQ(cloud.rays().size(), 240u * 180u * 3u);
        double worst = 0.0;
        for (uint32_t v = 0; v < 180; ++v) {
            for (uint32_t u = 0; u < 240; ++u) {
                const ScenePoint r = camera.ray(u, v);
                const float* t = &cloud.rays()[(size_t{v} * 240 + u) * 3];
                worst =
                    std::max({worst, std::fabs(t[0] - r.x), std::fabs(t[1] - r.y), std::fabs(t[2] - r.z)});
            }
        }
        EXPECT_LT(worst, 1e-6) << fov;
    }
}

TEST(Toolkit, UndistortionInvertsTheDistortion) {
    Intrinsics in = Intrinsics::fromFieldOfView(64, 48, 60.0);
    const double coefficients[5] = {-0.28, 0.09, 0.0012, -0.0007, -0.012};
    std::copy(coefficients, coefficients + 5, in.distortion);
    for (double u = 0; u < 64; u += 3.5) {
        for (double v = 0; v < 48; v += 2.5) {
            double x, y, xd, yd;
            ASSERT_TRUE(in.undistortPixel(u, v, x, y)) << u << " " << v;
            in.distort(x, y, xd, yd);
            EXPECT_NEAR(xd * in.fx + in.cx, u, 1e-9);
            EXPECT_NEAR(yd * in.fy + in.cy, v, 1e-9);
        }
    }
    // Strong barrel distortion folds back before the corners of a wide view: no ray reaches them.
    Intrinsics folded = Intrinsics::fromFieldOfView(64, 48, 100.0);
    const double strong[5] = {-0.3, 0.1, 0.0, 0.0, -0.02};
    std::copy(strong, strong + 5, folded.distortion);
    double x, y;
    EXPECT_FALSE(folded.undistortPixel(0.0, 0.0, x, y));
    const ZentroxPointCloud cloud(folded);
    EXPECT_TRUE(std::isnan(cloud.rays()[0]));
    EXPECT_FALSE(std::isnan(cloud.rays()[(24 * 64 + 32) * 3]));

    Intrinsics bad = in;
    bad.fx = std::nan("");
    ZentroxPointCloud refused;
    EXPECT_EQ(refused.setIntrinsics(bad), ZentroxInvalidParameter);
    std::vector<float> depth(64 * 48, 1000.0f), xyz(64 * 48 * 3);
    EXPECT_EQ(refused.compute(depth.data(), xyz.data()), ZentroxInvalidParameter);
}

// Every size, including those whose rows end inside a vector: a flat surface stays flat, a hole stays
// a hole, and nothing is read or written outside the frame (the sanitizer builds check that).
TEST(Toolkit, FiltersKeepAFlatSurfaceAtEverySize) {
    for (const auto& size : {std::pair<uint32_t, uint32_t>{1, 1}, {3, 2}, {7, 5}, {9, 3}, {17, 4}, {33, 9}}) {
        const uint32_t w = size.first, h = size.second;
        std::vector<float> depth(w * h, 1500.0f), amplitude(w * h, 100.0f);
        depth[(w * h) / 2] = 0.0f;
        ZentroxConfidenceFilter confidence(10.0f);
        ZentroxFlyingPixelFilter flying;
        ZentroxSpatialFilter spatial(3);
        ZentroxTemporalFilter temporal;
        ZentroxFilterChain chain({&confidence, &flying, &spatial, &temporal});
        ASSERT_EQ(chain.apply(depth.data(), amplitude.data(), w, h), ZentroxSuccess);
        for (uint32_t i = 0; i < w * h; ++i)
            EXPECT_NEAR(depth[i], i == (w * h) / 2 ? 0.0f : 1500.0f, 0.01f)
                << w << " x " << h << " pixel " << i;
    }
}

TEST(Toolkit, FiltersAllocateNothingAfterTheFirstFrame) {
    const uint32_t w = 640, h = 480;
    std::vector<float> depth(w * h), amplitude(w * h, 100.0f);
    ZentroxConfidenceFilter confidence(10.0f);
    ZentroxFlyingPixelFilter flying;
    ZentroxSpatialFilter spatial;
    ZentroxTemporalFilter temporal;
    ZentroxFilterChain chain({&confidence, &flying, &spatial, &temporal});
    const auto frame = [&](int f) {
        for (uint32_t i = 0; i < w * h; ++i)
            depth[i] = (i % w < w / 2 ? 1200.0f : 2400.0f) + float((i * 7 + f * 13) % 17);
        return chain.apply(depth.data(), amplitude.data(), w, h);
    };
    ASSERT_EQ(frame(0), ZentroxSuccess);
    const long before = test::allocationCount();
    for (int f = 1; f < 5; ++f)
        ASSERT_EQ(frame(f), ZentroxSuccess);
    // Under a sanitizer, which owns operator new, nothing is counted (-1).
    if (ZENTROX_COUNTING_ALLOCATOR) {
        EXPECT_EQ(test::allocationCount() - before, 0);
    }
    // Refusals leave the frame as it was: no amplitude for the confidence filter, no size.
    const std::vector<float> kept = depth;
    EXPECT_EQ(chain.apply(depth.data(), nullptr, w, h), ZentroxInvalidParameter);
    EXPECT_EQ(spatial.apply(depth.data(), nullptr, w, 0), ZentroxInvalidParameter);
    EXPECT_EQ(depth, kept);
}

}  // namespace
