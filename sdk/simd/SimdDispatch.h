// The run-time choice among the kernel tables of one build: which instruction sets this CPU runs, and
// the fastest table it runs. Included only by sources built for the base instruction set.
#pragma once

#include <initializer_list>

#include "SimdTable.h"

namespace Zentrox {
namespace simd {

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
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case Isa::AVX512:
            return __builtin_cpu_supports("avx512f");
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

}  // namespace simd
}  // namespace Zentrox
