// The emulated kit, the USB transport and the HQVGA device together: depth of known scenes, the
// normalisation of other bit widths, playback of a recording, and every fault the kit can inject.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "ZentroxEvkRecording.h"
#include "ZentroxScene.h"
#include "device/ZentroxDeviceHQVGA.h"
#include "sensor/usb/ZentroxTOFUSBSensor.h"
#include "tests/cpp/usb/RecordFromKit.h"
#include "tests/fakes/ScratchDir.h"
#include "tests/fakes/StderrCapture.h"
#include "tests/fakes/WallScene.h"

using namespace Zentrox;

namespace {

constexpr size_t PIXELS = 240 * 180;

// Transport and device wired as the camera wires them for a 240 x 180 module.
struct Pipeline {
    std::unique_ptr<ZentroxTOFUSBSensor> sensor;
    ZentroxDeviceHQVGA device{0};
    CameraInfo info{};
    std::vector<uint8_t> frame = std::vector<uint8_t>(4 * PIXELS * 2);
    std::vector<float> depth = std::vector<float>(PIXELS);
    std::vector<float> amplitude = std::vector<float>(PIXELS);
    std::vector<float> confidence = std::vector<float>(PIXELS);
    uint64_t timestamp = 0;
    std::string said;  // what the kit said on standard error while opening

    explicit Pipeline(const std::string& path) : sensor(std::make_unique<ZentroxTOFUSBSensor>(path, 0)) {}
    ~Pipeline() {
        sensor->stop();
        sensor->close();
    }

