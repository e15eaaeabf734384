// The HQVGA conversions of every instruction set this build carries, and the choice among them.
// Every table entry produces the same bits as the scalar reference (HqvgaReference.h).
#pragma once

#include <cstdint>

#include "HqvgaFormat.h"

namespace Zentrox {

enum class HqvgaIsa { SCALAR, SSE2, AVX2, AVX512, ADVSIMD };

using HqvgaPhaseImageFn = void (*)(const uint8_t* frame, float* depth, float* amplitude, float* confidence,
                                   const HqvgaParams& params);
using HqvgaRawImagesFn = void (*)(const uint8_t* frame, int16_t* raw, uint8_t shift);

struct HqvgaKernels {
    HqvgaIsa isa;
    const char* name;
    HqvgaPhaseImageFn phase_image;
    HqvgaRawImagesFn raw_images;
};

// The kernels of one instruction set; null when this build lacks them or this CPU cannot run them.
// SCALAR is always there.
const HqvgaKernels* hqvgaKernelsFor(HqvgaIsa isa);

// The fastest kernels this CPU runs, chosen once.
const HqvgaKernels& hqvgaBestKernels();

// Whether this program carries vectorised kernels: the build made them for this processor and the
// program did not ask for the scalar conversion alone.
bool hqvgaVectorBuild();

// The vectorised part of hqvgaKernelsFor (HqvgaVectorTable.cpp or HqvgaNoVector.cpp).
const HqvgaKernels* hqvgaVectorKernelsFor(HqvgaIsa isa);

// One definition per instruction-set source (simd/Hqvga<Isa>.cpp), each built with its own flags.
void hqvgaPhaseImageSse2(const uint8_t*, float*, float*, float*, const HqvgaParams&);
void hqvgaRawImagesSse2(const uint8_t*, int16_t*, uint8_t);
void hqvgaPhaseImageAvx2(const uint8_t*, float*, float*, float*, const HqvgaParams&);
void hqvgaRawImagesAvx2(const uint8_t*, int16_t*, uint8_t);
void hqvgaPhaseImageAvx512(const uint8_t*, float*, float*, float*, const HqvgaParams&);
void hqvgaRawImagesAvx512(const uint8_t*, int16_t*, uint8_t);
void hqvgaPhaseImageAdvsimd(const uint8_t*, float*, float*, float*, const HqvgaParams&);
void hqvgaRawImagesAdvsimd(const uint8_t*, int16_t*, uint8_t);

}  // namespace Zentrox
