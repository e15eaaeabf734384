// The vectorised conversions of this build, offered only where the CPU runs them.
#include "PhaseKernels.h"
#include "SimdDispatch.h"

namespace Zentrox {
namespace si4c {

bool phaseVectorBuild() {
    return true;
}

const PhaseKernels* phaseVectorKernelsFor(PhaseIsa isa) {
#if defined(__x86_64__)
    return simd::runnable({&phaseKernelsSse2, &phaseKernelsAvx2, &phaseKernelsAvx512}, isa);
#elif defined(__aarch64__)
    return simd::runnable({&phaseKernelsAdvsimd}, isa);
#endif
}

}  // namespace si4c
}  // namespace Zentrox
