// The vectorised kernels of this build, offered only where the CPU runs them. Linked into every
// program except those built without them (see device/CMakeLists.txt); those get HqvgaNoVector.cpp
// instead and run the scalar conversion.
#include "SimdDispatch.h"
#include "device/simd/HqvgaKernels.h"

namespace Zentrox {

bool hqvgaVectorBuild() {
    return true;
}

const HqvgaKernels* hqvgaVectorKernelsFor(HqvgaIsa isa) {
#if defined(__x86_64__)
    return simd::runnable({&hqvgaKernelsSse2, &hqvgaKernelsAvx2, &hqvgaKernelsAvx512}, isa);
#elif defined(__aarch64__)
    return simd::runnable({&hqvgaKernelsAdvsimd}, isa);
#endif
}

}  // namespace Zentrox
