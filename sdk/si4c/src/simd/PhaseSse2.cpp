// SSE2 conversions (every x86-64 CPU): four pixels per step.
#include <immintrin.h>
#include <sleef.h>

#include "PhaseKernels.h"

namespace Zentrox {
namespace si4c {
namespace {

constexpr int LANES = 4;
typedef __m128d NativeDoubles;

inline NativeDoubles atan2Native(NativeDoubles y, NativeDoubles x) {
    return Sleef_atan2d2_u35sse2(y, x);
}
inline NativeDoubles sqrtNative(NativeDoubles v) {
    return _mm_sqrt_pd(v);
}

}  // namespace
}  // namespace si4c
}  // namespace Zentrox

#include "PhaseKernelBody.h"

namespace Zentrox {
namespace si4c {

void convertSingleFrequencySse2(const FrequencyPlanes& f, const KernelLimits& limits, size_t begin,
                                size_t end, float* depth, float* amplitude, float* confidence) {
    singleFrequencyBody(f, limits, begin, end, depth, amplitude, confidence);
}

void convertDoubleFrequencySse2(const FrequencyPlanes& f0, const FrequencyPlanes& f1,
                                const KernelLimits& limits, size_t begin, size_t end, float* depth,
                                float* amplitude, float* confidence) {
    doubleFrequencyBody(f0, f1, limits, begin, end, depth, amplitude, confidence);
}

}  // namespace si4c
}  // namespace Zentrox
