// The depth engine behind the C interface: mode, geometry, calibration and algorithm parameters, and
// the conversion of one raw frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "AlgorithmConfig.h"
#include "PhaseKernel.h"
#include "PhaseKernels.h"
#include "si4c_format.h"

namespace Zentrox {
namespace si4c {

class Engine {
  public:
    // Converts with the fastest kernels this CPU runs; tests hand in others.
    explicit Engine(const PhaseKernels& table = bestPhaseKernels()) : kernels(&table) {}

    bool isSingleFrequency() const { return requestedSingle.load(std::memory_order_relaxed); }
    void setSingleFrequency(bool single) { requestedSingle.store(single, std::memory_order_relaxed); }
    bool init(int width, int height);
    bool setCalibration(const void* data, uint32_t length);
    void setConfigDirectory(const char* path) { configDirectory = path ? path : ""; }
    bool start();
    bool convert(const void* raw, float* depth, float* amplitude, float* confidence) const;

    // Which calibration and parameters the running engine uses (for tests and diagnostics).
    bool calibrated() const { return started && calibrationInUse; }
    const AlgorithmParams& params() const { return algorithm; }
    PhaseIsa conversionIsa() const { return kernels->isa; }

  private:
    void warnOnce(const char* what);
    void setUpFrequencies();

    const PhaseKernels* kernels;
    std::atomic<bool> requestedSingle{true};
    bool initialised = false;
    bool started = false;
    RawLayout layout;
    std::string configDirectory;
    AlgorithmParams algorithm;
    Calibration calibration;
    bool calibrationGiven = false;
    bool calibrationInUse = false;
    bool warned = false;
    FrequencyPlanes planes[2];
    KernelLimits limits;
};

}  // namespace si4c
}  // namespace Zentrox
