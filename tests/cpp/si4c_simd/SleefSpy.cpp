#include "tests/cpp/si4c_simd/SleefSpy.h"

namespace Zentrox {
namespace si4c {
namespace test {

#if defined(__x86_64__)
long sleefCallsSse2();
long sleefCallsAvx2();
long sleefCallsAvx512();
#endif
#if defined(__aarch64__)
long sleefCallsAdvsimd();
#endif

long sleefAtan2Calls(PhaseIsa isa) {
    switch (isa) {
#if defined(__x86_64__)
        case PhaseIsa::SSE2:
            return sleefCallsSse2();
        case PhaseIsa::AVX2:
            return sleefCallsAvx2();
        case PhaseIsa::AVX512:
            return sleefCallsAvx512();
#endif
#if defined(__aarch64__)
        case PhaseIsa::ADVSIMD:
            return sleefCallsAdvsimd();
#endif
        default:
            return -1;
    }
}

int sleefAtan2Width(PhaseIsa isa) {
    switch (isa) {
        case PhaseIsa::AVX2:
            return 4;
        case PhaseIsa::AVX512:
            return 8;
        case PhaseIsa::SCALAR:
            return 1;
        default:
            return 2;
    }
}

}  // namespace test
}  // namespace si4c
}  // namespace Zentrox
