// Timing helpers of the benchmark programs: figures in CPU time of the measuring thread, so that on a
// shared machine the time spent waiting for a core does not count.
#pragma once

#include <time.h>

#include <algorithm>
#include <vector>

namespace Zentrox {
namespace bench {

inline double threadMicroseconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

inline double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <class F>
double microsecondsPerFrame(int frames, F&& convert) {
    const double start = threadMicroseconds();
    for (int f = 0; f < frames; ++f)
        convert();
    return (threadMicroseconds() - start) / frames;
}

}  // namespace bench
}  // namespace Zentrox
