// Requests that end early, requests that wait while another thread restarts the camera, and the
// pool serial that tells a caller whether a buffer it was handed still exists.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "tests/cpp/camera/CameraRig.h"

using namespace Zentrox;
using namespace std::chrono_literals;

namespace {

// Answers "stop" from its `stopAt`-th ask on; `onAsk` runs at each ask (on the waiting thread).
class CountingHook : public FrameWaitHook {
  public:
    CountingHook(int stopAt, int interval, std::function<void(int)> onAsk = {})
        : stopAt(stopAt), interval(interval), onAsk(std::move(onAsk)) {}
    bool stopWaiting() override {
        int n = ++asks;
        if (onAsk) onAsk(n);
        return n >= stopAt;
    }
    int checkIntervalMs() override { return interval; }

    std::atomic<int> asks{0};

  private:
    const int stopAt;
    const int interval;
    std::function<void(int)> onAsk;
};

// A wait without limit ends only when the hook says so: when the wait begins, at each wakeRequests
// and every interval, with a pool and before the first start alike. Nothing is left counted.
TEST(CaptureWaits, AHookEndsAWaitWithoutLimit) {
    struct Case {
        const char* what;
        int interval;
        int stopAt;
        bool wake;
    };
    const Case cases[] = {
        {"asked when the wait begins", 0, 1, false},
        {"asked at every wake", 0, 3, true},
        {"asked every interval", 2, 4, false},
    };
    for (bool started : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (started ? ", streaming" : ", before start"));
            Rig rig;
            if (started) {
                ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
            }
            CountingHook hook(c.stopAt, c.interval);
            std::atomic<bool> done{false};
            ASSERT_EQ(rig.cam->requestFrame(0), nullptr);  // nothing yet
            std::thread waker([&] {
                while (c.wake && !done) {
                    rig.cam->wakeRequests();
                    std::this_thread::sleep_for(1ms);
                }
            });
            uint64_t serial = 77;
            ZentroxFrameBuffer* got = rig.cam->requestFrame(-1, &hook, &serial);
            done = true;
            waker.join();
            EXPECT_EQ(got, nullptr);
            EXPECT_EQ(serial, 77u);
            EXPECT_EQ(hook.asks, c.stopAt);
            if (!started) continue;
            EXPECT_EQ(CameraTestAccess::requestWaiters(*rig.cam), 0);
            rig.feedAndSettle(5);
            rig.expectReady(5);
            rig.cam->stop();
        }
    }
}

// While the hook runs the request still counts as waiting: with two buffers held and one frame
// ready, the capture thread must not take that frame back for the next one.
TEST(CaptureWaits, ARequesterIsNotRobbedWhileItsHookRuns) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    ZentroxFrameBuffer *a = nullptr, *b = nullptr;
    ASSERT_NO_FATAL_FAILURE(rig.hold({&a, &b}));
    CountingHook hook(1000, 0, [&](int n) {
        if (n != 1) return;
        rig.sensor->feed(3);
        rig.sensor->feed(4);
        // Frame 4 could only be read into the buffer of frame 3, which this request is owed.
        rig.sensor->waitFor([&] { return rig.sensor->pending() == 0; }, 300ms);
    });
    uint64_t serial = 0;
    ZentroxFrameBuffer* got = rig.cam->requestFrame(20000, &hook, &serial);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(stampOf(got), 3u);
    EXPECT_EQ(serial, rig.cam->poolSerial());
    rig.releaseAndStop({a, b, got});
}

// A wait that the hook ends takes nothing, even a frame that came while the hook ran: it stays
// ready for the next request instead of being handed to a caller that has gone.
TEST(CaptureWaits, AWaitTheHookEndsLeavesTheFrameForTheNext) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    CountingHook hook(2, 0, [&](int n) {
        if (n == 2) rig.feedAndSettle(4);
    });
    std::thread waker([&] {
        while (hook.asks < 1)
            std::this_thread::yield();
        rig.cam->wakeRequests();
    });
    EXPECT_EQ(rig.cam->requestFrame(-1, &hook, nullptr), nullptr);
    waker.join();
    EXPECT_EQ(CameraTestAccess::counts(*rig.cam).ready, 1);
    rig.expectReady(4);
    rig.cam->stop();
}

