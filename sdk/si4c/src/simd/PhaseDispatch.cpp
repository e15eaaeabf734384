#include <initializer_list>

#include "PhaseKernels.h"

namespace Zentrox {
namespace si4c {

namespace {

const PhaseKernels SCALAR_KERNELS{PhaseIsa::SCALAR, "scalar", convertSingleFrequency, convertDoubleFrequency};

}  // namespace

const PhaseKernels* phaseKernelsFor(PhaseIsa isa) {
    if (isa == PhaseIsa::SCALAR) return &SCALAR_KERNELS;
    return phaseVectorKernelsFor(isa);
}

const PhaseKernels& bestPhaseKernels() {
    static const PhaseKernels& best = []() -> const PhaseKernels& {
        for (PhaseIsa isa : {PhaseIsa::AVX512, PhaseIsa::AVX2, PhaseIsa::SSE2, PhaseIsa::ADVSIMD}) {
            if (const PhaseKernels* kernels = phaseKernelsFor(isa)) return *kernels;
        }
        return SCALAR_KERNELS;
    }();
    return best;
}

}  // namespace si4c
}  // namespace Zentrox
