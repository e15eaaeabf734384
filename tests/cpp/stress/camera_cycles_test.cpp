// Many start/stop and open/close cycles of a camera over the CSI transport of a fake board, and
// cameras destroyed while they stream. Each test compares what the fake kernel and the process hold
// before and after: descriptors, mappings and, without a sanitizer allocator, resident memory.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <vector>

#include "tests/cpp/stress/CsiRig.h"
#include "tests/cpp/stress/ProcessResources.h"

using namespace Zentrox;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kStartStopCycles = 1000;
constexpr int kOpenCloseCycles = 300;
constexpr int kDestroyedWhileStreaming = 50;
// Every loop also ends at this time, so that a slow machine or a sanitizer build stays bounded.
constexpr auto kTimeBound = std::chrono::seconds(120);
// Growth of resident memory tolerated over a run (allocator caches), far below what one leaked
// frame pool per cycle would add.
constexpr long kRssSlackKb = 16 * 1024;

void expectFlat(const char* what, const ProcessResources& before, const ProcessResources& after) {
    printResources(what, before, after);
    if (after.mappings != before.mappings) printNewMappings(before, after);
    EXPECT_EQ(after.descriptors, before.descriptors) << what;
    if (kPlainAllocator) {
        EXPECT_LE(after.mappings, before.mappings) << what;
        EXPECT_LE(after.rss_kb - before.rss_kb, kRssSlackKb) << what;
    }
}

// One start/stop cycle with frames held across it: one frame is taken while streaming and kept
// through stop, one ready frame is taken after stop and kept through the next start.
struct Cycler {
    ZentroxTOFCamera& cam;
    ZentroxFrameBuffer* keptOverStart = nullptr;
    int delivered = 0;

    void cycle(int n) {
        const FrameType type = n % 2 ? FrameType::RAW : FrameType::DEPTH;
        ASSERT_EQ(cam.start(type), 0) << "cycle " << n;
        if (keptOverStart) {
            // The pool it came from is gone: the camera refuses it instead of touching it.
            EXPECT_EQ(cam.releaseFrame(keptOverStart), -1) << "cycle " << n;
            keptOverStart = nullptr;
        }
        ZentroxFrameBuffer* held = cam.requestFrame(5000);
        ASSERT_NE(held, nullptr) << "cycle " << n;
        ++delivered;
        ASSERT_NE(held->getData(type), nullptr);
        ASSERT_EQ(cam.stop(), 0) << "cycle " << n;
        EXPECT_EQ(cam.releaseFrame(held), 0) << "cycle " << n;
        keptOverStart = cam.requestFrame(0);  // a frame still ready after stop, if any
        if (keptOverStart) ++delivered;
    }
};

TEST(CameraCycles, ThousandStartStopCyclesWithFramesHeldAcrossThem) {
    CsiRig rig;
    auto cam = std::make_unique<ZentroxTOFCamera>();
    ASSERT_EQ(rig.open(*cam), 0);
    Cycler cycler{*cam};
    for (int n = 0; n < 10; ++n)
        cycler.cycle(n);  // allocator and caches settle
    const int fakeFds = rig.fake.openDescriptors();
    const ProcessResources before = ProcessResources::now();
    const auto deadline = Clock::now() + kTimeBound;
    int cycles = 0;
    for (; cycles < kStartStopCycles && Clock::now() < deadline; ++cycles) {
        cycler.cycle(cycles);
        if (HasFatalFailure()) return;
        ASSERT_EQ(rig.fake.liveMappings(), 0) << "stop leaves no capture buffer mapped";
        rig.fake.clearTrace();  // the fake's call trace would otherwise grow with the run
        ASSERT_EQ(rig.fake.openDescriptors(), fakeFds);
    }
    const ProcessResources after = ProcessResources::now();
    std::printf("start/stop cycles run: %d, frames delivered: %d\n", cycles, cycler.delivered);
    expectFlat("start/stop cycles", before, after);
    EXPECT_GE(cycles, 100) << "the time bound cut the run very short";
    EXPECT_EQ(cam->close(), 0);
    EXPECT_EQ(rig.fake.openDescriptors(), 0) << "close releases every descriptor";
    EXPECT_EQ(rig.fake.badCloses(), 0);
    EXPECT_EQ(rig.fake.badUnmaps(), 0);
}

