#include "tests/cpp/hqvga_simd/CountingAllocator.h"

#include "tests/fakes/FakeCallScope.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if ZENTROX_COUNTING_ALLOCATOR

namespace {
std::atomic<long> allocations{0};

// Allocations inside a test double are not the driver's and are left out.
void count() {
    if (Zentrox::test::fakeCallDepth() == 0) allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

void* operator new(std::size_t size) {
    count();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    count();
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

long Zentrox::test::allocationCount() {
    return allocations.load(std::memory_order_relaxed);
}

#else

long Zentrox::test::allocationCount() {
    return -1;
}

#endif
