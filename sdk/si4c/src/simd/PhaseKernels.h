// The engine's per-pixel conversions of every instruction set this build carries, and the choice among
// them. Each entry has the signature and the contract of the scalar loops of PhaseKernel.h, which stay
// the reference: amplitude and confidence come out bit for bit the same, depth within one unit in the
// last place of single precision (both use double-precision atan2, from different libraries).
#pragma once

#include <cstddef>

#include "PhaseKernel.h"
#include "SimdTable.h"

namespace Zentrox {
namespace si4c {

using PhaseIsa = simd::Isa;

using SingleFrequencyFn = void (*)(const FrequencyPlanes& f, const KernelLimits& limits, size_t begin,
                                   size_t end, float* depth, float* amplitude, float* confidence);
using DoubleFrequencyFn = void (*)(const FrequencyPlanes& f0, const FrequencyPlanes& f1,
                                   const KernelLimits& limits, size_t begin, size_t end, float* depth,
                                   float* amplitude, float* confidence);

struct PhaseFunctions {
    SingleFrequencyFn single_frequency;
    DoubleFrequencyFn double_frequency;
};
using PhaseKernels = simd::KernelTable<PhaseFunctions>;

// The kernels of one instruction set; null when this build lacks them or this CPU cannot run them.
// SCALAR (the loops of PhaseKernel.cpp) is always there.
const PhaseKernels* phaseKernelsFor(PhaseIsa isa);

// The fastest kernels this CPU runs, chosen once (thread-safe).
const PhaseKernels& bestPhaseKernels();

// Whether this program carries vectorised kernels: SLEEF was found when the build was configured and
// the program is not linked wholly statically (si4c_static).
bool phaseVectorBuild();

// The vectorised part of phaseKernelsFor (PhaseVectorTable.cpp or PhaseNoVector.cpp).
const PhaseKernels* phaseVectorKernelsFor(PhaseIsa isa);

// One table per instruction set, defined by PhaseIsaKernels.h as built for that set.
extern const PhaseKernels phaseKernelsSse2, phaseKernelsAvx2, phaseKernelsAvx512, phaseKernelsAdvsimd;

}  // namespace si4c
}  // namespace Zentrox
