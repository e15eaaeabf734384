// The run-time choice among the kernel tables of one build: which instruction sets this CPU runs, and
// the fastest table it runs. Included only by sources built for the base instruction set.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "SimdTable.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace Zentrox {
namespace simd {

#if defined(__x86_64__)
// What the x86 CPU and the operating system offer beyond SSE2, read with CPUID and XGETBV directly:
// __builtin_cpu_supports depends on the compiler runtime filling in its feature table, and not every
// runtime does (the one of the wheel toolchain, scripts/wheels, reports no feature at all).
struct X86Features {
    bool avx2Fma = false;
    bool avx512f = false;
};

inline X86Features readX86Features() {
    X86Features features;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0) return features;
    const bool fma = (c & bit_FMA) != 0;
    // AVX needs the operating system to save the wider registers: XCR0's SSE and AVX state bits
    // (and the three AVX-512 state bits for AVX-512).
    if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return features;
    unsigned xcr0 = 0, xcr0High = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    if (__get_cpuid_max(0, nullptr) < 7) return features;
    __cpuid_count(7, 0, a, b, c, d);
    const bool ymm = (xcr0 & 0x6U) == 0x6U;
    const bool zmm = (xcr0 & 0xe6U) == 0xe6U;
    features.avx2Fma = ymm && fma && (b & bit_AVX2) != 0;
    features.avx512f = zmm && (b & bit_AVX512F) != 0;
    return features;
}

inline const X86Features& x86Features() {
    static const X86Features features = readX86Features();
    return features;
}
#endif

// Whether this CPU runs code built for `isa`. The x86 checks include the operating system's support
// for the wider registers; SSE2 is part of every x86-64 CPU and AdvSIMD of every AArch64 one.
inline bool cpuRuns(Isa isa) {
    switch (isa) {
        case Isa::SCALAR:
            return true;
#if defined(__x86_64__)
        case Isa::SSE2:
            return true;
        case Isa::AVX2:
            return x86Features().avx2Fma;
        case Isa::AVX512:
            return x86Features().avx512f;
#endif
#if defined(__aarch64__)
        case Isa::ADVSIMD:
            return true;
#endif
        default:
            return false;
    }
}

// Of the tables a program carries, the one of `isa`; null when there is none or this CPU cannot run it.
template <class Table>
const Table* runnable(std::initializer_list<const Table*> tables, Isa isa) {
    for (const Table* table : tables) {
        if (table->isa == isa) return cpuRuns(isa) ? table : nullptr;
    }
    return nullptr;
}

// The table of `isa`: `scalar` (always there) or what `vector` offers for it.
template <class Table>
const Table* kernelsFor(const Table& scalar, const Table* (*vector)(Isa), Isa isa) {
    return isa == Isa::SCALAR ? &scalar : vector(isa);
}

// The fastest table this CPU runs.
template <class Table>
const Table& fastest(const Table& scalar, const Table* (*vector)(Isa)) {
    for (Isa isa : {Isa::AVX512, Isa::AVX2, Isa::SSE2, Isa::ADVSIMD}) {
        if (const Table* table = vector(isa)) return *table;
    }
    return scalar;
}

// `table`, said once on standard error as "zentrox: <what> kernels: <name>" when ZENTROX_SIMD_REPORT is
// set in the environment: a build can be checked for the kernels a machine really gets, under an
// emulator too, without a debugger.
template <class Table>
const Table& reported(const Table& table, const char* what) {
    const char* report = std::getenv("ZENTROX_SIMD_REPORT");
    if (report != nullptr && *report != '\0')
        std::fprintf(stderr, "zentrox: %s kernels: %s\n", what, table.name);
    return table;
}

}  // namespace simd
}  // namespace Zentrox
