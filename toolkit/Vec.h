// Vectors of floats through the compilers' generic vectors, for per-pixel loops that the
// auto-vectoriser leaves scalar (interleaved coordinates, many selects). Vec4 is one register on
// every target (SSE2, AdvSIMD); Vec8 is one AVX register where the code is built for AVX2 and two
// registers elsewhere. Comparisons give lanes of all ones where true, which select() takes as a mask.
#pragma once

#include <cstdint>
#include <cstring>

namespace Zentrox {
namespace simd {

typedef float Vec4 __attribute__((vector_size(16)));
typedef int32_t Mask4 __attribute__((vector_size(16)));
typedef float Vec8 __attribute__((vector_size(32)));
typedef int32_t Mask8 __attribute__((vector_size(32)));

template <class V>
constexpr int lanes() {
    return sizeof(V) / sizeof(float);
}
template <class V>
inline V load(const float* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
inline void store(float* p, V v) {
    std::memcpy(p, &v, sizeof v);
}
template <class V>
inline V splat(float x) {
    return V{} + x;
}
// Lanes of a where the mask is set, of b elsewhere (a blend, or AND/OR on SSE2).
template <class V, class M>
inline V select(M mask, V a, V b) {
    return mask ? a : b;
}
// One instruction each where the target has them (maxps, minps, fmax, fmin).
template <class V>
inline V max(V a, V b) {
    return a > b ? a : b;
}
template <class V>
inline V min(V a, V b) {
    return a < b ? a : b;
}
template <class V>
inline V abs(V a) {
    return max(a, -a);
}

}  // namespace simd
}  // namespace Zentrox

// The per-pixel kernels are also built for x86-64-v3 (AVX2 and FMA), and the CPU's best version is
// picked when the library loads (GCC's function multi-versioning). Not under a sanitizer: the
// resolver runs while the program is being relocated, before a sanitizer's runtime is ready.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__ELF__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define ZENTROX_TOOLKIT_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define ZENTROX_TOOLKIT_CLONES
#endif
