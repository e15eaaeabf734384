#include <initializer_list>

#include "HqvgaKernels.h"
#include "HqvgaReference.h"

namespace Zentrox {

namespace {

const HqvgaKernels SCALAR_KERNELS{HqvgaIsa::SCALAR, "scalar", hqvgaPhaseImageReference,
                                  hqvgaRawImagesReference};

}  // namespace

const HqvgaKernels* hqvgaKernelsFor(HqvgaIsa isa) {
    switch (isa) {
        case HqvgaIsa::SCALAR:
            return &SCALAR_KERNELS;
        default:
            return hqvgaVectorKernelsFor(isa);
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
