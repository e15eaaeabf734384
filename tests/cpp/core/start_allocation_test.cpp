// A restart whose allocations fail one by one (the pool's planes, the capture thread's state): the
// camera either streams from a new pool or keeps the pool, its serial and the caller's frame. Uses
// the allocation failure injection of frame_pool_test.cpp (this suite's operator new).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <new>

#include "tests/fakes/CameraTestAccess.h"
#include "tests/fakes/FakeDevice.h"
#include "tests/fakes/FakeSensor.h"

namespace Zentrox {
// Defined with the injection in frame_pool_test.cpp: the N-th allocation from now on throws.
void failAllocationAfter(long n);
}  // namespace Zentrox

using namespace Zentrox;

namespace {

TEST(StartAllocation, EveryFailingAllocationOfARestartKeepsThePool) {
    auto sensor = std::make_shared<FakeSensorState>();
    auto device = std::make_shared<FakeDeviceState>();
    device->setGeometry({2, 8, 4}, {2, 8, 4});
    ZentroxTOFCamera cam;
    CameraTestAccess::install(cam, std::make_unique<FakeSensor>(8, 4, sensor),
                              std::make_unique<FakeDevice>(device));

    int failures = 0, successes = 0;
    for (long n = 0; successes < 3; ++n) {
        SCOPED_TRACE(n);
        ASSERT_LT(n, 1000) << "a start that never succeeds";
        // A stopped camera whose caller holds a frame.
        ASSERT_EQ(cam.start(FrameType::DEPTH), 0);
        sensor->feed(1);
        uint64_t before = 0;
        ZentroxFrameBuffer* held = cam.requestFrame(20000, nullptr, &before);
        ASSERT_NE(held, nullptr);
        ASSERT_EQ(cam.stop(), 0);

        int result = -1;
        bool threw = false;
        failAllocationAfter(n);
        try {
            result = cam.start(FrameType::RAW);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        failAllocationAfter(-1);
        if (result == 0) {
            ++successes;
            EXPECT_NE(cam.poolSerial(), before);
            EXPECT_FALSE(cam.holdsFrame(held, before));
            EXPECT_EQ(cam.stop(), 0);
            continue;
        }
        ++failures;
        EXPECT_TRUE(threw || result == -1);
        EXPECT_EQ(cam.poolSerial(), before);
        EXPECT_TRUE(cam.holdsFrame(held, before));
        EXPECT_FALSE(CameraTestAccess::streaming(cam));
        // What the failed start had begun is stopped again.
        EXPECT_EQ(sensor->stops, sensor->starts);
        EXPECT_EQ(device->stops, device->starts);
        EXPECT_EQ(cam.releaseFrame(held), 0);
    }
    // The pool's cache and its three buffers, with their planes, and the thread's state at least.
    EXPECT_GE(failures, 5);
    std::printf("failing allocations of a restart: %d\n", failures);
}

}  // namespace
