// Marks the calls of this thread that run inside a test double. What a fake allocates (its call
// log, its queues) is the double's own doing, not the driver's: the counting allocator of the
// no-allocation suites leaves it out.
#pragma once

namespace Zentrox {
namespace test {

// Calls into a fake now running on this thread.
int& fakeCallDepth();

struct FakeCallScope {
    FakeCallScope() { ++fakeCallDepth(); }
    ~FakeCallScope() { --fakeCallDepth(); }
    FakeCallScope(const FakeCallScope&) = delete;
    FakeCallScope& operator=(const FakeCallScope&) = delete;
};

}  // namespace test
}  // namespace Zentrox
