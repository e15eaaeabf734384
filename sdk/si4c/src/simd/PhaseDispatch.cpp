#include "PhaseKernels.h"
#include "SimdDispatch.h"

namespace Zentrox {
namespace si4c {

namespace {

const PhaseKernels SCALAR_KERNELS{
    {convertSingleFrequency, convertDoubleFrequency}, PhaseIsa::SCALAR, "scalar"};

}  // namespace

const PhaseKernels* phaseKernelsFor(PhaseIsa isa) {
    return simd::kernelsFor(SCALAR_KERNELS, phaseVectorKernelsFor, isa);
}

const PhaseKernels& bestPhaseKernels() {
    static const PhaseKernels& best =
        simd::reported(simd::fastest(SCALAR_KERNELS, phaseVectorKernelsFor), "VGA depth");
    return best;
}

}  // namespace si4c
}  // namespace Zentrox
