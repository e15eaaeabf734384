// HQVGA conversion timings: the scalar reference against every vectorised conversion this CPU runs,
// measured in alternating rounds on the same frame, in CPU time of the measuring thread. Prints
// "name<TAB>value<TAB>unit" lines.
//
//   bench_hqvga [--frame scene|random] [--rounds N] [--frames N] [--frame-out PATH] [--depth-out PATH]
//
// scene: a slanted surface whose phase wraps across the image, with noise (neighbouring pixels alike);
// random: uniformly random 11-bit samples (every quadrant everywhere).
// --frame-out writes the frame (345 600 bytes) and --depth-out the reference depth (43 200 floats), so
// that another implementation can time the same input and compare its output.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bench/BenchTiming.h"
#include "device/HqvgaReference.h"
#include "device/simd/HqvgaKernels.h"

using namespace Zentrox;

using namespace Zentrox::bench;

namespace {

void putSample(std::vector<uint8_t>& frame, int plane, int pixel, int value) {
    const auto raw = static_cast<uint16_t>(static_cast<unsigned>(value) & 0x7FF);
    frame[2 * (plane * HQVGA_PIXELS + pixel)] = static_cast<uint8_t>(raw);
    frame[2 * (plane * HQVGA_PIXELS + pixel) + 1] = static_cast<uint8_t>(raw >> 8);
}

std::vector<uint8_t> makeFrame(bool random) {
    std::vector<uint8_t> frame(HQVGA_FRAME_BYTES);
    uint32_t seed = 2024;
    for (int p = 0; p < HQVGA_PIXELS; ++p) {
        const int x = p % HQVGA_WIDTH, y = p / HQVGA_WIDTH;
        const double theta = 0.02 * x + 0.05 * y;
        const double amp = 150.0 + 3.0 * y;
        for (int k = 0; k < HQVGA_PLANES; ++k) {
            seed = seed * 1664525u + 1013904223u;
            if (random) {
                putSample(frame, k, p, static_cast<int>(seed >> 21) - 1024);
            } else {
                const double noise = static_cast<double>(seed >> 24) / 32.0 - 4.0;
                putSample(
                    frame, k, p,
                    static_cast<int>(std::lround(amp * std::cos(theta - k * 1.5707963267948966) + noise)));
            }
        }
    }
    return frame;
}

bool writeFile(const char* path, const void* data, size_t bytes) {
    FILE* out = std::fopen(path, "wb");
    if (out == nullptr) return false;
    const bool ok = std::fwrite(data, 1, bytes, out) == bytes;
    return std::fclose(out) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 7, frames = 100;
    std::string kind = "scene";
    const char* frameOut = nullptr;
    const char* depthOut = nullptr;
    for (int a = 1; a + 1 < argc; a += 2) {
        if (!std::strcmp(argv[a], "--rounds")) rounds = std::max(1, std::atoi(argv[a + 1]));
        if (!std::strcmp(argv[a], "--frames")) frames = std::max(1, std::atoi(argv[a + 1]));
        if (!std::strcmp(argv[a], "--frame")) kind = argv[a + 1];
        if (!std::strcmp(argv[a], "--frame-out")) frameOut = argv[a + 1];
        if (!std::strcmp(argv[a], "--depth-out")) depthOut = argv[a + 1];
    }
    if (kind != "scene" && kind != "random") {
        std::fprintf(stderr, "bench_hqvga: --frame is scene or random\n");
        return 2;
    }
    const std::vector<uint8_t> frame = makeFrame(kind == "random");
    const HqvgaParams params{0, false, hqvgaDepthScale(37500000.0f)};
    std::vector<float> depth(HQVGA_PIXELS), amplitude(HQVGA_PIXELS), confidence(HQVGA_PIXELS);
    std::vector<int16_t> raw(HQVGA_PIXELS * HQVGA_PLANES);

    hqvgaPhaseImageReference(frame.data(), depth.data(), amplitude.data(), confidence.data(), params);
    if ((frameOut != nullptr && !writeFile(frameOut, frame.data(), frame.size())) ||
        (depthOut != nullptr && !writeFile(depthOut, depth.data(), depth.size() * sizeof(float)))) {
        std::perror("bench_hqvga: writing the frame");
        return 1;
    }

    std::vector<const HqvgaKernels*> kernels{hqvgaKernelsFor(HqvgaIsa::SCALAR)};
    for (HqvgaIsa isa : {HqvgaIsa::SSE2, HqvgaIsa::AVX2, HqvgaIsa::AVX512, HqvgaIsa::ADVSIMD}) {
        if (const HqvgaKernels* k = hqvgaKernelsFor(isa)) kernels.push_back(k);
    }
    // Rounds alternate between the conversions so that a busy spell of the machine hits them alike.
    std::vector<std::vector<double>> depthTimes(kernels.size()), rawTimes(kernels.size());
    for (int r = 0; r < rounds; ++r) {
        for (size_t k = 0; k < kernels.size(); ++k) {
            const HqvgaKernels& kk = *kernels[k];
            const int n = kk.isa == HqvgaIsa::SCALAR ? std::max(1, frames / 8) : frames;
            depthTimes[k].push_back(microsecondsPerFrame(n, [&] {
                kk.phase_image(frame.data(), depth.data(), amplitude.data(), confidence.data(), params);
            }));
            rawTimes[k].push_back(
                microsecondsPerFrame(n, [&] { kk.raw_images(frame.data(), raw.data(), 0); }));
        }
    }
    const char* best = hqvgaBestKernels().name;
    for (size_t k = 0; k < kernels.size(); ++k) {
        const std::string name = k == 0 ? "scalar reference" : std::string("vectorised ") + kernels[k]->name;
        std::printf("hqvga depth %s [%s]\t%.1f\tus/frame\n", name.c_str(), kind.c_str(),
                    medianOf(depthTimes[k]));
        std::printf("hqvga raw %s [%s]\t%.1f\tus/frame\n", name.c_str(), kind.c_str(), medianOf(rawTimes[k]));
    }
    std::printf("hqvga dispatch\t%s\tisa\n", best);
    return 0;
}
