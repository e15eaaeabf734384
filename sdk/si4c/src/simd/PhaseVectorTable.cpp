// The vectorised conversions of this build, offered only where the CPU runs them.
#include "PhaseKernels.h"

namespace Zentrox {
namespace si4c {

namespace {

#if defined(__x86_64__)
const PhaseKernels SSE2_KERNELS{PhaseIsa::SSE2, "sse2", convertSingleFrequencySse2,
                                convertDoubleFrequencySse2};
const PhaseKernels AVX2_KERNELS{PhaseIsa::AVX2, "avx2", convertSingleFrequencyAvx2,
                                convertDoubleFrequencyAvx2};
const PhaseKernels AVX512_KERNELS{PhaseIsa::AVX512, "avx512", convertSingleFrequencyAvx512,
                                  convertDoubleFrequencyAvx512};
#endif
#if defined(__aarch64__)
const PhaseKernels ADVSIMD_KERNELS{PhaseIsa::ADVSIMD, "advsimd", convertSingleFrequencyAdvsimd,
                                   convertDoubleFrequencyAdvsimd};
#endif

}  // namespace

bool phaseVectorBuild() {
    return true;
}

const PhaseKernels* phaseVectorKernelsFor(PhaseIsa isa) {
    switch (isa) {
#if defined(__x86_64__)
        // The CPU checks include the operating system's support for the wider registers.
        case PhaseIsa::SSE2:
            return &SSE2_KERNELS;  // part of every x86-64 CPU
        case PhaseIsa::AVX2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? &AVX2_KERNELS : nullptr;
        case PhaseIsa::AVX512:
            return __builtin_cpu_supports("avx512f") ? &AVX512_KERNELS : nullptr;
#endif
#if defined(__aarch64__)
        case PhaseIsa::ADVSIMD:
            return &ADVSIMD_KERNELS;  // part of every AArch64 CPU
#endif
        default:
            return nullptr;
    }
}

}  // namespace si4c
}  // namespace Zentrox
