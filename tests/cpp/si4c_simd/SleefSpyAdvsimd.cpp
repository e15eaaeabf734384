// The counting stand-in for SLEEF's Advsimd atan2 (see SleefSpy.h); built with that instruction set's flags.
#if defined(__aarch64__)
#include <arm_neon.h>
#include <dlfcn.h>

#include <atomic>

namespace {
std::atomic<long> calls{0};
}  // namespace

extern "C" __attribute__((visibility("default"))) float64x2_t Sleef_atan2d2_u35advsimd(float64x2_t y,
                                                                                       float64x2_t x) {
    using Fn = float64x2_t (*)(float64x2_t, float64x2_t);
    static const Fn next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "Sleef_atan2d2_u35advsimd"));
    calls.fetch_add(1, std::memory_order_relaxed);
    return next(y, x);
}

namespace Zentrox {
namespace si4c {
namespace test {

long sleefCallsAdvsimd() {
    return calls.load(std::memory_order_relaxed);
}

}  // namespace test
}  // namespace si4c
}  // namespace Zentrox
#endif
