// The counting stand-in for SLEEF's Avx2 atan2 (see SleefSpy.h); built with that instruction set's flags.
#if defined(__x86_64__)
#include <dlfcn.h>
#include <immintrin.h>

#include <atomic>

namespace {
std::atomic<long> calls{0};
}  // namespace

extern "C" __attribute__((visibility("default"))) __m256d Sleef_atan2d4_u35avx2(__m256d y, __m256d x) {
    using Fn = __m256d (*)(__m256d, __m256d);
    static const Fn next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "Sleef_atan2d4_u35avx2"));
    calls.fetch_add(1, std::memory_order_relaxed);
    return next(y, x);
}

namespace Zentrox {
namespace si4c {
namespace test {

long sleefCallsAvx2() {
    return calls.load(std::memory_order_relaxed);
}

}  // namespace test
}  // namespace si4c
}  // namespace Zentrox
#endif
