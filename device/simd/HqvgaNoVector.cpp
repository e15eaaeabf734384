// Stands in for HqvgaVectorTable.cpp in programs built without the vectorised kernels: scalar
// conversion only.
#include "device/simd/HqvgaKernels.h"

namespace Zentrox {

bool hqvgaVectorBuild() {
    return false;
}

const HqvgaKernels* hqvgaVectorKernelsFor(HqvgaIsa) {
    return nullptr;
}

}  // namespace Zentrox
