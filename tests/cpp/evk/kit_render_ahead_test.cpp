// A kit whose images cost real work renders them ahead on a thread of its own. Whatever the caller
// does meanwhile (switching the frequency before or inside a frame, holding images, losing images to
// time-outs, restarting the stream, reading slowly or fast), every image it captures must be exactly
// the image the renderer gives for that index and the frequency latched by its frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "EvkConfig.h"
#include "ModuleRenderer.h"
#include "tests/cpp/evk/KitTestSupport.h"

using namespace Zentrox;
using namespace Zentrox::KitTest;

namespace {

const uint32_t RANGE_REGS[4] = {0x216C, 0x2179, 0x217A, 0x217B};
const uint32_t NEAR[4] = {0x08, 0x0A, 0x0E, 0x12};  // 2000 mm, 75 MHz
const uint32_t FAR[4] = {0x10, 0x0E, 0x16, 0x1E};   // 4000 mm, 37.5 MHz

struct Expectation {
    std::unique_ptr<ModuleRenderer> renderer;
    std::vector<uint8_t> image;

    explicit Expectation(const std::string& path) {
        EvkConfig config;
        std::string error;
        EXPECT_TRUE(loadEvkConfig(path, config, error)) << error;
        renderer = makeModuleRenderer(config, error);
        EXPECT_TRUE(renderer) << error;
        image.resize(renderer->imageBytes());
    }
    const std::vector<uint8_t>& of(uint64_t n, RangeMode mode) {
        renderer->render(n / 4, uint32_t(n % 4), mode, image.data());
        return image;
    }
};

void writeTable(ZentroxHandle kit, const uint32_t* values) {
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(ZentroxWriteSensorReg(kit, RANGE_REGS[i], values[i]), 0);
}

TEST(KitRenderAhead, EveryImageIsTheOneRenderedForItsIndexAndFrequency) {
    ScratchDir dir;
    const std::string path =
        dir.write("noisy.json", wallConfig(1500.0,
                                           "\"noise\": 2, \"seed\": 9, \"frame_rate\": 0, "
                                           "\"faults\": {\"timeout_every\": 11}"));
    Kit kit(path.c_str());
    ASSERT_TRUE(kit.stream());
    Expectation expected(path);
    ASSERT_TRUE(expected.renderer);

    std::mt19937 random(5);
    RangeMode registers = RangeMode::RANGE_4000, latched = registers;
    uint64_t attempts = 0, checked = 0, lost = 0, switches = 0;
    std::vector<ZentroxImage> held;
    for (int round = 0; round < 3; ++round) {
        uint64_t next = 0;  // the index the next capture takes
        for (int step = 0; step < 120; ++step) {
            const unsigned action = random() % 8;
            if (action == 0) {  // switch the frequency, before or inside a frame
                registers =
                    registers == RangeMode::RANGE_4000 ? RangeMode::RANGE_2000 : RangeMode::RANGE_4000;
                writeTable(kit.handle, registers == RangeMode::RANGE_2000 ? NEAR : FAR);
                ++switches;
            } else if (action == 1) {  // let the worker get ahead
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            ZentroxImage image{};
            const int result = ZentroxCaptureImage(kit.handle, &image, 2000);
            ++attempts;
            if (next % 4 == 0) latched = registers;
            if (attempts % 11 == 0) {
                EXPECT_EQ(result, ZENTROX_EVK_TIMEOUT);
                next = (next / 4 + 1) * 4;  // the rest of the frame is dropped with it
                ++lost;
                continue;
            }
            ASSERT_EQ(result, ZENTROX_EVK_OK) << "attempt " << attempts;
            ASSERT_EQ(image.sequence, next);
            const auto& want = expected.of(next, latched);
            ASSERT_EQ(image.data_size, want.size());
            EXPECT_TRUE(std::equal(want.begin(), want.end(), image.data))
                << "image " << next << " of round " << round << " differs from its rendering";
            ++checked;
            ++next;
            // Hold some images for a while, so that the worker runs short of slots.
            held.push_back(image);
            if (held.size() > random() % 6) {
                for (const ZentroxImage& h : held)
                    ASSERT_EQ(ZentroxFreeImage(kit.handle, h), 0);
                held.clear();
            }
        }
        for (const ZentroxImage& h : held)
            ASSERT_EQ(ZentroxFreeImage(kit.handle, h), 0);
        held.clear();
        // A new stream counts its images from 0 again and latches the registers anew.
        ASSERT_EQ(ZentroxStopCamera(kit.handle), 0);
        ASSERT_EQ(ZentroxStartCamera(kit.handle), 0);
        attempts = 0;
    }
    EXPECT_GT(switches, 20u);
    EXPECT_GT(lost, 20u);
    EXPECT_EQ(checked + lost, 360u);
}

TEST(KitRenderAhead, AllEightSlotsCanStillBeLent) {
    ScratchDir dir;
    const std::string path = dir.write("noisy.json", wallConfig(900.0, "\"noise\": 1, \"frame_rate\": 0"));
    Kit kit(path.c_str());
    ASSERT_TRUE(kit.stream());
    Expectation expected(path);
    ASSERT_TRUE(expected.renderer);
    std::vector<ZentroxImage> held(8);
    for (int i = 0; i < 8; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the worker fills free slots
        ASSERT_EQ(ZentroxCaptureImage(kit.handle, &held[i], 2000), 0) << i;
        const auto& want = expected.of(uint64_t(i), RangeMode::RANGE_4000);
        EXPECT_TRUE(std::equal(want.begin(), want.end(), held[i].data)) << i;
    }
    ZentroxImage more{};
    EXPECT_EQ(ZentroxCaptureImage(kit.handle, &more, 100), ZENTROX_EVK_NO_BUFFER);
    ASSERT_EQ(ZentroxFreeImage(kit.handle, held[3]), 0);
    EXPECT_EQ(ZentroxFreeImage(kit.handle, held[3]), ZENTROX_EVK_INVALID_ARGUMENT);  // not lent any more
    ASSERT_EQ(ZentroxCaptureImage(kit.handle, &more, 2000), 0);
    EXPECT_EQ(more.sequence, 8u);
    const auto& want = expected.of(8, RangeMode::RANGE_4000);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), more.data));
    ASSERT_EQ(ZentroxFreeImage(kit.handle, more), 0);
    for (int i = 0; i < 8; ++i) {
        if (i != 3) {
            ASSERT_EQ(ZentroxFreeImage(kit.handle, held[i]), 0);
        }
    }
}

}  // namespace
