// AArch64 AdvSIMD conversions: four pixels per step.
#include <arm_neon.h>

#include "HqvgaKernels.h"

namespace Zentrox {
namespace {

constexpr int LANES = 4;
constexpr int RAW_LANES = 8;
typedef float32x4_t NativeFloats;

inline NativeFloats sqrtNative(NativeFloats v) {
    return vsqrtq_f32(v);
}

}  // namespace
}  // namespace Zentrox

#include "HqvgaKernelBody.h"

namespace Zentrox {

void hqvgaPhaseImageAdvsimd(const uint8_t* frame, float* depth, float* amplitude, float* confidence,
                            const HqvgaParams& params) {
    phaseImageBody(frame, depth, amplitude, confidence, params);
}

void hqvgaRawImagesAdvsimd(const uint8_t* frame, int16_t* raw, uint8_t shift) {
    rawImagesBody(frame, raw, shift);
}

}  // namespace Zentrox
