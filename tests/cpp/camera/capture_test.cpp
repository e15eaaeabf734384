#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/cpp/camera/CameraRig.h"

using namespace Zentrox;
using namespace std::chrono_literals;

namespace {

std::vector<uint64_t> drain(ZentroxTOFCamera& cam) {
    std::vector<uint64_t> stamps;
    while (ZentroxFrameBuffer* frame = cam.requestFrame(0)) {
        stamps.push_back(stampOf(frame));
        EXPECT_EQ(cam.releaseFrame(frame), 0);
    }
    return stamps;
}

TEST(CaptureQueue, FramesComeOutOldestFirst) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    rig.feedAndSettle(10);
    rig.feedAndSettle(20);
    EXPECT_EQ((std::vector<uint64_t>{10, 20}), drain(*rig.cam));
    rig.cam->stop();
}

// A caller that never asks finds the newest frames: the capture thread takes back the oldest frame
// nobody requested, and the ready count stays within the pool.
TEST(CaptureQueue, WithoutRequestsTheNewestFramesStayReady) {
    for (bool burst : {false, true}) {
        SCOPED_TRACE(burst);
        Rig rig;
        ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
        std::atomic<bool> watching{true};
        std::atomic<int> highest{0};
        std::thread watcher([&] {
            while (watching) {
                int n = CameraTestAccess::readyCount(*rig.cam);
                if (n > highest) highest = n;
                std::this_thread::yield();
            }
        });
        for (uint64_t t = 1; t <= 10; ++t) {
            if (burst) {
                rig.sensor->feed(t);
            } else {
                rig.feedAndSettle(t);
                int ready = CameraTestAccess::readyCount(*rig.cam);
                EXPECT_GE(ready, t < 2 ? 1 : 2);
                EXPECT_LE(ready, 3);
            }
        }
        ASSERT_TRUE(rig.sensor->waitUntilIdle());
        watching = false;
        watcher.join();
        EXPECT_LE(highest, 3);
        EXPECT_GE(CameraTestAccess::readyCount(*rig.cam), 2);
        std::vector<uint64_t> got = drain(*rig.cam);
        ASSERT_GE(got.size(), 2u);
        ASSERT_LE(got.size(), 3u);
        // The newest frames, oldest first, ending with the last one fed.
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i], 10 - (got.size() - 1) + i);
        rig.cam->stop();
    }
}

// With every buffer held the capture thread reads nothing and polls in 20 ms slices; one release
// lets it capture again.
TEST(CaptureQueue, ThreeHeldFramesPauseCaptureAndOneReleaseResumesIt) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    ZentroxFrameBuffer* held[3];
    ASSERT_NO_FATAL_FAILURE(rig.hold({&held[0], &held[1], &held[2]}));
    int slices = rig.clock.slicesEnded();
    ASSERT_TRUE(rig.sensor->waitFor([&] { return rig.clock.slicesEnded() > slices; }));
    int calls = rig.sensor->getFrameCalls;
    rig.sensor->feed(4);
    slices = rig.clock.slicesEnded();
    ASSERT_TRUE(rig.sensor->waitFor([&] { return rig.clock.slicesEnded() >= slices + 5; }));
    EXPECT_EQ(rig.sensor->getFrameCalls, calls);
    EXPECT_EQ(rig.sensor->pending(), 1u);
    for (int64_t length : rig.clock.waitLengths())
        EXPECT_EQ(length, 20'000'000);
    std::vector<int64_t> pauses = rig.clock.pauses();
    ASSERT_GE(pauses.size(), 5u);
    for (int64_t pause : pauses)
        EXPECT_EQ(pause, 10'000);

    ZentroxFrameBuffer* next = rig.requestWhile([&] { EXPECT_EQ(rig.cam->releaseFrame(held[1]), 0); });
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(stampOf(next), 4u);
    EXPECT_EQ(next, held[1]);  // the only buffer that was free
    rig.releaseAndStop({held[0], held[2], next});
}

