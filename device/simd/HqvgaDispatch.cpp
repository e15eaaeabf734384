#include "SimdDispatch.h"
#include "device/HqvgaReference.h"
#include "device/simd/HqvgaKernels.h"

namespace Zentrox {

namespace {

const HqvgaKernels SCALAR_KERNELS{
    {hqvgaPhaseImageReference, hqvgaRawImagesReference}, HqvgaIsa::SCALAR, "scalar"};

}  // namespace

const HqvgaKernels* hqvgaKernelsFor(HqvgaIsa isa) {
    return simd::kernelsFor(SCALAR_KERNELS, hqvgaVectorKernelsFor, isa);
}

const HqvgaKernels& hqvgaBestKernels() {
    static const HqvgaKernels& best =
        simd::reported(simd::fastest(SCALAR_KERNELS, hqvgaVectorKernelsFor), "HQVGA");
    return best;
}

}  // namespace Zentrox
