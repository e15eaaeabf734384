// Stands in for HqvgaVectorTable.cpp where SLEEF is not available: scalar conversion only.
#include "HqvgaKernels.h"

namespace Zentrox {

bool hqvgaVectorBuild() {
    return false;
}

const HqvgaKernels* hqvgaVectorKernelsFor(HqvgaIsa) {
    return nullptr;
}

}  // namespace Zentrox