    int open() {
        StderrCapture capture;
        const int result = sensor->open(info);
        said = capture.text();
        if (result != 0) return result;
        sensor->subFrameCount = 4;
        return device.open(sensor.get());
    }
    int start(int range) {
        device.setControl(CameraCtrl::RANGE, range);
        sensor->setControl(CameraCtrl::RANGE, range);
        return sensor->start();
    }
    // One frame through transport and device; the transport's result.
    int next() {
        const int result = sensor->getFrame(frame.data(), &timestamp);
        if (result == 0) {
            EXPECT_TRUE(
                device.getPhaseImage(frame.data(), depth.data(), amplitude.data(), confidence.data()));
        }
        return result;
    }
};

TEST(UsbEndToEnd, FlatWallWithin5mmWithoutNoiseAtBothRanges) {
    ScratchDir files;
    const struct {
        int range;
        double wall;
    } rows[] = {{4000, 2000.0}, {4000, 3000.0}, {2000, 1200.0}, {2000, 800.0}};
    for (const auto& row : rows) {
        Pipeline p(files.write("wall.json", wallConfig(row.wall, "\"noise\": 0, \"frame_rate\": 0")));
        ASSERT_EQ(p.open(), 0) << p.said;
        EXPECT_EQ(p.info.width, 240u);
        EXPECT_EQ(p.info.height, 180u);
        EXPECT_EQ(p.info.bit_width, 12u);
        EXPECT_EQ(p.info.bpp, 2u);
        ASSERT_EQ(p.start(row.range), 0);
        const std::vector<double> expected = wallDistances(row.wall);
        for (int f = 0; f < 3; ++f) {
            ASSERT_EQ(p.next(), 0);
            EXPECT_LT(worstError(p.depth, expected), 5.0) << row.range << " " << row.wall << " frame " << f;
            EXPECT_NEAR(p.depth[90 * 240 + 120], row.wall, 5.0);
            EXPECT_GT(p.amplitude[90 * 240 + 120], 0.0f);
        }
    }
}

TEST(UsbEndToEnd, FlatWallMeanWithin1PercentWithNoise) {
    ScratchDir files;
    const struct {
        int range;
        double wall;
    } rows[] = {{4000, 2500.0}, {2000, 1200.0}};
    for (const auto& row : rows) {
        Pipeline p(
            files.write("noisy.json", wallConfig(row.wall, "\"noise\": 6, \"seed\": 3, \"frame_rate\": 0")));
        ASSERT_EQ(p.open(), 0) << p.said;
        ASSERT_EQ(p.start(row.range), 0);
        const std::vector<double> expected = wallDistances(row.wall);
        double expectedMean = 0;
        for (double d : expected)
            expectedMean += d / PIXELS;
        std::vector<float> previous;
        for (int f = 0; f < 4; ++f) {
            ASSERT_EQ(p.next(), 0);
            double mean = 0;
            for (float d : p.depth)
                mean += d / PIXELS;
            EXPECT_NEAR(mean, expectedMean, 0.01 * expectedMean) << row.range << " frame " << f;
            EXPECT_GT(worstError(p.depth, expected), 5.0);  // the noise shows
            EXPECT_NE(p.depth, previous);
            previous = p.depth;
        }
    }
}

TEST(UsbEndToEnd, OtherBitWidthsAreNormalisedForTheDevice) {
    ScratchDir files;
    const struct {
        unsigned bits;
        uint32_t bpp;
        double tolerance;
    } rows[] = {{8, 1, 60.0}, {10, 2, 12.0}, {14, 2, 5.0}};
    for (const auto& row : rows) {
        Pipeline p(
            files.write("bits.json", wallConfig(1500.0, "\"noise\": 0, \"frame_rate\": 0, \"bit_width\": " +
                                                            std::to_string(row.bits))));
        ASSERT_EQ(p.open(), 0) << p.said;
        EXPECT_EQ(p.info.bit_width, row.bits);
        EXPECT_EQ(p.info.bpp, row.bpp);
        ASSERT_EQ(p.start(4000), 0);
        ASSERT_EQ(p.next(), 0);
        EXPECT_LT(worstError(p.depth, wallDistances(1500.0)), row.tolerance) << row.bits;
    }
}

TEST(UsbEndToEnd, DefaultKitShowsTheBuiltInScene) {
    Pipeline p("");
    ASSERT_EQ(p.open(), 0);
    EXPECT_NE(p.said.find("emulated evaluation kit"), std::string::npos) << p.said;
    ASSERT_EQ(p.start(4000), 0);
    ASSERT_EQ(p.next(), 0);
    uint64_t first = p.timestamp;
    ASSERT_EQ(p.next(), 0);
    EXPECT_GE(p.timestamp - first, 33u);  // 30 frames per second
    SceneMap map;
    renderScene(Scene::builtIn(), PinholeCamera::fromFieldOfView(240, 180, 70.0), map);
    double sum = 0;
    for (size_t i = 0; i < PIXELS; ++i)
        sum += std::fabs(p.depth[i] - map.distance[i]);
    EXPECT_LT(sum / PIXELS, 5.0);  // mean error over wall, box and sphere, with the kit's little noise
}

TEST(UsbEndToEnd, RangeChangeWhileStreaming) {
    ScratchDir files;
    Pipeline p(files.write("wall.json", wallConfig(1500.0, "\"noise\": 0, \"frame_rate\": 50")));
    ASSERT_EQ(p.open(), 0);
    ASSERT_EQ(p.start(4000), 0);
    ASSERT_EQ(p.next(), 0);
    EXPECT_NEAR(p.depth[90 * 240 + 120], 1500.0, 5.0);
    p.device.setControl(CameraCtrl::RANGE, 2000);
    p.sensor->setControl(CameraCtrl::RANGE, 2000);
    ASSERT_EQ(p.next(), 0);
    EXPECT_NEAR(p.depth[90 * 240 + 120], 1500.0, 5.0);  // within 2000 mm at 75 MHz
}

TEST(UsbEndToEnd, RecordingPlaysBackThroughTheBinPath) {
    ScratchDir files;
    const std::string config =
        files.write("scene.json", wallConfig(1700.0, "\"noise\": 2, \"frame_rate\": 50"));
    const std::string recording = files.file("take.bin");
    std::vector<std::vector<float>> recorded;
    ASSERT_NO_FATAL_FAILURE(recordFromKit(config, recording, 8));
    Pipeline p(recording);
    ASSERT_EQ(p.open(), 0) << p.said;
    EXPECT_NE(p.said.find("played in a loop"), std::string::npos) << p.said;
    ASSERT_EQ(p.start(4000), 0);
    for (int f = 0; f < 4; ++f) {  // two passes of two frames
        ASSERT_EQ(p.next(), 0);
        recorded.push_back(p.depth);
        double mean = 0;
        for (float d : p.depth)
            mean += d / PIXELS;
        EXPECT_NEAR(mean, 1700.0 * 1.1, 0.05 * 1700.0);
    }
    EXPECT_EQ(recorded[0], recorded[2]);  // the loop repeats the recording exactly
    EXPECT_EQ(recorded[1], recorded[3]);
    EXPECT_NE(recorded[0], recorded[1]);
}

TEST(UsbEndToEnd, InjectedFaultsGiveTheirStatus) {
    ScratchDir files;
    {
        Pipeline p(files.write("open.json", "{\"faults\": {\"fail_open\": true}}"));
        EXPECT_EQ(p.open(), -1);
        EXPECT_NE(p.said.find("open fails"), std::string::npos) << p.said;
        EXPECT_EQ(p.sensor->start(), -1);  // no kit behind it
        EXPECT_EQ(p.next(), -1);
    }
    {
        Pipeline p(files.write("init.json", "{\"faults\": {\"fail_init\": true}}"));
        EXPECT_EQ(p.open(), -1);
        EXPECT_NE(p.said.find("initialisation fails"), std::string::npos) << p.said;
    }
    {
        Pipeline p(files.write("start.json", "{\"faults\": {\"fail_start\": true}}"));
        ASSERT_EQ(p.open(), 0);
        StderrCapture quiet;
        EXPECT_EQ(p.start(4000), -1);
        EXPECT_EQ(p.next(), -1);
    }
    {
        Pipeline p(files.write("bad.json", "{\"bit_width\": 9}"));
        EXPECT_EQ(p.open(), -1);
        EXPECT_NE(p.said.find("\"bit_width\" must be 8, 10, 12 or 14"), std::string::npos) << p.said;
    }
    {
        // A wrong size fails its frame; the frames after it are whole again.
        Pipeline p(files.write("size.json", wallConfig(2000.0,
                                                       "\"noise\": 0, \"frame_rate\": 50, "
                                                       "\"faults\": {\"wrong_size_at\": 6}")));
        ASSERT_EQ(p.open(), 0);
        ASSERT_EQ(p.start(4000), 0);
        const std::vector<double> expected = wallDistances(2000.0);
        std::vector<int> results;
        for (int f = 0; f < 5; ++f) {
            results.push_back(p.next());
            if (results.back() == 0) {
                EXPECT_LT(worstError(p.depth, expected), 5.0) << f;
            }
        }
        EXPECT_EQ(results, (std::vector<int>{0, -1, 0, 0, 0}));
    }
}

TEST(UsbEndToEnd, LostImagesFailTheirFramesAndNeverMixFrames) {
    ScratchDir files;
    // Every 7th image is lost; frames at 50 per second leave gaps the transport regroups by.
    Pipeline p(files.write("lossy.json", wallConfig(2000.0,
                                                    "\"noise\": 0, \"frame_rate\": 50, "
                                                    "\"faults\": {\"timeout_every\": 7}")));
    ASSERT_EQ(p.open(), 0);
    ASSERT_EQ(p.start(4000), 0);
    const std::vector<double> expected = wallDistances(2000.0);
    int good = 0, failed = 0;
    for (int f = 0; f < 16; ++f) {
        if (p.next() == 0) {
            ++good;
            ASSERT_LT(worstError(p.depth, expected), 5.0) << "frame " << f << " mixes phase images";
        } else {
            ++failed;
        }
    }
    // A loss fails the frame it falls in (the kit drops the rest of that frame); the others come
    // through whole.
    EXPECT_GE(failed, 3);
    EXPECT_GE(good, 5);
}

}  // namespace
