// SSE2 conversions (every x86-64 CPU): four pixels per step.
#include <immintrin.h>

#include "HqvgaKernels.h"

namespace Zentrox {
namespace {

constexpr int LANES = 4;
constexpr int RAW_LANES = 8;
typedef __m128 NativeFloats;
typedef __m128d NativeDoubles;
typedef __m128i NativeInts;

inline NativeDoubles mulAddNative(NativeDoubles a, NativeDoubles b, NativeDoubles c) {
    return _mm_add_pd(_mm_mul_pd(a, b), c);  // no fused multiply-add here
}
inline NativeDoubles doublesNative(NativeInts v, int half) {
    return _mm_cvtepi32_pd(half == 0 ? v : _mm_shuffle_epi32(v, 0xEE));
}
inline NativeInts widenNative(const uint8_t* bytes) {
    return _mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(bytes)), _mm_setzero_si128());
}
inline bool anyNative(NativeInts mask) {
    return _mm_movemask_epi8(mask) != 0;
}

inline NativeFloats sqrtNative(NativeFloats v) {
    return _mm_sqrt_ps(v);
}

}  // namespace
}  // namespace Zentrox

#include "HqvgaKernelBody.h"

namespace Zentrox {

void hqvgaPhaseImageSse2(const uint8_t* frame, float* depth, float* amplitude, float* confidence,
                         const HqvgaParams& params) {
    phaseImageBody(frame, depth, amplitude, confidence, params);
}

void hqvgaRawImagesSse2(const uint8_t* frame, int16_t* raw, uint8_t shift) {
    rawImagesBody(frame, raw, shift);
}

}  // namespace Zentrox
