// The vectorised kernels of this build, offered only where the CPU runs them. Linked into every
// program except those built without them (see device/CMakeLists.txt); those get HqvgaNoVector.cpp
// instead and run the scalar conversion.
#include "HqvgaKernels.h"

namespace Zentrox {

namespace {

#if defined(__x86_64__)
const HqvgaKernels SSE2_KERNELS{HqvgaIsa::SSE2, "sse2", hqvgaPhaseImageSse2, hqvgaRawImagesSse2};
const HqvgaKernels AVX2_KERNELS{HqvgaIsa::AVX2, "avx2", hqvgaPhaseImageAvx2, hqvgaRawImagesAvx2};
const HqvgaKernels AVX512_KERNELS{HqvgaIsa::AVX512, "avx512", hqvgaPhaseImageAvx512, hqvgaRawImagesAvx512};
#endif
#if defined(__aarch64__)
const HqvgaKernels ADVSIMD_KERNELS{HqvgaIsa::ADVSIMD, "advsimd", hqvgaPhaseImageAdvsimd,
                                   hqvgaRawImagesAdvsimd};
#endif

}  // namespace

bool hqvgaVectorBuild() {
    return true;
}

const HqvgaKernels* hqvgaVectorKernelsFor(HqvgaIsa isa) {
    switch (isa) {
#if defined(__x86_64__)
        // The CPU checks include the operating system's support for the wider registers.
        case HqvgaIsa::SSE2:
            return &SSE2_KERNELS;
        case HqvgaIsa::AVX2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? &AVX2_KERNELS : nullptr;
        case HqvgaIsa::AVX512:
            return __builtin_cpu_supports("avx512f") ? &AVX512_KERNELS : nullptr;
#endif
#if defined(__aarch64__)
        case HqvgaIsa::ADVSIMD:
            return &ADVSIMD_KERNELS;  // part of every AArch64 CPU
#endif
        default:
            return nullptr;
    }
}

}  // namespace Zentrox
