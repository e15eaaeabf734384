// AVX-512F conversions: sixteen pixels per step. (The zero-masked forms with every lane selected
// stand for the plain ones, which trip a false warning of GCC 12.)
#include <immintrin.h>

#include "HqvgaKernels.h"

namespace Zentrox {
namespace {

constexpr int LANES = 16;
constexpr int RAW_LANES = 16;
typedef __m512 NativeFloats;
typedef __m512d NativeDoubles;
typedef __m512i NativeInts;

inline NativeDoubles mulAddNative(NativeDoubles a, NativeDoubles b, NativeDoubles c) {
    return _mm512_fmadd_pd(a, b, c);
}
inline NativeDoubles doublesNative(NativeInts v, int half) {
    const __m256i lanes =
        half == 0 ? _mm512_maskz_extracti64x4_epi64(0xF, v, 0) : _mm512_maskz_extracti64x4_epi64(0xF, v, 1);
    return _mm512_maskz_cvtepi32_pd(0xFF, lanes);
}
inline NativeInts widenNative(const uint8_t* bytes) {
    return _mm512_maskz_cvtepu16_epi32(0xFFFF, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes)));
}
inline bool anyNative(NativeInts mask) {
    return _mm512_test_epi32_mask(mask, mask) != 0;
}

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
