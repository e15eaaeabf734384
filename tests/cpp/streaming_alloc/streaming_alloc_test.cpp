// Nothing allocates while a camera streams: with frames flowing through the capture thread, the
// transport, the device and the caller's requestFrame / releaseFrame, every operator new of this
// program (the emulated kit's library and its thread included) is counted over a window of frames.
// The window opens once the stream runs, so what start and the first frames set up is not counted.
// Over the fake kernel, what the fake itself allocates (its call log) is left out.
#include <gtest/gtest.h>

#include <string>

#include "ZentroxTOFCamera.h"
#include "tests/cpp/hqvga_simd/CountingAllocator.h"
#include "tests/cpp/stress/CsiRig.h"
#include "tests/fakes/FakeCallScope.h"
#include "tests/fakes/StderrCapture.h"
#include "tests/fakes/TempWorkDir.h"

using namespace Zentrox;

namespace {

constexpr int WARM_UP_FRAMES = 10;
constexpr int WINDOW_FRAMES = 60;

// Streams WINDOW_FRAMES frames (holding up to two at a time, so that the capture thread also takes
// frames back) and returns the allocations counted meanwhile; -2 when frames stopped coming.
long allocationsWhileStreaming(ZentroxTOFCamera& camera, FrameType type) {
    if (camera.start(type) != 0) return -3;
    for (int i = 0; i < WARM_UP_FRAMES; ++i) {
        ZentroxFrameBuffer* frame = camera.requestFrame(3000);
        if (frame == nullptr) return -2;
        camera.releaseFrame(frame);
    }
    const long before = test::allocationCount();
    ZentroxFrameBuffer* held = nullptr;
    for (int i = 0; i < WINDOW_FRAMES; ++i) {
        ZentroxFrameBuffer* frame = camera.requestFrame(3000);
        if (frame == nullptr) return -2;
        if (frame->getData(type == FrameType::RAW ? FrameType::RAW : FrameType::DEPTH) == nullptr) return -4;
        if (i % 3 == 0) {
            std::swap(held, frame);
        }
        if (frame != nullptr) camera.releaseFrame(frame);
    }
    if (held != nullptr) camera.releaseFrame(held);
    const long during = test::allocationCount() - before;
    camera.stop();
    return during;
}

TEST(StreamingAllocation, TheCounterSeesAllocations) {
    if (!ZENTROX_COUNTING_ALLOCATOR) GTEST_SKIP() << "the sanitizer owns operator new";
    const long before = test::allocationCount();
    int* probe = new int(7);
    EXPECT_EQ(test::allocationCount() - before, 1);
    delete probe;
    {
        test::FakeCallScope fake;  // what a test double allocates is not counted
        probe = new int(8);
    }
    EXPECT_EQ(test::allocationCount() - before, 1);
    delete probe;
}

TEST(StreamingAllocation, EmulatedKitStreamsWithoutAllocating) {
    if (!ZENTROX_COUNTING_ALLOCATOR) GTEST_SKIP() << "the sanitizer owns operator new";
    const struct {
        const char* config;
        FrameType type;
    } rows[] = {
        {"{\"frame_rate\": 0, \"noise\": 1}", FrameType::DEPTH},  // images rendered ahead
        {"{\"frame_rate\": 0, \"noise\": 0}", FrameType::DEPTH},  // still images, copied
        {"{\"frame_rate\": 0, \"noise\": 1}", FrameType::RAW},
        {"{\"frame_rate\": 200, \"noise\": 1}", FrameType::DEPTH},  // paced
    };
    for (const auto& row : rows) {
        TempWorkDir dir;
        ASSERT_TRUE(dir.write("kit.json", row.config));
        ZentroxTOFCamera camera;
        StderrCapture quiet;  // the kit's notice at open
        ASSERT_EQ(camera.openWithFile("kit.json", 0), 0) << row.config;
        EXPECT_EQ(allocationsWhileStreaming(camera, row.type), 0) << row.config << " " << int(row.type);
        camera.close();
    }
}

TEST(StreamingAllocation, CsiTransportStreamsWithoutAllocating) {
    if (!ZENTROX_COUNTING_ALLOCATOR) GTEST_SKIP() << "the sanitizer owns operator new";
    for (int platform : {Platform::RASPBERRY_PI, Platform::JETSON}) {
        CsiRig rig(platform);
        ZentroxTOFCamera camera;
        ASSERT_EQ(rig.open(camera), 0) << platform;
        for (FrameType type : {FrameType::DEPTH, FrameType::RAW}) {
            EXPECT_EQ(allocationsWhileStreaming(camera, type), 0) << platform << " " << int(type);
        }
        camera.close();
    }
}

}  // namespace
