// AVX2 + FMA conversions: eight pixels per step.
#include <immintrin.h>

#include "HqvgaKernels.h"

namespace Zentrox {
namespace {

constexpr int LANES = 8;
constexpr int RAW_LANES = 16;
typedef __m256 NativeFloats;

inline NativeFloats sqrtNative(NativeFloats v) {
    return _mm256_sqrt_ps(v);
}

}  // namespace
}  // namespace Zentrox

#include "HqvgaKernelBody.h"

namespace Zentrox {

void hqvgaPhaseImageAvx2(const uint8_t* frame, float* depth, float* amplitude, float* confidence,
                         const HqvgaParams& params) {
    phaseImageBody(frame, depth, amplitude, confidence, params);
}

void hqvgaRawImagesAvx2(const uint8_t* frame, int16_t* raw, uint8_t shift) {
    rawImagesBody(frame, raw, shift);
}

}  // namespace Zentrox
