// Stands in for PhaseVectorTable.cpp where SLEEF is not available and in si4c_static (SLEEF exists only
// as a shared library): the scalar conversions only.
#include "PhaseKernels.h"

namespace Zentrox {
namespace si4c {

bool phaseVectorBuild() {
    return false;
}

const PhaseKernels* phaseVectorKernelsFor(PhaseIsa) {
    return nullptr;
}

}  // namespace si4c
}  // namespace Zentrox
