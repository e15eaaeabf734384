// The emulated kit's stream: geometry, timing of the images, the rendered scene, range registers,
// bit widths and noise.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "ZentroxScene.h"
#include "tests/cpp/evk/KitTestSupport.h"

using namespace Zentrox;
using namespace Zentrox::KitTest;

namespace {

TEST(KitStream, WithoutAFileIsA240By180TwelveBitModuleAt30FramesPerSecond) {
    Kit kit(nullptr);
    ASSERT_EQ(kit.openResult, ZENTROX_EVK_OK);
    // Says once, at open, that it is an emulation.
    EXPECT_NE(kit.stderrText.find("emulated evaluation kit"), std::string::npos) << kit.stderrText;
    EXPECT_EQ(kit.stderrText.find("emulated"), kit.stderrText.rfind("emulated"));
    ASSERT_EQ(ZentroxInitCamera(kit.handle), ZENTROX_EVK_OK);
    const ZentroxCameraConfig config = kit.config();
    EXPECT_EQ(config.width, 240u);
    EXPECT_EQ(config.height, 180u);
    EXPECT_EQ(config.bit_width, 12);
    EXPECT_EQ(config.images_per_frame, 4);
    EXPECT_EQ(config.frame_rate, 30);
    ASSERT_EQ(ZentroxStartCamera(kit.handle), ZENTROX_EVK_OK);

    std::vector<ZentroxImage> records;
    const auto first = kit.group(&records);
    const auto second = kit.group(&records);
    ASSERT_EQ(records.size(), 8u);
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].data_size, 240u * 180u * 2u);
        EXPECT_EQ(records[i].width, 240u);
        EXPECT_EQ(records[i].height, 180u);
        EXPECT_EQ(records[i].sequence, i);
        EXPECT_EQ(records[i].phase, i % 4);
    }
    // Phase images 1 to 2 ms apart; the next frame a frame period (33.3 ms) after the previous one.
    for (size_t i : {1u, 2u, 3u, 5u, 6u, 7u}) {
        const uint64_t gap = records[i].timestamp - records[i - 1].timestamp;
        EXPECT_GE(gap, 1u) << i;
        EXPECT_LE(gap, 2u) << i;
    }
    const uint64_t period = records[4].timestamp - records[0].timestamp;
    EXPECT_GE(period, 33u);
    EXPECT_LE(records[4].timestamp - records[3].timestamp, 33u * 5);
    // Milliseconds of the monotonic clock.
    const uint64_t nowMs = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                     std::chrono::steady_clock::now().time_since_epoch())
                                                     .count());
    EXPECT_LE(records[7].timestamp, nowMs);
    EXPECT_GE(records[7].timestamp + 1000, nowMs);

    // The built-in scene: the wall at 2 m behind the image centre, the sphere and box nearer.
    const size_t centre = 90 * 240 + 120;
    EXPECT_NEAR(groupDepth(first, centre, 12, 4000), 2000.0, 15.0);
    EXPECT_NEAR(groupDepth(second, centre, 12, 4000), 2000.0, 15.0);
    SceneMap map;
    renderScene(Scene::builtIn(), PinholeCamera::fromFieldOfView(240, 180, 70.0), map);
    int near = 0;
    double worst = 0;
    for (size_t i = 0; i < map.distance.size(); ++i) {
        const double depth = groupDepth(first, i, 12, 4000);
        worst = std::max(worst, std::fabs(depth - map.distance[i]));
        near += depth < 1700.0;
    }
    EXPECT_LT(worst, 40.0);  // a little noise on every pixel, nothing more
    EXPECT_GT(near, 2000);
}

TEST(KitStream, WithoutFrameRateAFramesImagesStayTogetherHoweverLateTheyAreRead) {
    ScratchDir dir;
    Kit kit(dir.write("fast.json", "{\"frame_rate\": 0, \"width\": 16, \"height\": 8}").c_str());
    ASSERT_TRUE(kit.stream());
    std::vector<ZentroxImage> records;
    for (int i = 0; i < 12; ++i) {
        std::vector<uint8_t> image;
        ZentroxImage record{};
        ASSERT_EQ(kit.capture(image, &record), ZENTROX_EVK_OK);
        records.push_back(record);
        if (i % 4 == 1) std::this_thread::sleep_for(std::chrono::milliseconds(8));  // a slow reader
    }
    for (size_t i = 1; i < records.size(); ++i) {
        const uint64_t gap = records[i].timestamp - records[i - 1].timestamp;
        ASSERT_LE(records[i - 1].timestamp, records[i].timestamp) << i;
        if (i % 4 != 0) {
            EXPECT_GE(gap, 1u) << i;  // 0, 1.5, 3 and 4.5 ms after the frame began
            EXPECT_LE(gap, 2u) << i;
        }
    }
}

