// The engine's kernels of one instruction set: its native operations (those PhaseKernelBody.h
// expects), the body built on them and the set's table. Built once per set by zentrox_add_simd_kernels
// (sdk/si4c/CMakeLists.txt), which defines ZENTROX_SIMD_<ISA> and the table's name.
#if defined(ZENTROX_SIMD_ADVSIMD)
#include <arm_neon.h>
#else
#include <immintrin.h>
#endif
#include <sleef.h>

#include "PhaseKernels.h"

namespace Zentrox {
namespace si4c {
namespace {

// Per set: pixels per step, the native double vector (half a step), SLEEF's atan2 of that width and
// the correctly rounded square root.
#if defined(ZENTROX_SIMD_SSE2)
constexpr int LANES = 4;  // SSE2: every x86-64 CPU
typedef __m128d NativeDoubles;
#define SI4C_ATAN2 Sleef_atan2d2_u35sse2
#define SI4C_SQRT(v) _mm_sqrt_pd(v)
#elif defined(ZENTROX_SIMD_AVX2)
constexpr int LANES = 8;  // AVX2 and FMA
typedef __m256d NativeDoubles;
#define SI4C_ATAN2 Sleef_atan2d4_u35avx2
#define SI4C_SQRT(v) _mm256_sqrt_pd(v)
#elif defined(ZENTROX_SIMD_AVX512)
constexpr int LANES = 16;  // AVX-512F
typedef __m512d NativeDoubles;
#define SI4C_ATAN2 Sleef_atan2d8_u35avx512f
// The zero-masked root with every lane selected stands for the plain one, which trips a false warning
// of GCC 12.
#define SI4C_SQRT(v) _mm512_maskz_sqrt_pd(0xFF, v)
#elif defined(ZENTROX_SIMD_ADVSIMD)
constexpr int LANES = 4;  // AArch64 AdvSIMD
typedef float64x2_t NativeDoubles;
#define SI4C_ATAN2 Sleef_atan2d2_u35advsimd
#define SI4C_SQRT(v) vsqrtq_f64(v)
#endif

inline NativeDoubles atan2Native(NativeDoubles y, NativeDoubles x) {
    return SI4C_ATAN2(y, x);
}
inline NativeDoubles sqrtNative(NativeDoubles v) {
    return SI4C_SQRT(v);
}

}  // namespace
}  // namespace si4c
}  // namespace Zentrox

#include "PhaseKernelBody.h"

namespace Zentrox {
namespace si4c {

extern const PhaseKernels ZENTROX_SIMD_TABLE(phaseKernels);
const PhaseKernels ZENTROX_SIMD_TABLE(phaseKernels){
    {singleFrequencyBody, doubleFrequencyBody}, simd::Isa::ZENTROX_SIMD_ISA, ZENTROX_SIMD_NAME};

}  // namespace si4c
}  // namespace Zentrox
