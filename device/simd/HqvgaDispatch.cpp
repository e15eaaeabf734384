#include <initializer_list>

#include "HqvgaKernels.h"
#include "HqvgaReference.h"

namespace Zentrox {

namespace {

const HqvgaKernels SCALAR_KERNELS{HqvgaIsa::SCALAR, "scalar", hqvgaPhaseImageReference,
                                  hqvgaRawImagesReference};

#if ZENTROX_HAVE_SLEEF && defined(__x86_64__)
const HqvgaKernels SSE2_KERNELS{HqvgaIsa::SSE2, "sse2", hqvgaPhaseImageSse2, hqvgaRawImagesSse2};
const HqvgaKernels AVX2_KERNELS{HqvgaIsa::AVX2, "avx2", hqvgaPhaseImageAvx2, hqvgaRawImagesAvx2};
const HqvgaKernels AVX512_KERNELS{HqvgaIsa::AVX512, "avx512", hqvgaPhaseImageAvx512, hqvgaRawImagesAvx512};
#endif
#if ZENTROX_HAVE_SLEEF && defined(__aarch64__)
const HqvgaKernels ADVSIMD_KERNELS{HqvgaIsa::ADVSIMD, "advsimd", hqvgaPhaseImageAdvsimd,
                                   hqvgaRawImagesAdvsimd};
#endif

}  // namespace

bool hqvgaVectorBuild() {
    return ZENTROX_HAVE_SLEEF != 0;
}

const HqvgaKernels* hqvgaKernelsFor(HqvgaIsa isa) {
    switch (isa) {
        case HqvgaIsa::SCALAR:
            return &SCALAR_KERNELS;
#if ZENTROX_HAVE_SLEEF && defined(__x86_64__)
        // The CPU checks include the operating system's support for the wider registers.
        case HqvgaIsa::SSE2:
            return &SSE2_KERNELS;
        case HqvgaIsa::AVX2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? &AVX2_KERNELS : nullptr;
        case HqvgaIsa::AVX512:
            return __builtin_cpu_supports("avx512f") ? &AVX512_KERNELS : nullptr;
#endif
#if ZENTROX_HAVE_SLEEF && defined(__aarch64__)
        case HqvgaIsa::ADVSIMD:
            return &ADVSIMD_KERNELS;  // part of every AArch64 CPU
#endif
        default:
            return nullptr;
    }
}

const HqvgaKernels& hqvgaBestKernels() {
    static const HqvgaKernels& best = []() -> const HqvgaKernels& {
        for (HqvgaIsa isa : {HqvgaIsa::AVX512, HqvgaIsa::AVX2, HqvgaIsa::SSE2, HqvgaIsa::ADVSIMD}) {
            if (const HqvgaKernels* kernels = hqvgaKernelsFor(isa)) return *kernels;
        }
        return SCALAR_KERNELS;
    }();
    return best;
}

}  // namespace Zentrox
