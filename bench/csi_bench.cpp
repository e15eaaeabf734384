// CSI frame conversion timings: each converter on the buffer its board delivers for one 240 x 180
// sub-frame, against memcpy of the same output bytes, in alternating rounds, in CPU time of the
// measuring thread. Prints "name<TAB>value<TAB>unit" lines.
//
//   bench_csi [--rounds N] [--frames N]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "sensor/csi/FrameConverters.h"

using namespace Zentrox;

namespace {

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Case {
    const char* name;
    FrameConverter convert;
    size_t length;  // the buffer the driver reports
    uint32_t width;
};

volatile uint8_t sink;

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5, frames = 400;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--rounds")) rounds = std::max(1, std::atoi(argv[i + 1]));
        if (!std::strcmp(argv[i], "--frames")) frames = std::max(1, std::atoi(argv[i + 1]));
    }
    const Case cases[] = {
        {"copyFrame 86400 B", copyFrame, 86400, 240},
        {"stripRowPadding 92160 B", stripRowPadding, 92160, 240},
        {"reorderRowPairs 115200 B", reorderRowPairs, 115200, 320},
        {"unpackRaw12 66240 B", unpackRaw12, 66240, 240},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> source(c.length);
        for (size_t i = 0; i < source.size(); ++i)
            source[i] = uint8_t(i * 131 + 7);
        const size_t out = c.width == 320 ? 115200 : 86400;
        std::vector<uint8_t> destination(out);
        std::vector<double> convert, copy;
        for (int r = 0; r < rounds; ++r) {
            double t0 = cpuSeconds();
            for (int f = 0; f < frames; ++f) {
                FrameSink s{destination.data(), destination.size(), 0};
                c.convert(source.data(), source.size(), c.width, s);
                sink = destination[size_t(f) % out];
            }
            double t1 = cpuSeconds();
            for (int f = 0; f < frames; ++f) {
                std::memcpy(destination.data(), source.data(), std::min(out, source.size()));
                sink = destination[size_t(f) % out];
            }
            double t2 = cpuSeconds();
            convert.push_back((t1 - t0) / frames * 1e6);
            copy.push_back((t2 - t1) / frames * 1e6);
        }
        std::sort(convert.begin(), convert.end());
        std::sort(copy.begin(), copy.end());
        const double conv = convert[convert.size() / 2], ref = copy[copy.size() / 2];
        std::printf("csi %s\t%.1f\tus/sub-frame\n", c.name, conv);
        std::printf("csi %s / memcpy of its output\t%.2f\tx\n", c.name, ref > 0 ? conv / ref : 0.0);
    }
    return 0;
}
