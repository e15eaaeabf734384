// The counting stand-in for SLEEF's Avx512 atan2 (see SleefSpy.h); built with that instruction set's flags.
#if defined(__x86_64__)
#include <dlfcn.h>
#include <immintrin.h>

#include <atomic>

namespace {
std::atomic<long> calls{0};
}  // namespace

extern "C" __attribute__((visibility("default"))) __m512d Sleef_atan2d8_u35avx512f(__m512d y, __m512d x) {
    using Fn = __m512d (*)(__m512d, __m512d);
    static const Fn next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "Sleef_atan2d8_u35avx512f"));
    calls.fetch_add(1, std::memory_order_relaxed);
    return next(y, x);
}

namespace Zentrox {
namespace si4c {
namespace test {

long sleefCallsAvx512() {
    return calls.load(std::memory_order_relaxed);
}

}  // namespace test
}  // namespace si4c
}  // namespace Zentrox
#endif
