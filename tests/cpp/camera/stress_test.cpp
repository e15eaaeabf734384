// Many start/stop cycles and concurrent callers. The sanitizer builds run these to show that frames
// held across restarts, controls from several threads and the capture thread stay clean.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/cpp/camera/CameraRig.h"

using namespace Zentrox;
using namespace std::chrono_literals;

namespace {

TEST(CameraStress, StartStopCyclesWithFramesHeldAcrossThem) {
    Rig rig(smallGeometry(), false);  // the system clocks
    rig.sensor->setIdle(2ms);
    std::vector<ZentroxFrameBuffer*> stale;
    uint64_t stamp = 0;
    uint64_t lastSeen = 0;
    int delivered = 0;
    for (int cycle = 0; cycle < 100; ++cycle) {
        SCOPED_TRACE(cycle);
        FrameType type = cycle % 3 == 0 ? FrameType::RAW : FrameType::DEPTH;
        ASSERT_EQ(rig.cam->start(type), 0);
        // Buffers held from the previous pool are gone with it: releasing them is refused.
        for (ZentroxFrameBuffer* old : stale)
            EXPECT_EQ(rig.cam->releaseFrame(old), -1);
        stale.clear();

        std::vector<ZentroxFrameBuffer*> held;
        for (int i = 0; i < 5; ++i) {
            rig.sensor->feed(++stamp);
            if (i % 2 == 0 && held.size() < 2) {
                ZentroxFrameBuffer* frame = rig.take();
                ASSERT_NE(frame, nullptr);
                EXPECT_GT(stampOf(frame), lastSeen);
                lastSeen = stampOf(frame);
                held.push_back(frame);
                ++delivered;
            }
        }
        if (cycle % 4 == 1) rig.sensor->feed(++stamp);  // in flight when stop comes
        EXPECT_EQ(rig.cam->stop(), 0);

        // Ready frames can still be taken after stop; one is given back, the rest stay held.
        while (ZentroxFrameBuffer* frame = rig.cam->requestFrame(0)) {
            EXPECT_GT(stampOf(frame), lastSeen);
            lastSeen = stampOf(frame);
            held.push_back(frame);
            ++delivered;
        }
        ASSERT_FALSE(held.empty());
        EXPECT_EQ(rig.cam->releaseFrame(held.front()), 0);
        EXPECT_EQ(rig.cam->releaseFrame(held.front()), -1);
        stale.assign(held.begin() + 1, held.end());
    }
    EXPECT_GE(delivered, 100 * 2);
    // The camera goes while the caller still holds frames of its last pool.
    rig.cam.reset();
    EXPECT_TRUE(rig.sensor->destroyed);
}

// A feeder, a consumer that keeps up to two frames, and a thread that changes controls while the
// capture thread runs the frame-rate adjustment every (driven) 3 s.
TEST(CameraStress, CallersControlsAndCaptureRunTogether) {
    Rig rig;
    rig.device->setControlValue(CameraCtrl::FRAME_RATE, 30);
    rig.device->setControlValue(CameraCtrl::RANGE, 0);
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);