// A caller that keeps two frames and waits for a third gets each new frame: the capture thread does
// not take back a frame that a waiting request is about to receive.
TEST(CaptureHandOff, ACallerHoldingTwoFramesStillGetsNewOnes) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    ZentroxFrameBuffer *older = nullptr, *old = nullptr;
    ASSERT_NO_FATAL_FAILURE(rig.hold({&older, &old}));
    for (uint64_t t = 3; t <= 12; ++t) {
        ZentroxFrameBuffer* fresh = rig.feedToWaitingRequest(t);
        ASSERT_NE(fresh, nullptr) << "frame " << t;
        EXPECT_EQ(stampOf(fresh), t);
        EXPECT_EQ(rig.cam->releaseFrame(older), 0);
        older = old;
        old = fresh;
    }
    rig.releaseAndStop({older, old});
}

TEST(CaptureHandOff, RequestWaitsAsAsked) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::RAW), 0);
    EXPECT_EQ(rig.cam->requestFrame(0), nullptr);
    EXPECT_EQ(rig.cam->requestFrame(30), nullptr);
    std::thread feeder([&] {
        std::this_thread::sleep_for(30ms);
        rig.sensor->feed(8);
    });
    ZentroxFrameBuffer* frame = rig.cam->requestFrame(-1);
    feeder.join();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(stampOf(frame), 8u);
    // The raw conversion copied the sensor frame: its first eight bytes carry the timestamp.
    uint64_t copied = 0;
    std::memcpy(&copied, frame->getData(FrameType::RAW), sizeof(copied));
    EXPECT_EQ(copied, 8u);
    EXPECT_EQ(rig.cam->releaseFrame(frame), 0);
    rig.cam->stop();
}

TEST(CaptureHandOff, SeveralWaitersEachGetADifferentFrame) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    ZentroxFrameBuffer* got[2] = {nullptr, nullptr};
    std::thread a([&] { got[0] = rig.cam->requestFrame(20000); });
    std::thread b([&] { got[1] = rig.cam->requestFrame(20000); });
    rig.sensor->feed(1);
    rig.sensor->feed(2);
    a.join();
    b.join();
    ASSERT_NE(got[0], nullptr);
    ASSERT_NE(got[1], nullptr);
    EXPECT_NE(got[0], got[1]);
    EXPECT_EQ(stampOf(got[0]) + stampOf(got[1]), 3u);
    rig.releaseAndStop({got[0], got[1]});
}

// Only a buffer the caller holds goes back. Anything else is refused and changes nothing.
TEST(CaptureHandOff, ReleasingABufferNotHeldIsRefused) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    rig.feedAndSettle(1);
    rig.feedAndSettle(2);
    rig.cam->stop();
    FramePool* pool = CameraTestAccess::pool(*rig.cam);
    ZentroxFrameBuffer* first = rig.cam->requestFrame(0);
    ASSERT_NE(first, nullptr);
    // The other frame is still in the ready queue.
    ZentroxFrameBuffer* ready = nullptr;
    for (LinkNode* node : pool->queue->allNodes()) {
        if (node->place == NodePlace::READY) ready = node->buffer;
    }
    ASSERT_NE(ready, nullptr);
    int freeBefore = pool->counts().free;
    EXPECT_EQ(rig.cam->releaseFrame(ready), -1);
    DepthData stranger(8, 4);
    EXPECT_EQ(rig.cam->releaseFrame(&stranger), -1);
    EXPECT_EQ(rig.cam->releaseFrame(nullptr), -1);
    EXPECT_EQ(pool->counts().free, freeBefore);
    EXPECT_EQ(pool->counts().ready, 1);
    EXPECT_EQ(pool->counts().held, 1);

    EXPECT_EQ(rig.cam->releaseFrame(first), 0);
    EXPECT_EQ(rig.cam->releaseFrame(first), -1);
    EXPECT_EQ(pool->counts().free, freeBefore + 1);
    ZentroxFrameBuffer* second = rig.cam->requestFrame(0);
    ASSERT_EQ(second, ready);
    EXPECT_EQ(stampOf(second), 2u);
    EXPECT_EQ(rig.cam->releaseFrame(second), 0);
}

