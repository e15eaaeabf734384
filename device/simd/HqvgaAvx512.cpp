// AVX-512F conversions: sixteen pixels per step. (The zero-masked root with every lane selected
// stands for the plain one, which trips a false warning of GCC 12.)
#include <immintrin.h>

#include "HqvgaKernels.h"

namespace Zentrox {
namespace {

constexpr int LANES = 16;
constexpr int RAW_LANES = 16;
typedef __m512 NativeFloats;

inline NativeFloats sqrtNative(NativeFloats v) {
    return _mm512_maskz_sqrt_ps(0xFFFF, v);
}

}  // namespace
}  // namespace Zentrox

#include "HqvgaKernelBody.h"

namespace Zentrox {

void hqvgaPhaseImageAvx512(const uint8_t* frame, float* depth, float* amplitude, float* confidence,
                           const HqvgaParams& params) {
    phaseImageBody(frame, depth, amplitude, confidence, params);
}

void hqvgaRawImagesAvx512(const uint8_t* frame, int16_t* raw, uint8_t shift) {
    rawImagesBody(frame, raw, shift);
}

}  // namespace Zentrox
