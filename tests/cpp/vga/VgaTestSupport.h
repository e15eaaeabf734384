// Shared pieces of the VGA device tests: an instant sleep seam, an opened device on a sensor double,
// conversion of rendered frames, and counts of open descriptors and mappings of "cali.bin".
#pragma once

#include <dirent.h>
#include <errno.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "device/ZentroxDeviceVGA.h"
#include "system/KernelSeam.h"
#include "tests/fakes/ModuleMemorySensor.h"
#include "tests/fakes/VgaFrames.h"

namespace Zentrox {

// Records every sleep and returns at once; optionally interrupts the first one.
class InstantSleepKernel : public LibcKernel {
  public:
    int nanosleep(const struct timespec* request, struct timespec* remaining) override {
        requests.push_back(*request);
        if (interruptFirst && requests.size() == 1) {
            if (remaining) *remaining = timespec{0, request->tv_nsec / 2};
            errno = EINTR;
            return -1;
        }
        return 0;
    }
    long totalMs() const {
        long ns = 0;
        for (const timespec& t : requests)
            ns += t.tv_sec * 1000000000L + t.tv_nsec;
        return ns / 1000000;
    }
    std::vector<timespec> requests;
    bool interruptFirst = false;
};

inline int countOpenDescriptors() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

inline int countCalibrationMappings() {
    std::ifstream maps("/proc/self/maps");
    int n = 0;
    for (std::string line; std::getline(maps, line);)
        if (line.size() >= 9 && line.compare(line.size() - 9, 9, "/cali.bin") == 0) ++n;
    return n;
}

inline bool writeFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

// Converts `raw` through the device into fresh planes; false when the device refuses.
inline bool convert(ZentroxDeviceVGA& device, const std::vector<uint16_t>& raw, DepthPlanes& out) {
    return device.getPhaseImage(reinterpret_cast<const uint8_t*>(raw.data()), out.depth.data(),
                                out.amplitude.data(), out.confidence.data());
}

inline double meanDepth(const DepthPlanes& out) {
    double sum = 0;
    for (float d : out.depth)
        sum += d;
    return out.depth.empty() ? 0.0 : sum / double(out.depth.size());
}

}  // namespace Zentrox
