// The native operations HqvgaKernelBody.h expects, in the compiler's generic vectors with four lanes,
// for tests that build the body around their own arctangent. The multiply-add is fused, as on every
// instruction set but SSE2. Include before HqvgaKernelBody.h.
#pragma once

#include <cmath>
#include <cstdint>

namespace Zentrox {
namespace {

constexpr int LANES = 4;
constexpr int RAW_LANES = 8;
typedef float NativeFloats __attribute__((vector_size(16)));
typedef double NativeDoubles __attribute__((vector_size(16)));
typedef int32_t NativeInts __attribute__((vector_size(16)));

NativeFloats sqrtNative(NativeFloats v) {
    return NativeFloats{std::sqrt(v[0]), std::sqrt(v[1]), std::sqrt(v[2]), std::sqrt(v[3])};
}

NativeDoubles mulAddNative(NativeDoubles a, NativeDoubles b, NativeDoubles c) {
    return NativeDoubles{std::fma(a[0], b[0], c[0]), std::fma(a[1], b[1], c[1])};
}

bool anyNative(NativeInts m) {
    return (m[0] | m[1] | m[2] | m[3]) != 0;
}

NativeDoubles doublesNative(NativeInts v, int half) {
    return NativeDoubles{static_cast<double>(v[2 * half]), static_cast<double>(v[2 * half + 1])};
}

NativeInts widenNative(const uint8_t* bytes) {
    NativeInts v;
    for (int l = 0; l < LANES; ++l)
        v[l] = bytes[2 * l] | (bytes[2 * l + 1] << 8);
    return v;
}

}  // namespace
}  // namespace Zentrox
