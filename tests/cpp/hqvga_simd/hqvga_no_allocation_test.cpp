// The conversions run on the capture thread while streaming and must not allocate: every operator new
// of this test program is counted around them.
#include <gtest/gtest.h>

#include <vector>

#include "device/ZentroxDeviceHQVGA.h"
#include "device/simd/HqvgaKernels.h"
#include "system/Platform.h"
#include "tests/cpp/hqvga_simd/CountingAllocator.h"

using namespace Zentrox;

namespace {

TEST(HqvgaNoAllocation, ConversionsAllocateNothing) {
    if (!ZENTROX_COUNTING_ALLOCATOR) GTEST_SKIP() << "the sanitizer owns operator new";
    std::vector<uint8_t> frame(HQVGA_FRAME_BYTES);
    for (size_t b = 0; b < frame.size(); ++b)
        frame[b] = static_cast<uint8_t>(b * 2654435761u >> 24);
    std::vector<float> depth(HQVGA_PIXELS), amplitude(HQVGA_PIXELS), confidence(HQVGA_PIXELS);
    std::vector<int16_t> raw(HQVGA_PIXELS * HQVGA_PLANES);
    ZentroxDeviceHQVGA device(0);
    ZentroxDeviceHQVGA jetson(Platform::JETSON);

    const long before = test::allocationCount();
    for (int range : {4000, 2000}) {
        device.setControl(CameraCtrl::RANGE, range);
        EXPECT_TRUE(device.getPhaseImage(frame.data(), depth.data(), amplitude.data(), confidence.data()));
        EXPECT_TRUE(jetson.getPhaseImage(frame.data(), depth.data(), amplitude.data(), confidence.data()));
    }
    EXPECT_TRUE(device.getRawImages(frame.data(), raw.data()));
    EXPECT_TRUE(jetson.getRawImages(frame.data(), raw.data()));
    EXPECT_TRUE(
        device.getPhaseImageReference(frame.data(), depth.data(), amplitude.data(), confidence.data()));
    const long during = test::allocationCount() - before;
    EXPECT_EQ(during, 0);

    // The counter sees allocations at all.
    auto* probe = new std::vector<int>(3);
    EXPECT_GT(test::allocationCount() - before, during);
    delete probe;
}

}  // namespace
