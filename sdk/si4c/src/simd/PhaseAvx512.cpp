// AVX-512F conversions: sixteen pixels per step. (The zero-masked root with every lane selected
// stands for the plain one, which trips a false warning of GCC 12.)
#include <immintrin.h>
#include <sleef.h>

#include "PhaseKernels.h"

namespace Zentrox {
namespace si4c {
namespace {

constexpr int LANES = 16;
typedef __m512d NativeDoubles;

inline NativeDoubles atan2Native(NativeDoubles y, NativeDoubles x) {
    return Sleef_atan2d8_u35avx512f(y, x);
}
inline NativeDoubles sqrtNative(NativeDoubles v) {
    return _mm512_maskz_sqrt_pd(0xFF, v);
}

}  // namespace
}  // namespace si4c
}  // namespace Zentrox

#include "PhaseKernelBody.h"

namespace Zentrox {
namespace si4c {

void convertSingleFrequencyAvx512(const FrequencyPlanes& f, const KernelLimits& limits, size_t begin,
                                  size_t end, float* depth, float* amplitude, float* confidence) {
    singleFrequencyBody(f, limits, begin, end, depth, amplitude, confidence);
}

void convertDoubleFrequencyAvx512(const FrequencyPlanes& f0, const FrequencyPlanes& f1,
                                  const KernelLimits& limits, size_t begin, size_t end, float* depth,
                                  float* amplitude, float* confidence) {
    doubleFrequencyBody(f0, f1, limits, begin, end, depth, amplitude, confidence);
}

}  // namespace si4c
}  // namespace Zentrox
