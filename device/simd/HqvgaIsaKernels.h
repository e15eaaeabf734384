// The HQVGA kernels of one instruction set: its native operations (those HqvgaKernelBody.h expects),
// the body built on them and the set's table. Built once per set by zentrox_add_simd_kernels
// (device/CMakeLists.txt), which defines ZENTROX_SIMD_<ISA> and the table's name.
#include "HqvgaKernels.h"

#if defined(ZENTROX_SIMD_ADVSIMD)
#include <arm_neon.h>
#else
#include <immintrin.h>
#endif

namespace Zentrox {
namespace {

#if defined(ZENTROX_SIMD_SSE2)
// SSE2 conversions (every x86-64 CPU): four pixels per step.
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

#elif defined(ZENTROX_SIMD_AVX2)
// AVX2 + FMA conversions: eight pixels per step.
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

#elif defined(ZENTROX_SIMD_AVX512)
// AVX-512F conversions: sixteen pixels per step. (The zero-masked forms with every lane selected
// stand for the plain ones, which trip a false warning of GCC 12.)
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

#elif defined(ZENTROX_SIMD_ADVSIMD)
// AArch64 AdvSIMD conversions: four pixels per step.
constexpr int LANES = 4;
constexpr int RAW_LANES = 8;
typedef float32x4_t NativeFloats;
typedef float64x2_t NativeDoubles;
typedef uint32x4_t NativeInts;

inline NativeDoubles mulAddNative(NativeDoubles a, NativeDoubles b, NativeDoubles c) {
    return vfmaq_f64(c, a, b);
}
inline NativeDoubles doublesNative(NativeInts v, int half) {
    const int32x4_t s = vreinterpretq_s32_u32(v);
    return vcvtq_f64_s64(vmovl_s32(half == 0 ? vget_low_s32(s) : vget_high_s32(s)));
}
inline NativeInts widenNative(const uint8_t* bytes) {
    return vmovl_u16(vld1_u16(reinterpret_cast<const uint16_t*>(bytes)));
}
inline bool anyNative(NativeInts mask) {
    return vmaxvq_u32(mask) != 0;
}

inline NativeFloats sqrtNative(NativeFloats v) {
    return vsqrtq_f32(v);
}
#endif

}  // namespace
}  // namespace Zentrox

#include "HqvgaKernelBody.h"

namespace Zentrox {

extern const HqvgaKernels ZENTROX_SIMD_TABLE(hqvgaKernels);
const HqvgaKernels ZENTROX_SIMD_TABLE(hqvgaKernels){
    {phaseImageBody,
     [](const uint8_t* frame, int16_t* raw, uint8_t shift) { rawImagesBody(frame, raw, shift); }},
    simd::Isa::ZENTROX_SIMD_ISA,
    ZENTROX_SIMD_NAME};

}  // namespace Zentrox