// A buffer released once may be taken by the capture thread at once; releasing it again must not
// hand the buffer being filled to the free stack as well.
TEST(CaptureHandOff, ASecondReleaseCannotFreeTheBufferBeingFilled) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    ZentroxFrameBuffer* held[3];
    ASSERT_NO_FATAL_FAILURE(rig.hold({&held[0], &held[1], &held[2]}));
    int calls = rig.sensor->getFrameCalls;
    ASSERT_EQ(rig.cam->releaseFrame(held[0]), 0);
    // The capture thread now holds that buffer and waits in getFrame.
    ASSERT_TRUE(rig.sensor->waitFor([&] { return rig.sensor->getFrameCalls > calls; }));
    EXPECT_EQ(rig.cam->releaseFrame(held[0]), -1);
    PoolCounts counts = CameraTestAccess::counts(*rig.cam);
    EXPECT_EQ(counts.free, 0);
    EXPECT_EQ(counts.capturing, 1);
    EXPECT_EQ(counts.held, 2);
    ZentroxFrameBuffer* next = rig.feedToWaitingRequest(4);
    ASSERT_EQ(next, held[0]);
    EXPECT_EQ(stampOf(next), 4u);
    EXPECT_EQ(rig.cam->requestFrame(0), nullptr);
    rig.releaseAndStop({next, held[1], held[2]});
}

TEST(CaptureHandOff, ReadyFramesOutliveStop) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::RAW), 0);
    rig.feedAndSettle(1);
    rig.feedAndSettle(2);
    rig.sensor->feed(3);
    rig.cam->stop();
    std::vector<uint64_t> got = drain(*rig.cam);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), rig.sensor->pending() == 0 ? 3u : 2u);
    EXPECT_EQ(rig.cam->requestFrame(20), nullptr);
}

// Failed reads and failed depth conversions never reach the caller; a failed raw conversion does.
TEST(CaptureFailures, FailedFramesAreDroppedExceptRawConversionFailures) {
    struct Case {
        FrameType type;
        int readResult;
        bool conversionOk;
        bool delivered;
    };
    const Case cases[] = {
        {FrameType::DEPTH, 0, true, true},  {FrameType::DEPTH, -2, true, false},
        {FrameType::DEPTH, 2, true, false}, {FrameType::DEPTH, 0, false, false},
        {FrameType::RAW, 0, true, true},    {FrameType::RAW, -1, true, false},
        {FrameType::RAW, 0, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " read " << c.readResult
                                        << " conversion " << c.conversionOk);
        Rig rig;
        ASSERT_EQ(rig.cam->start(c.type), 0);
        if (!c.conversionOk) {
            rig.device->phaseResult = false;
            rig.device->rawResult = false;
        }
        rig.feedAndSettle(42, c.readResult);
        ZentroxFrameBuffer* frame = rig.cam->requestFrame(0);
        EXPECT_EQ(frame != nullptr, c.delivered);
        EXPECT_EQ(CameraTestAccess::fpsSamples(*rig.cam), c.delivered ? 1 : 0);
        if (frame) {
            EXPECT_EQ(stampOf(frame), 42u);
            EXPECT_EQ(rig.cam->releaseFrame(frame), 0);
        }
        // The buffer of a dropped frame is reused at once: the next good frame comes through.
        rig.device->phaseResult = true;
        rig.feedAndSettle(43);
        frame = rig.cam->requestFrame(0);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(stampOf(frame), 43u);
        rig.cam->releaseFrame(frame);
        rig.cam->stop();
    }
}

