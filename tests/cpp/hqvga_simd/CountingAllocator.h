// Counts every operator new of the test program (CountingAllocator.cpp replaces the global ones),
// except those made inside a test double (FakeCallScope.h).
#pragma once

// Sanitizers bring their own operator new; under them nothing is counted and allocationCount() is -1.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZENTROX_COUNTING_ALLOCATOR 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZENTROX_COUNTING_ALLOCATOR 0
#endif
#endif
#ifndef ZENTROX_COUNTING_ALLOCATOR
#define ZENTROX_COUNTING_ALLOCATOR 1
#endif

namespace Zentrox {
namespace test {
long allocationCount();
}
}  // namespace Zentrox
