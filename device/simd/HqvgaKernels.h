// The HQVGA conversions of every instruction set this build carries, and the choice among them.
// Every table entry produces the same bits as the scalar reference (HqvgaReference.h).
#pragma once

#include <cstdint>

#include "SimdTable.h"
#include "device/HqvgaFormat.h"

namespace Zentrox {

using HqvgaIsa = simd::Isa;

using HqvgaPhaseImageFn = void (*)(const uint8_t* frame, float* depth, float* amplitude, float* confidence,
                                   const HqvgaParams& params);
using HqvgaRawImagesFn = void (*)(const uint8_t* frame, int16_t* raw, uint8_t shift);

struct HqvgaFunctions {
    HqvgaPhaseImageFn phase_image;
    HqvgaRawImagesFn raw_images;
};
using HqvgaKernels = simd::KernelTable<HqvgaFunctions>;

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

// One table per instruction set, defined by HqvgaIsaKernels.h as built for that set.
extern const HqvgaKernels hqvgaKernelsSse2, hqvgaKernelsAvx2, hqvgaKernelsAvx512, hqvgaKernelsAdvsimd;

}  // namespace Zentrox