    const uint64_t frames = 400;
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        for (uint64_t t = 1; t <= frames; ++t) {
            rig.sensor->feed(t);
            rig.clock.advance(33ms);
            if (t % 8 == 0) std::this_thread::sleep_for(1ms);
        }
        rig.sensor->waitUntilIdle();
        feeding = false;
    });

    std::vector<uint64_t> received;
    std::atomic<int> releaseFailures{0};
    std::thread consumer([&] {
        std::vector<ZentroxFrameBuffer*> held;
        while (feeding) {
            ZentroxFrameBuffer* frame = rig.cam->requestFrame(20);
            if (frame) {
                received.push_back(stampOf(frame));
                held.push_back(frame);
            }
            if (held.size() > 2 || (!held.empty() && received.size() % 3 == 0)) {
                if (rig.cam->releaseFrame(held.front()) != 0) ++releaseFailures;
                held.erase(held.begin());
            }
        }
        for (ZentroxFrameBuffer* frame : held) {
            if (rig.cam->releaseFrame(frame) != 0) ++releaseFailures;
        }
    });

    std::thread controls([&] {
        int turn = 0;
        while (feeding) {
            rig.cam->setControl(CameraCtrl::SKIP_FRAME, turn % 3);
            rig.cam->setControl(CameraCtrl::SKIP_FRAME_LOOP, 1 + turn % 5);
            rig.cam->setControl(CameraCtrl::AUTO_FRAME_RATE, turn % 7 != 0);
            int value = 0;
            rig.cam->getControl(CameraCtrl::FRAME_RATE, &value);
            rig.cam->getControl(CameraCtrl::AUTO_FRAME_RATE, &value);
            rig.cam->setControl(CameraCtrl::RANGE, turn % 2);
            rig.cam->getCameraInfo();
            ++turn;
            std::this_thread::sleep_for(200us);
        }
    });

    feeder.join();
    consumer.join();
    controls.join();
    EXPECT_EQ(rig.cam->stop(), 0);

    EXPECT_EQ(releaseFailures, 0);
    ASSERT_FALSE(received.empty());
    for (size_t i = 1; i < received.size(); ++i)
        EXPECT_LT(received[i - 1], received[i]);
    // The thread adjusted the frame rate along the way (every 3 s of driven time).
    EXPECT_GT(rig.device->readsOf(CameraCtrl::FRAME_RATE), 0);
    while (ZentroxFrameBuffer* frame = rig.cam->requestFrame(0))
        EXPECT_EQ(rig.cam->releaseFrame(frame), 0);
}

// Two requesters, a thread that restarts the camera and one that changes controls, as the Python
// binding drives them: requests wait without the lifecycle lock, buffers are read and released
// under it once holdsFrame says they are still the caller's. The sanitizer builds watch the pool
// handing over, retiring and freeing.
TEST(CameraStress, RestartsWhileOtherThreadsWaitAndRead) {
    Rig rig(smallGeometry(), false);
    rig.sensor->setIdle(1ms);
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    std::mutex lifecycle;
    std::atomic<bool> running{true};
    std::atomic<int> restarts{0}, read{0}, stale{0}, wrong{0};

    std::thread feeder([&] {
        for (uint64_t t = 1; running; ++t) {
            rig.sensor->feed(t);
            std::this_thread::sleep_for(200us);
        }
    });
    auto requester = [&] {
        while (running) {
            uint64_t serial = 0;
            ZentroxFrameBuffer* frame = rig.cam->requestFrame(20, nullptr, &serial);
            if (frame == nullptr) continue;
            std::lock_guard<std::mutex> lock(lifecycle);
            if (!rig.cam->holdsFrame(frame, serial)) {
                ++stale;  // a restart replaced its pool: the buffer is gone, nothing to read or give back
                continue;
            }
            // The fake device fills every element with the frame's timestamp.
            const float* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
            if (depth[0] != float(stampOf(frame)) || depth[8 * 4 - 1] != depth[0]) ++wrong;
            if (rig.cam->releaseFrame(frame) != 0) ++wrong;
            ++read;
        }
    };
    std::thread a(requester), b(requester);
    std::thread restarter([&] {
        for (int n = 0; n < 200; ++n) {
            std::lock_guard<std::mutex> lock(lifecycle);
            EXPECT_EQ(rig.cam->stop(), 0);
            ASSERT_EQ(rig.cam->start(n % 3 ? FrameType::DEPTH : FrameType::RAW), 0);
            ASSERT_EQ(rig.cam->stop(), 0);
            ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
            ++restarts;
            std::this_thread::sleep_for(2ms);
        }
        running = false;
    });
    std::thread controls([&] {
        for (int turn = 0; running; ++turn) {
            rig.cam->setControl(CameraCtrl::RANGE, turn % 2 ? 2000 : 4000);
            rig.cam->wakeRequests();
            std::this_thread::sleep_for(100us);
        }
    });
    for (std::thread* t : {&restarter, &a, &b, &controls, &feeder})
        t->join();
    std::printf("restarts %d, frames read %d, stale %d\n", restarts.load(), read.load(), stale.load());
    EXPECT_EQ(restarts, 200);
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(read, 0);
    EXPECT_EQ(rig.cam->stop(), 0);
}

}  // namespace
