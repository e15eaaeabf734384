// VGA depth engine timings, microseconds per 640 x 480 frame in single and double frequency: the
// scalar reference loops, every vectorised conversion this CPU runs (the kernels called directly), and
// the whole engine through its C interface as the VGA device calls it (SiSDKGetPhaseImage, which also
// checks the frame's metadata rows). Rounds alternate between the conversions; times are CPU time of
// the measuring thread, so that waiting for a core on a shared machine does not count. Prints
// "name<TAB>value<TAB>unit" lines.
//
//   bench_vga_engine [--rounds N] [--frames N]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "PhaseKernels.h"
#include "bench/BenchTiming.h"
#include "si4c.h"
#include "si4c_format.h"
#include "si4c_render.h"

using namespace Zentrox::si4c;

using namespace Zentrox::bench;

namespace {

constexpr int WIDTH = 640, HEIGHT = 480;

// A room-like scene: a floor plane sloping away across the whole double-frequency range, with
// reflectivity varying across the image and sensor noise.
std::vector<uint16_t> renderScene(const RawLayout& layout) {
    const size_t pixels = size_t(layout.width) * size_t(layout.height);
    std::vector<float> distance(pixels), reflectivity(pixels);
    for (int y = 0; y < layout.height; ++y) {
        for (int x = 0; x < layout.width; ++x) {
            const size_t i = size_t(y) * layout.width + x;
            distance[i] = 300.0f + 4100.0f * float(y) / layout.height + 200.0f * std::sin(0.02f * x);
            reflectivity[i] = 0.2f + 0.7f * float((x / 40 + y / 40) % 4) / 3.0f;
        }
    }
    RenderParams params;
    params.noise = 3.0f;
    params.phase_offset_rad[0] = 0.4f;
    params.phase_offset_rad[1] = 5.9f;
    std::vector<uint16_t> raw(layout.samples());
    renderRawFrame(layout, distance.data(), reflectivity.data(), params, raw.data());
    return raw;
}

struct Timed {
    std::string name;
    std::vector<double> us;
};

}  // namespace

int main(int argc, char** argv) {
    int rounds = 3, frames = 20;
    for (int a = 1; a + 1 < argc; a += 2) {
        if (!std::strcmp(argv[a], "--rounds")) rounds = std::max(1, std::atoi(argv[a + 1]));
        if (!std::strcmp(argv[a], "--frames")) frames = std::max(1, std::atoi(argv[a + 1]));
    }
    std::vector<const PhaseKernels*> kernels{phaseKernelsFor(PhaseIsa::SCALAR)};
    for (PhaseIsa isa : {PhaseIsa::SSE2, PhaseIsa::AVX2, PhaseIsa::AVX512, PhaseIsa::ADVSIMD}) {
        if (const PhaseKernels* k = phaseKernelsFor(isa)) kernels.push_back(k);
    }
    const char* best = bestPhaseKernels().name;
    const size_t pixels = size_t(WIDTH) * HEIGHT;
    std::vector<float> depth(pixels), amplitude(pixels), confidence(pixels);

    for (bool single : {true, false}) {
        const char* mode = single ? "single" : "double";
        RawLayout layout;
        layout.width = WIDTH;
        layout.height = HEIGHT;
        layout.single = single;
        const std::vector<uint16_t> raw = renderScene(layout);
        FrequencyPlanes planes[2];
        for (int slot = 0; slot < layout.frequencies(); ++slot) {
            for (int k = 0; k < 4; ++k)
                planes[slot].phase[k] = raw.data() + layout.imageOffset(RawLayout::blockOf(slot, k));
            planes[slot].ambient = raw.data() + layout.imageOffset(RawLayout::blockOf(slot, kAmbientImage));
            planes[slot].range_mm = float(rangeMm(frequencyHz(single, slot)));
        }
        const KernelLimits limits;

        SiSDKHandle handle = nullptr;
        if (!SiSDKCreate(&handle) || !SiSDKSetSingleFreq(handle, single) ||
            !SiSDKInit(handle, WIDTH, HEIGHT) || !SiSDKStart(handle)) {
            std::fprintf(stderr, "bench_vga_engine: the engine does not start\n");
            return 1;
        }
        std::vector<Timed> timed;
        for (const PhaseKernels* k : kernels)
            timed.push_back(
                {k == kernels[0] ? std::string("scalar reference") : std::string("vectorised ") + k->name,
                 {}});
        timed.push_back({std::string("SiSDKGetPhaseImage (") + best + ")", {}});
        bool converted = true;
        for (int r = 0; r < rounds; ++r) {
            for (size_t k = 0; k < kernels.size(); ++k) {
                const PhaseKernels& kk = *kernels[k];
                const int n = kk.isa == PhaseIsa::SCALAR ? std::max(1, frames / 4) : frames;
                timed[k].us.push_back(microsecondsPerFrame(n, [&] {
                    if (single)
                        kk.single_frequency(planes[0], limits, 0, pixels, depth.data(), amplitude.data(),
                                            confidence.data());
                    else
                        kk.double_frequency(planes[0], planes[1], limits, 0, pixels, depth.data(),
                                            amplitude.data(), confidence.data());
                }));
            }
            timed.back().us.push_back(microsecondsPerFrame(frames, [&] {
                converted &=
                    SiSDKGetPhaseImage(handle, raw.data(), depth.data(), amplitude.data(), confidence.data());
            }));
        }
        SiSDKDestroy(&handle);
        if (!converted) {
            std::fprintf(stderr, "bench_vga_engine: the engine refused a frame\n");
            return 1;
        }
        const double scalar = medianOf(timed[0].us);
        for (const Timed& t : timed)
            std::printf("vga engine %s [%s]\t%.0f\tus/frame\n", t.name.c_str(), mode, medianOf(t.us));
        for (size_t k = 1; k < timed.size(); ++k)
            std::printf("vga engine scalar reference / %s [%s]\t%.1f\tx\n", timed[k].name.c_str(), mode,
                        scalar / medianOf(timed[k].us));
    }
    std::printf("vga engine dispatch on this machine\t%s\t\n", best);
    return 0;
}