TEST(KitStream, RangeRegistersSwitchTheModulationAtTheNextFrame) {
    ScratchDir dir;
    const std::string path = dir.write("wall.json", wallConfig(1200.0, "\"noise\": 0, \"frame_rate\": 0"));
    Kit kit(path.c_str());
    ASSERT_TRUE(kit.stream());
    const uint32_t regs[4] = {0x216C, 0x2179, 0x217A, 0x217B};
    const uint32_t near[4] = {0x08, 0x0A, 0x0E, 0x12};
    const uint32_t far[4] = {0x10, 0x0E, 0x16, 0x1E};
    auto writeTable = [&](const uint32_t* values, int count) {
        for (int i = 0; i < count; ++i)
            ASSERT_EQ(ZentroxWriteSensorReg(kit.handle, regs[i], values[i]), 0);
    };
    const size_t centre = 90 * 240 + 120;
    // From the start: 37.5 MHz, the 4000 mm phase order.
    const auto startFrame = kit.group();
    EXPECT_NEAR(groupDepth(startFrame, centre, 12, 4000), 1200.0, 5.0);

    writeTable(near, 4);
    const auto nearFrame = kit.group();
    EXPECT_NEAR(groupDepth(nearFrame, centre, 12, 2000), 1200.0, 5.0);
    EXPECT_GT(std::fabs(groupDepth(nearFrame, centre, 12, 4000) - 1200.0), 100.0);

    // Unknown registers and a table written only in part change nothing.
    ASSERT_EQ(ZentroxWriteSensorReg(kit.handle, 0x1234, 0x10), 0);
    ASSERT_EQ(ZentroxWriteSensorReg(kit.handle, 0xFFFFFFFF, 0), 0);
    writeTable(far, 3);
    EXPECT_EQ(kit.group(), nearFrame);
    ASSERT_EQ(ZentroxWriteSensorReg(kit.handle, 0x216C, 0x77), 0);  // a value of neither table
    EXPECT_EQ(kit.group(), nearFrame);

    // A switch half-way through a frame waits for the next frame.
    writeTable(near, 4);
    std::vector<uint8_t> image;
    ASSERT_EQ(kit.capture(image), 0);
    writeTable(far, 4);
    for (int k = 1; k < 4; ++k) {
        ASSERT_EQ(kit.capture(image), 0);
        EXPECT_EQ(image, nearFrame[k]) << k;
    }
    EXPECT_EQ(kit.group(), startFrame);
}

TEST(KitStream, BitWidthsAndGeometryFromTheConfiguration) {
    ScratchDir dir;
    const struct {
        unsigned bits;
        double tolerance;  // mm: coarser words, coarser depth
    } rows[] = {{8, 60.0}, {10, 15.0}, {12, 5.0}, {14, 5.0}};
    for (const auto& row : rows) {
        const std::string path =
            dir.write("bits" + std::to_string(row.bits) + ".json",
                      wallConfig(1500.0,
                                 "\"noise\": 0, \"frame_rate\": 0, \"width\": 64, \"height\": 48, "
                                 "\"bit_width\": " +
                                     std::to_string(row.bits)));
        Kit kit(path.c_str());
        ASSERT_TRUE(kit.stream()) << row.bits;
        const ZentroxCameraConfig config = kit.config();
        EXPECT_EQ(config.width, 64u);
        EXPECT_EQ(config.height, 48u);
        EXPECT_EQ(config.bit_width, row.bits);
        std::vector<ZentroxImage> records;
        const auto images = kit.group(&records);
        EXPECT_EQ(records[0].data_size, 64u * 48u * (row.bits > 8 ? 2 : 1)) << row.bits;
        EXPECT_EQ(records[0].bit_width, row.bits);
        const PinholeCamera camera = PinholeCamera::fromFieldOfView(64, 48, 70.0);
        for (uint32_t v = 0; v < 48; v += 7) {
            for (uint32_t u = 0; u < 64; u += 5) {
                const double radial = 1500.0 / camera.ray(u, v).z;
                EXPECT_NEAR(groupDepth(images, v * 64 + u, row.bits, 4000), radial, row.tolerance)
                    << row.bits << " bits at " << u << "," << v;
            }
        }
        if (row.bits > 8) {  // two-byte words use only their low bits
            for (size_t i = 0; i < 64 * 48; ++i) {
                ASSERT_LT(Reference::wordAt(images[0].data(), i, row.bits), 1u << row.bits);
            }
        }
    }
}

