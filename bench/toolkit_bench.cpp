// The 3D toolkit on a 640 x 480 depth image: the point cloud and z-depth from cached rays, each depth
// filter and the whole chain (confidence, flying pixel, spatial, temporal), in microseconds per frame
// of CPU time of the measuring thread (one core). Prints "name<TAB>value<TAB>unit" lines.
//
//   bench_toolkit [--rounds N] [--frames N] [--depth-out PATH]
//
// The depth image is synthetic: a tilted wall with a box in front of it, a few holes, and noise.
// --depth-out writes it (640 x 480 float32) so that another implementation can time the same input.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "ZentroxDepthFilters.h"
#include "ZentroxPointCloud.h"
#include "bench/BenchTiming.h"

using namespace Zentrox;
using namespace Zentrox::bench;

namespace {

constexpr uint32_t W = 640, H = 480;

std::vector<float> makeDepth(uint32_t frame) {
    std::vector<float> depth(W * H);
    uint32_t seed = 77 + frame * 7919u;
    for (uint32_t v = 0; v < H; ++v) {
        for (uint32_t u = 0; u < W; ++u) {
            seed = seed * 1664525u + 1013904223u;
            const float noise = float(seed >> 24) / 16.0f - 8.0f;  // +-8 mm
            float d = 1800.0f + 1.2f * u + 0.4f * v;
            if (u > 200 && u < 380 && v > 150 && v < 330) d = 1200.0f;
            if ((seed >> 8) % 97 == 0) d = 0.0f;
            depth[size_t{v} * W + u] = d > 0.0f ? d + noise : 0.0f;
        }
    }
    return depth;
}

// Median over rounds of the microseconds per frame of `body` run on fresh copies of the input.
template <class F>
double timeFrames(int rounds, int frames, const std::vector<float>& input, std::vector<float>& work,
                  F&& body) {
    std::vector<double> figures;
    for (int r = 0; r < rounds; ++r) {
        double total = 0.0;
        for (int f = 0; f < frames; ++f) {
            std::memcpy(work.data(), input.data(), input.size() * sizeof(float));
            const double start = threadMicroseconds();
            body();
            total += threadMicroseconds() - start;
        }
        figures.push_back(total / frames);
    }
    return medianOf(figures);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5, frames = 50;
    const char* depthOut = nullptr;
    for (int a = 1; a + 1 < argc; a += 2) {
        if (!std::strcmp(argv[a], "--rounds")) rounds = std::max(1, std::atoi(argv[a + 1]));
        if (!std::strcmp(argv[a], "--frames")) frames = std::max(1, std::atoi(argv[a + 1]));
        if (!std::strcmp(argv[a], "--depth-out")) depthOut = argv[a + 1];
    }
    const std::vector<float> depth = makeDepth(0);
    if (depthOut) {
        FILE* out = std::fopen(depthOut, "wb");
        if (!out || std::fwrite(depth.data(), sizeof(float), depth.size(), out) != depth.size() ||
            std::fclose(out) != 0) {
            std::fprintf(stderr, "bench_toolkit: cannot write %s\n", depthOut);
            return 1;
        }
    }
    const std::vector<float> amplitude(W * H, 500.0f);
    std::vector<float> work(W * H), xyz(W * H * 3), z(W * H);

    const ZentroxPointCloud cloud(Intrinsics::fromFieldOfView(W, H, 70.0));
    // Touch the outputs once, so that no figure holds the first use of fresh pages.
    cloud.compute(depth.data(), xyz.data());
    cloud.depthToZ(depth.data(), z.data());
    std::printf("toolkit point cloud 640x480 [C++]\t%.1f\tus/frame\n",
                timeFrames(rounds, frames, depth, work, [&] { cloud.compute(work.data(), xyz.data()); }));
    // What moving the bytes alone costs: the ray table copied to the output.
    std::printf("toolkit point cloud 640x480 [copy of the ray table, reference]\t%.1f\tus/frame\n",
                timeFrames(rounds, frames, depth, work, [&] {
                    std::memcpy(xyz.data(), cloud.rays().data(), xyz.size() * sizeof(float));
                }));
    std::printf("toolkit depth to z 640x480 [C++]\t%.1f\tus/frame\n",
                timeFrames(rounds, frames, depth, work, [&] { cloud.depthToZ(work.data(), z.data()); }));

    ZentroxConfidenceFilter confidence(100.0f);
    ZentroxFlyingPixelFilter flying;
    ZentroxSpatialFilter spatial;
    ZentroxTemporalFilter temporal;
    ZentroxFilterChain chain({&confidence, &flying, &spatial, &temporal});
    const struct {
        const char* name;
        ZentroxDepthFilter* filter;
    } rows[] = {{"confidence", &confidence},
                {"flying pixel", &flying},
                {"spatial", &spatial},
                {"temporal", &temporal},
                {"chain of all four", &chain}};
    for (const auto& row : rows) {
        // A first frame sizes the buffers; the temporal filter then averages a static scene.
        std::memcpy(work.data(), depth.data(), depth.size() * sizeof(float));
        row.filter->apply(work.data(), amplitude.data(), W, H);
        const double us = timeFrames(rounds, frames, depth, work,
                                     [&] { row.filter->apply(work.data(), amplitude.data(), W, H); });
        std::printf("toolkit filter %s 640x480 [C++]\t%.1f\tus/frame\n", row.name, us);
    }
    return 0;
}
