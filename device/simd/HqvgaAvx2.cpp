// AVX2 + FMA conversions: eight pixels per step.
#include <immintrin.h>

#include "HqvgaKernels.h"

namespace Zentrox {
namespace {

constexpr int LANES = 8;
constexpr int RAW_LANES = 16;
typedef __m256 NativeFloats;
typedef __m256d NativeDoubles;
typedef __m256i NativeInts;

inline NativeDoubles mulAddNative(NativeDoubles a, NativeDoubles b, NativeDoubles c) {
    return _mm256_fmadd_pd(a, b, c);
}
inline NativeDoubles doublesNative(NativeInts v, int half) {
    return _mm256_cvtepi32_pd(half == 0 ? _mm256_castsi256_si128(v) : _mm256_extracti128_si256(v, 1));
}
inline NativeInts widenNative(const uint8_t* bytes) {
    return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)));
}
inline bool anyNative(NativeInts mask) {
    return !_mm256_testz_si256(mask, mask);
}

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