TEST(CaptureFailures, AReadFailureLeavesTheSkipCycleAlone) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    rig.cam->setControl(CameraCtrl::SKIP_FRAME_LOOP, 5);
    rig.feedAndSettle(1);
    EXPECT_EQ(CameraTestAccess::frameIndex(*rig.cam), 1);
    rig.feedAndSettle(2, -2);
    EXPECT_EQ(CameraTestAccess::frameIndex(*rig.cam), 1);
    rig.device->failPhaseAt(3);
    rig.feedAndSettle(3);
    EXPECT_EQ(CameraTestAccess::frameIndex(*rig.cam), 2);
    rig.cam->stop();
}

// Skip cycles through the running thread, each on a new camera: numbers of the delivered frames.
TEST(CaptureSkip, CyclesDeliverTheExpectedFrames) {
    struct Case {
        int skip;
        int loop;
        std::vector<uint64_t> delivered;  // of frames 1..12
    };
    const Case cases[] = {
        {0, 1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {1, 2, {1, 3, 5, 7, 9, 11}},
        {2, 3, {2, 5, 8, 11}},
        {1, 3, {1, 2, 4, 5, 7, 8, 10, 11}},
        {3, 3, {}},
        {200, 200, {}},
        {0, 256, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {7, 256, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {1, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "skip " << c.skip << " loop " << c.loop);
        Rig rig;
        EXPECT_EQ(rig.cam->setControl(CameraCtrl::SKIP_FRAME, c.skip), 0);
        EXPECT_EQ(rig.cam->setControl(CameraCtrl::SKIP_FRAME_LOOP, c.loop), 0);
        ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
        std::vector<uint64_t> delivered;
        for (uint64_t t = 1; t <= 12; ++t) {
            rig.feedAndSettle(t);
            std::vector<uint64_t> got = drain(*rig.cam);
            delivered.insert(delivered.end(), got.begin(), got.end());
        }
        EXPECT_EQ(c.delivered, delivered);
        // Skipped frames are not converted.
        EXPECT_EQ(rig.device->phaseConversions, int(c.delivered.size()));
        rig.cam->stop();
    }
}

TEST(CaptureSkip, TheCycleContinuesAcrossStopAndStart) {
    Rig rig;
    rig.cam->setControl(CameraCtrl::SKIP_FRAME, 1);
    rig.cam->setControl(CameraCtrl::SKIP_FRAME_LOOP, 2);
    std::vector<uint64_t> delivered;
    for (uint64_t t = 1; t <= 6; ++t) {
        ASSERT_EQ(rig.cam->start(FrameType::RAW), 0);
        rig.feedAndSettle(t);
        std::vector<uint64_t> got = drain(*rig.cam);
        delivered.insert(delivered.end(), got.begin(), got.end());
        rig.cam->stop();
    }
    EXPECT_EQ((std::vector<uint64_t>{1, 3, 5}), delivered);
}

// Over any skipFrameLoop consecutive frames, skipFrameLoop - skipFrame are delivered, for every
// cycle of 1 to 255 frames; cycles whose low eight bits are zero deliver everything.
TEST(CaptureSkip, EachCycleDeliversLoopMinusSkipFrames) {
    ZentroxTOFCamera cam;
    for (int loop = 1; loop <= 255; ++loop) {
        for (int skip = 0; skip <= loop; ++skip) {
            cam.setControl(CameraCtrl::SKIP_FRAME, skip);
            cam.setControl(CameraCtrl::SKIP_FRAME_LOOP, loop);
            int delivered = 0;
            for (int i = 0; i < loop; ++i)
                delivered += CameraTestAccess::skipThisFrame(cam) ? 0 : 1;
            ASSERT_EQ(delivered, loop - skip) << "skip " << skip << " loop " << loop;
        }
    }
    for (int loop : {0, 256, 512, -256, INT32_MIN}) {
        for (int skip : {0, 1, 255, -7, INT32_MAX, INT32_MIN}) {
            cam.setControl(CameraCtrl::SKIP_FRAME, skip);
            cam.setControl(CameraCtrl::SKIP_FRAME_LOOP, loop);
            for (int i = 0; i < 300; ++i) {
                ASSERT_FALSE(CameraTestAccess::skipThisFrame(cam)) << "skip " << skip << " loop " << loop;
            }
        }
    }
    // Values the rule cannot divide by are still stored.
    EXPECT_EQ(CameraTestAccess::skipFrameLoop(cam), INT32_MIN);
    // Other out-of-range values stay within the rule's arithmetic (checked by the sanitizer builds).
    for (int loop : {-1, -2, 257, INT32_MAX}) {
        for (int skip : {INT32_MIN, -1, 0, INT32_MAX}) {
            cam.setControl(CameraCtrl::SKIP_FRAME, skip);
            cam.setControl(CameraCtrl::SKIP_FRAME_LOOP, loop);
            for (int i = 0; i < 300; ++i)
                CameraTestAccess::skipThisFrame(cam);
            int index = CameraTestAccess::frameIndex(cam);
            EXPECT_LT(index < 0 ? -int64_t(index) : int64_t(index),
                      loop < 0 ? -int64_t(loop) : int64_t(loop));
        }
    }
}

// The measured rate: the first frame measures from the thread's start, the second blends with 0.1,
// later ones with 1/30; failed frames do not count.
TEST(CaptureFrameRate, MeasurementFollowsDeliveredFrames) {
    Rig rig;
    ASSERT_EQ(rig.startAndSettle(FrameType::DEPTH), 0);  // the thread has read its start time

    auto deliverAfter = [&](std::chrono::milliseconds gap, uint64_t stamp) {
        rig.clock.advance(gap);
        rig.sensor->feed(stamp);
        ZentroxFrameBuffer* frame = rig.take();
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(stampOf(frame), stamp);
        rig.cam->releaseFrame(frame);
    };

    deliverAfter(33ms, 1);
    EXPECT_FLOAT_EQ(CameraTestAccess::frameInterval(*rig.cam), 33.0f);
    EXPECT_NEAR(CameraTestAccess::fps(*rig.cam), 30.303f, 0.001f);
    EXPECT_EQ(CameraTestAccess::fpsSamples(*rig.cam), 1);

    deliverAfter(20ms, 2);
    EXPECT_NEAR(CameraTestAccess::frameInterval(*rig.cam), 31.7f, 1e-4f);
    EXPECT_NEAR(CameraTestAccess::fps(*rig.cam), 1000.0f / 31.7f, 1e-3f);
    EXPECT_FLOAT_EQ(CameraTestAccess::smoothing(*rig.cam), 1.0f / 30.0f);

    deliverAfter(40ms, 3);
    EXPECT_NEAR(CameraTestAccess::frameInterval(*rig.cam), 40.0f / 30.0f + 31.7f * 29.0f / 30.0f, 1e-4f);

    // A failed frame 100 ms later does not enter; the next good frame measures from frame 3.
    float before = CameraTestAccess::frameInterval(*rig.cam);
    rig.clock.advance(100ms);
    rig.feedAndSettle(4, -1);
    EXPECT_EQ(CameraTestAccess::fpsSamples(*rig.cam), 3);
    EXPECT_FLOAT_EQ(CameraTestAccess::frameInterval(*rig.cam), before);
    deliverAfter(10ms, 5);
    EXPECT_NEAR(CameraTestAccess::frameInterval(*rig.cam), 110.0f / 30.0f + before * 29.0f / 30.0f, 1e-4f);
    rig.cam->stop();

    // A new capture thread measures from its own start; the smoothing state carries on.
    rig.clock.advance(5000ms);
    before = CameraTestAccess::frameInterval(*rig.cam);
    ASSERT_EQ(rig.startAndSettle(FrameType::DEPTH), 0);
    deliverAfter(30ms, 6);
    EXPECT_EQ(CameraTestAccess::fpsSamples(*rig.cam), 5);
    EXPECT_NEAR(CameraTestAccess::frameInterval(*rig.cam), 30.0f / 30.0f + before * 29.0f / 30.0f, 1e-4f);
    rig.cam->stop();
}

TEST(CaptureFrameRate, IntervalsAreWholeMilliseconds) {
    ZentroxTOFCamera cam;
    ManualClock clock;
    CameraTestAccess::setClock(cam, clock);
    CameraTestAccess::setLastFrameTime(cam, clock.systemNs());
    clock.advance(std::chrono::microseconds(33999));
    CameraTestAccess::updateFps(cam);
    EXPECT_FLOAT_EQ(CameraTestAccess::frameInterval(cam), 33.0f);
    // Two frames within one millisecond: an interval of 0 gives an infinite rate, not a fault.
    clock.advance(std::chrono::microseconds(100));
    CameraTestAccess::updateFps(cam);
    EXPECT_NEAR(CameraTestAccess::frameInterval(cam), 0.9f * 33.0f, 1e-4f);
}

// Every 3 s of system time (strictly more), while automatic adjustment is on, the capture thread
// reads the frame rate from the device once.
TEST(CaptureFrameRate, AdjustmentRunsOncePerThreeSeconds) {
    Rig rig;
    // No frame yet: the measured rate is 0, the target 1, which the device already has: each
    // adjustment is exactly one read of FRAME_RATE and no write.
    rig.device->setControlValue(CameraCtrl::FRAME_RATE, 1);
    ASSERT_EQ(rig.startAndSettle(FrameType::DEPTH), 0);
    auto turns = [&](int n) {
        int calls = rig.sensor->getFrameCalls;
        ASSERT_TRUE(rig.sensor->waitFor([&] { return rig.sensor->getFrameCalls >= calls + n; }));
    };
    auto adjustments = [&] { return rig.device->readsOf(CameraCtrl::FRAME_RATE); };
    int startReads = adjustments();
    EXPECT_EQ(startReads, 0);

    rig.clock.advance(2900ms);
    turns(2);
    EXPECT_EQ(adjustments(), 0);
    rig.clock.advance(100ms);  // exactly 3 s
    turns(2);
    EXPECT_EQ(adjustments(), 0);
    rig.clock.advance(1ns);
    turns(2);
    EXPECT_EQ(adjustments(), 1);
    turns(3);
    EXPECT_EQ(adjustments(), 1);
    rig.clock.advance(3000ms + 1ns);
    turns(2);
    EXPECT_EQ(adjustments(), 2);

    EXPECT_EQ(rig.cam->setControl(CameraCtrl::AUTO_FRAME_RATE, 0), 0);
    turns(2);
    rig.clock.advance(10s);
    turns(3);
    EXPECT_EQ(adjustments(), 2);
    EXPECT_EQ(rig.cam->setControl(CameraCtrl::AUTO_FRAME_RATE, 1), 0);
    turns(2);
    EXPECT_EQ(adjustments(), 3);
    EXPECT_EQ(rig.device->writesOf(CameraCtrl::FRAME_RATE), 0);
    rig.cam->stop();
}

// Frames every 33 ms against a device at 60 fps: after 3 s the rate is set to what is delivered.
TEST(CaptureFrameRate, AdjustmentFollowsTheDeliveredRate) {
    Rig rig;
    rig.device->setControlValue(CameraCtrl::FRAME_RATE, 60);
    ASSERT_EQ(rig.startAndSettle(FrameType::DEPTH), 0);
    for (uint64_t t = 1; t <= 95; ++t) {
        rig.clock.advance(33ms);
        rig.feedAndSettle(t);
        drain(*rig.cam);
    }
    rig.cam->stop();
    auto writes = rig.device->controlWrites();
    std::vector<int> rates;
    for (const auto& w : writes) {
        if (w.first == CameraCtrl::FRAME_RATE) rates.push_back(w.second);
    }
    EXPECT_EQ((std::vector<int>{30}), rates);
}

}  // namespace