// A start replaces the pool: requests waiting on the old one, or waiting for a first pool, end with
// null, and the old pool lives on until they have left it (the sanitizer builds would see it).
TEST(CaptureWaits, AStartEndsTheWaitsItWouldStrand) {
    for (bool hadPool : {true, false}) {
        SCOPED_TRACE(hadPool ? "waiting on a stopped camera's pool" : "waiting before the first start");
        Rig rig;
        if (hadPool) {
            ASSERT_EQ(rig.cam->start(FrameType::RAW), 0);
            rig.cam->stop();
        }
        const uint64_t before = rig.cam->poolSerial();
        EXPECT_EQ(before != 0, hadPool);
        std::atomic<bool> returned{false};
        ZentroxFrameBuffer* got = reinterpret_cast<ZentroxFrameBuffer*>(1);
        // The hook is asked as the wait begins: once it has been, the request is inside the camera
        // and the start below must end it, whether the start comes before or after the wait blocks.
        struct Entered final : FrameWaitHook {
            std::atomic<bool> asked{false};
            bool stopWaiting() override {
                asked = true;
                return false;
            }
        } entered;
        std::thread waiter([&] {
            got = rig.cam->requestFrame(-1, &entered, nullptr);
            returned = true;
        });
        auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!entered.asked && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(100us);
        EXPECT_FALSE(returned);
        ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
        waiter.join();
        EXPECT_EQ(got, nullptr);
        EXPECT_NE(rig.cam->poolSerial(), before);
        rig.feedAndSettle(9);
        ZentroxFrameBuffer* frame = rig.take();
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(stampOf(frame), 9u);
        EXPECT_EQ(rig.cam->releaseFrame(frame), 0);
        rig.cam->stop();
    }
}

// The serial changes with every pool built and only then; holdsFrame answers for the caller's
// buffers of the current pool alone.
TEST(CaptureWaits, ThePoolSerialFollowsThePoolTheCameraHas) {
    Rig rig;
    EXPECT_EQ(rig.cam->poolSerial(), 0u);
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    const uint64_t first = rig.cam->poolSerial();
    EXPECT_NE(first, 0u);
    rig.feedAndSettle(1);
    rig.feedAndSettle(2);
    uint64_t serial = 0;
    ZentroxFrameBuffer* held = rig.cam->requestFrame(0, nullptr, &serial);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(serial, first);
    EXPECT_TRUE(rig.cam->holdsFrame(held, first));
    EXPECT_FALSE(rig.cam->holdsFrame(held, first + 1));
    EXPECT_EQ(rig.cam->start(FrameType::DEPTH), -1);  // streaming: refused, pool kept
    EXPECT_EQ(rig.cam->poolSerial(), first);
    rig.cam->stop();
    // A ready frame is not the caller's; a released one no longer is.
    for (LinkNode* node : CameraTestAccess::pool(*rig.cam)->queue->allNodes()) {
        if (node->buffer != held) {
            EXPECT_FALSE(rig.cam->holdsFrame(node->buffer, first));
        }
    }
    rig.device->setGeometry({2, 8, 5}, {2, 8, 4});  // a raw frame larger than the cache
    EXPECT_EQ(rig.cam->start(FrameType::DEPTH), -1);
    EXPECT_EQ(rig.cam->poolSerial(), first);
    EXPECT_TRUE(rig.cam->holdsFrame(held, first));
    rig.device->setGeometry({2, 8, 4}, {2, 8, 4});
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    EXPECT_GT(rig.cam->poolSerial(), first);
    EXPECT_FALSE(rig.cam->holdsFrame(held, first));
    rig.cam->stop();
    ZentroxTOFCamera other;
    EXPECT_EQ(other.poolSerial(), 0u);
}

}  // namespace
