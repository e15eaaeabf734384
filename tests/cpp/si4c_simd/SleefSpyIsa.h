// The counting stand-in for SLEEF's atan2 of one instruction set (see SleefSpy.h), built once per set
// with its flags by zentrox_add_simd_kernels.
#include <dlfcn.h>

#include <atomic>

#include "SimdTable.h"

#if defined(ZENTROX_SIMD_ADVSIMD)
#include <arm_neon.h>
#else
#include <immintrin.h>
#endif

#if defined(ZENTROX_SIMD_SSE2)
#define SPY_ATAN2 Sleef_atan2d2_u35sse2
typedef __m128d Doubles;
#elif defined(ZENTROX_SIMD_AVX2)
#define SPY_ATAN2 Sleef_atan2d4_u35avx2
typedef __m256d Doubles;
#elif defined(ZENTROX_SIMD_AVX512)
#define SPY_ATAN2 Sleef_atan2d8_u35avx512f
typedef __m512d Doubles;
#elif defined(ZENTROX_SIMD_ADVSIMD)
#define SPY_ATAN2 Sleef_atan2d2_u35advsimd
typedef float64x2_t Doubles;
#endif
#define SPY_STRING_(name) #name
#define SPY_STRING(name) SPY_STRING_(name)

namespace {
std::atomic<long> calls{0};
}  // namespace

extern "C" __attribute__((visibility("default"))) Doubles SPY_ATAN2(Doubles y, Doubles x) {
    using Fn = Doubles (*)(Doubles, Doubles);
    static const Fn next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, SPY_STRING(SPY_ATAN2)));
    calls.fetch_add(1, std::memory_order_relaxed);
    return next(y, x);
}

namespace Zentrox {
namespace si4c {
namespace test {

long ZENTROX_SIMD_TABLE(sleefCalls)() {
    return calls.load(std::memory_order_relaxed);
}

}  // namespace test
}  // namespace si4c
}  // namespace Zentrox