TEST(KitStream, NoNoiseGivesBitIdenticalFramesAndNoiseIsSeeded) {
    ScratchDir dir;
    const std::string still = dir.write("still.json", wallConfig(1800.0, "\"noise\": 0, \"frame_rate\": 0"));
    const std::string noisy =
        dir.write("noisy.json", wallConfig(1800.0, "\"noise\": 4, \"seed\": 9, \"frame_rate\": 0"));
    const std::string other =
        dir.write("other.json", wallConfig(1800.0, "\"noise\": 4, \"seed\": 10, \"frame_rate\": 0"));
    {
        Kit kit(still.c_str());
        ASSERT_TRUE(kit.stream());
        const auto first = kit.group();
        for (int i = 0; i < 5; ++i)
            ASSERT_EQ(kit.group(), first);
    }
    std::vector<std::vector<std::vector<uint8_t>>> runs;
    for (const std::string& path : {noisy, noisy, other}) {
        Kit kit(path.c_str());
        ASSERT_TRUE(kit.stream());
        runs.push_back(kit.group());
        const auto next = kit.group();
        EXPECT_NE(next, runs.back());  // noise differs from frame to frame
        runs.back().insert(runs.back().end(), next.begin(), next.end());
    }
    EXPECT_EQ(runs[0], runs[1]);  // the same seed gives the same stream
    EXPECT_NE(runs[0], runs[2]);
    // Noise spreads the depth around the wall without moving its mean.
    double sum = 0;
    const std::vector<std::vector<uint8_t>> frame(runs[0].begin(), runs[0].begin() + 4);
    for (size_t i = 0; i < 240 * 180; ++i)
        sum += groupDepth(frame, i, 12, 4000) /
               (1800.0 / PinholeCamera::fromFieldOfView(240, 180, 70.0).ray(i % 240, i / 240).z);
    EXPECT_NEAR(sum / (240 * 180), 1.0, 0.002);
}

TEST(KitStream, AmbientLightOffsetsEverySample) {
    ScratchDir dir;
    for (double ambient : {0.0, 250.0, -300.0}) {
        const std::string path = dir.write(
            "ambient.json",
            wallConfig(2000.0, "\"noise\": 0, \"frame_rate\": 0, \"ambient\": " + std::to_string(ambient)));
        Kit kit(path.c_str());
        ASSERT_TRUE(kit.stream());
        const auto images = kit.group();
        const size_t centre = 90 * 240 + 120;
        double mean = 0;
        for (int k = 0; k < 4; ++k) {
            mean += Reference::decodeSample(
                        static_cast<uint16_t>(Reference::wordAt(images[k].data(), centre, 12))) /
                    16.0 / 4;
        }
        EXPECT_NEAR(mean, ambient, 1.0);
        EXPECT_NEAR(groupDepth(images, centre, 12, 4000), 2000.0, 5.0);
    }
}

TEST(KitStream, SceneObjectsFromTheConfiguration) {
    ScratchDir dir;
    const std::string path = dir.write("objects.json", R"({
        "noise": 0, "frame_rate": 0, "field_of_view": 60,
        // comments are allowed
        "scene": {
            "planes": [{"normal": [0, 0, 1], "distance": 3000, "reflectivity": 0.9}],
            "spheres": [{"center": [0, 0, 1000], "radius": 100, "reflectivity": 0.5}],
            "boxes": [{"min": [300, -200, 1500], "max": [900, 200, 1800]}]
        }
    })");
    Kit kit(path.c_str());
    ASSERT_TRUE(kit.stream());
    const auto images = kit.group();
    const PinholeCamera camera = PinholeCamera::fromFieldOfView(240, 180, 60.0);
    // The sphere covers the centre, the box a patch right of it, the wall the corners.
    EXPECT_NEAR(groupDepth(images, 90 * 240 + 120, 12, 4000), 900.0, 5.0);
    const ScenePoint boxRay = camera.ray(200, 90);
    ASSERT_GT(boxRay.x / boxRay.z * 1500.0, 300.0);
    EXPECT_NEAR(groupDepth(images, 90 * 240 + 200, 12, 4000), 1500.0 / boxRay.z, 5.0);
    EXPECT_NEAR(groupDepth(images, 0, 12, 4000), 3000.0 / camera.ray(0, 0).z, 8.0);
}

}  // namespace
