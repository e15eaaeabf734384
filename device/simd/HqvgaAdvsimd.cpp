// AArch64 AdvSIMD conversions: four pixels per step.
#include <arm_neon.h>

#include "HqvgaKernels.h"

namespace Zentrox {
namespace {

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
