// AArch64 AdvSIMD conversions: four pixels per step.
#include <arm_neon.h>
#include <sleef.h>

#include "PhaseKernels.h"

namespace Zentrox {
namespace si4c {
namespace {

constexpr int LANES = 4;
typedef float64x2_t NativeDoubles;

inline NativeDoubles atan2Native(NativeDoubles y, NativeDoubles x) {
    return Sleef_atan2d2_u35advsimd(y, x);
}
inline NativeDoubles sqrtNative(NativeDoubles v) {
    return vsqrtq_f64(v);
}

}  // namespace
}  // namespace si4c
}  // namespace Zentrox

#include "PhaseKernelBody.h"

namespace Zentrox {
namespace si4c {

void convertSingleFrequencyAdvsimd(const FrequencyPlanes& f, const KernelLimits& limits, size_t begin,
                                   size_t end, float* depth, float* amplitude, float* confidence) {
    singleFrequencyBody(f, limits, begin, end, depth, amplitude, confidence);
}

void convertDoubleFrequencyAdvsimd(const FrequencyPlanes& f0, const FrequencyPlanes& f1,
                                   const KernelLimits& limits, size_t begin, size_t end, float* depth,
                                   float* amplitude, float* confidence) {
    doubleFrequencyBody(f0, f1, limits, begin, end, depth, amplitude, confidence);
}

}  // namespace si4c
}  // namespace Zentrox