TEST(CameraCycles, OpenCloseCycles) {
    CsiRig rig;
    auto cam = std::make_unique<ZentroxTOFCamera>();
    for (int n = 0; n < 5; ++n) {
        ASSERT_EQ(rig.open(*cam), 0);
        ASSERT_EQ(cam->close(), 0);
    }
    const ProcessResources before = ProcessResources::now();
    const auto deadline = Clock::now() + kTimeBound;
    int cycles = 0;
    for (; cycles < kOpenCloseCycles && Clock::now() < deadline; ++cycles) {
        ASSERT_EQ(rig.open(*cam), 0) << "cycle " << cycles;
        if (cycles % 10 == 0) {
            // Now and then stream a frame in between.
            ASSERT_EQ(cam->start(FrameType::DEPTH), 0);
            ZentroxFrameBuffer* frame = cam->requestFrame(5000);
            ASSERT_NE(frame, nullptr);
            EXPECT_EQ(cam->releaseFrame(frame), 0);
        }
        ASSERT_EQ(cam->close(), 0) << "cycle " << cycles;
        ASSERT_EQ(rig.fake.openDescriptors(), 0) << "cycle " << cycles;
        ASSERT_EQ(rig.fake.liveMappings(), 0) << "cycle " << cycles;
        rig.fake.clearTrace();
    }
    const ProcessResources after = ProcessResources::now();
    std::printf("open/close cycles run: %d\n", cycles);
    expectFlat("open/close cycles", before, after);
    EXPECT_EQ(rig.fake.badCloses(), 0);
}

TEST(CameraCycles, CameraDestroyedWhileStreaming) {
    CsiRig rig;
    {
        // Warm-up: one camera through the whole path.
        auto cam = std::make_unique<ZentroxTOFCamera>();
        ASSERT_EQ(rig.open(*cam), 0);
        ASSERT_EQ(cam->start(FrameType::DEPTH), 0);
        ASSERT_NE(cam->requestFrame(5000), nullptr);
    }
    const ProcessResources before = ProcessResources::now();
    const auto deadline = Clock::now() + kTimeBound;
    int cameras = 0;
    for (; cameras < kDestroyedWhileStreaming && Clock::now() < deadline; ++cameras) {
        auto cam = std::make_unique<ZentroxTOFCamera>();
        ASSERT_EQ(rig.open(*cam), 0);
        ASSERT_EQ(cam->start(cameras % 2 ? FrameType::RAW : FrameType::DEPTH), 0);
        // Half of them go with a frame still held by the caller.
        ZentroxFrameBuffer* frame = cam->requestFrame(5000);
        ASSERT_NE(frame, nullptr);
        if (cameras % 2) cam->releaseFrame(frame);
        cam.reset();
        ASSERT_EQ(rig.fake.openDescriptors(), 0) << "camera " << cameras;
        ASSERT_EQ(rig.fake.liveMappings(), 0) << "camera " << cameras;
        rig.fake.clearTrace();
    }
    const ProcessResources after = ProcessResources::now();
    std::printf("cameras destroyed while streaming: %d\n", cameras);
    expectFlat("destroyed while streaming", before, after);
}

}  // namespace

namespace {

// A module that stops sending while the camera streams: no frame comes, and stop, close and the
// destructor still return (a capture thread stuck in a blocking dequeue would hang them for ever).
TEST(CameraStall, StopReturnsWhenTheModuleStopsSending) {
    for (bool destroyInstead : {false, true}) {
        CsiRig rig;
        auto cam = std::make_unique<ZentroxTOFCamera>();
        ASSERT_EQ(rig.open(*cam), 0);
        ASSERT_EQ(cam->start(FrameType::DEPTH), 0);
        ZentroxFrameBuffer* first = cam->requestFrame(2000);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(cam->releaseFrame(first), 0);
        rig.board.capture->stall(true);
        // Frames already ready may still come; after them, none.
        ZentroxFrameBuffer* frame = nullptr;
        for (int i = 0; i < 5 && (frame = cam->requestFrame(50)) != nullptr; ++i)
            cam->releaseFrame(frame);
        EXPECT_EQ(frame, nullptr);
        if (destroyInstead) {
            cam.reset();
        } else {
            EXPECT_EQ(cam->stop(), 0);
            EXPECT_EQ(cam->close(), 0);
        }
        EXPECT_EQ(rig.board.capture->blockingDequeues(), 0);
        EXPECT_EQ(rig.fake.openDescriptors(), 0);
    }
}

}  // namespace
