// The instruction sets our vectorised kernels are built for, and the table of one set's kernels.
// Shared by the HQVGA conversions of the driver and the VGA depth engine; this header declares no
// function, so the kernel sources built with wider instruction sets may include it safely.
#pragma once

namespace Zentrox {
namespace simd {

enum class Isa { SCALAR, SSE2, AVX2, AVX512, ADVSIMD };

// The kernels of one instruction set: the functions of `Fns` (a struct of function pointers), the set
// and its name. Built as {function..., isa, name}.
template <class Fns>
struct KernelTable : Fns {
    Isa isa;
    const char* name;
};

}  // namespace simd
}  // namespace Zentrox

// The table a kernel source built for one instruction set defines: `prefix` with the set's suffix
// (hqvgaKernelsAvx2). zentrox_add_simd_kernels defines ZENTROX_SIMD_ISA, ZENTROX_SIMD_SUFFIX,
// ZENTROX_SIMD_NAME and ZENTROX_SIMD_<ISA> in each such source.
#define ZENTROX_SIMD_PASTE_(a, b) a##b
#define ZENTROX_SIMD_PASTE(a, b) ZENTROX_SIMD_PASTE_(a, b)
#define ZENTROX_SIMD_TABLE(prefix) ZENTROX_SIMD_PASTE(prefix, ZENTROX_SIMD_SUFFIX)
