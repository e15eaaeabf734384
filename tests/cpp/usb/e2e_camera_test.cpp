// End to end through the camera: opened with the emulated kit (with or without a configuration
// file, or a recording), streaming depth through the USB transport and the HQVGA device.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>
#include <system_error>
#include <vector>

#include "ZentroxEvkRecording.h"
#include "ZentroxScene.h"
#include "ZentroxTOFCamera.h"
#include "tests/cpp/usb/RecordFromKit.h"
#include "tests/fakes/StderrCapture.h"
#include "tests/fakes/TempWorkDir.h"
#include "tests/fakes/WallScene.h"
#include "zentrox_evk_sdk.h"

using namespace Zentrox;

namespace {

constexpr size_t PIXELS = 240 * 180;

// Depth of the next frame the camera delivers; empty when none came within the time-out.
std::vector<float> nextDepth(ZentroxTOFCamera& camera, uint64_t* timestamp = nullptr) {
    ZentroxFrameBuffer* buffer = camera.requestFrame(3000);
    if (!buffer) return {};
    const float* depth = static_cast<const float*>(buffer->getData(FrameType::DEPTH));
    FrameDataFormat format{};
    buffer->getFormat(FrameType::DEPTH, format);
    std::vector<float> copy(depth, depth + PIXELS);
    if (timestamp) *timestamp = format.timestamp;
    EXPECT_EQ(camera.releaseFrame(buffer), 0);
    return copy;
}

double mean(const std::vector<float>& depth) {
    double sum = 0;
    for (float d : depth)
        sum += d;
    return sum / depth.size();
}

class CameraOverUsb : public testing::Test {
  protected:
    int openWith(const std::string& text) {
        dir.write("kit.json", text);
        StderrCapture quiet;
        const int result = camera.openWithFile((dir.path() + "/kit.json").c_str(), 0);
        said = quiet.text();
        return result;
    }
    void TearDown() override {
        try {
            camera.stop();
        } catch (const std::system_error&) {
            // not streaming: the camera's stop has no capture thread to join
        }
        camera.close();
    }
    TempWorkDir dir;
    ZentroxTOFCamera camera;
    std::string said;
};

TEST_F(CameraOverUsb, FlatWallWithin5mmWithoutNoiseAtBothRanges) {
    const struct {
        int range;
        double wall;
    } rows[] = {{4000, 2000.0}, {2000, 1200.0}};
    for (const auto& row : rows) {
        ASSERT_EQ(openWith(wallConfig(row.wall, "\"noise\": 0, \"frame_rate\": 60")), 0) << said;
        const CameraInfo info = camera.getCameraInfo();
        EXPECT_EQ(info.device_type, HQVGA);
        EXPECT_EQ(info.width, 240u);
        EXPECT_EQ(info.height, 180u);
        ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, row.range), 0);
        ASSERT_EQ(camera.start(FrameType::DEPTH), 0);
        const std::vector<double> expected = wallDistances(row.wall);
        for (int f = 0; f < 3; ++f) {
            const std::vector<float> depth = nextDepth(camera);
            ASSERT_EQ(depth.size(), PIXELS);
            EXPECT_LT(worstError(depth, expected), 5.0) << row.range << " frame " << f;
        }
        ASSERT_EQ(camera.stop(), 0);
        ASSERT_EQ(camera.close(), 0);
    }
}

TEST_F(CameraOverUsb, FlatWallMeanWithin1PercentWithNoise) {
    ASSERT_EQ(openWith(wallConfig(2500.0, "\"noise\": 6, \"seed\": 11, \"frame_rate\": 60")), 0) << said;
    ASSERT_EQ(camera.start(FrameType::DEPTH), 0);
    const std::vector<double> expected = wallDistances(2500.0);
    double expectedMean = 0;
    for (double d : expected)
        expectedMean += d / PIXELS;
    for (int f = 0; f < 4; ++f) {
        const std::vector<float> depth = nextDepth(camera);
        ASSERT_EQ(depth.size(), PIXELS);
        EXPECT_NEAR(mean(depth), expectedMean, 0.01 * expectedMean) << f;
        EXPECT_GT(worstError(depth, expected), 5.0);  // the noise shows
    }
}

TEST_F(CameraOverUsb, RangeChangeWhileStreamingReachesTheKit) {
    ASSERT_EQ(openWith(wallConfig(1500.0, "\"noise\": 0, \"frame_rate\": 60")), 0) << said;
    ASSERT_EQ(camera.start(FrameType::DEPTH), 0);
    const std::vector<double> expected = wallDistances(1500.0);
    EXPECT_LT(worstError(nextDepth(camera), expected), 5.0);
    ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, 2000), 0);
    // Frames already on their way were made at 37.5 MHz; within a few frames the kit follows.
    bool switched = false;
    for (int f = 0; f < 10 && !switched; ++f)
        switched = worstError(nextDepth(camera), expected) < 5.0;
    EXPECT_TRUE(switched);
    int range = 0;
    EXPECT_EQ(camera.getControl(CameraCtrl::RANGE, &range), 0);
    EXPECT_EQ(range, 2000);
}

// At range 2000 the kit modulates at 75 MHz and the device decodes at 75 MHz. A value neither has a
// frequency for is refused before it reaches either, so depth stays right, also after a restart
// (which applies the range again).
TEST_F(CameraOverUsb, RangeValuesWithoutAFrequencyAreRefusedAndDepthStaysRight) {
    ASSERT_EQ(openWith(wallConfig(1500.0, "\"noise\": 0, \"frame_rate\": 60")), 0) << said;
    ASSERT_EQ(camera.setControl(CameraCtrl::RANGE, 2000), 0);
    const std::vector<double> expected = wallDistances(1500.0);
    for (int restart = 0; restart < 2; ++restart) {
        ASSERT_EQ(camera.start(FrameType::DEPTH), 0);
        for (int value : {3000, 1, INT_MIN}) {
            EXPECT_EQ(camera.setControl(CameraCtrl::RANGE, value), ZentroxInvalidParameter) << value;
            int range = 0;
            EXPECT_EQ(camera.getControl(CameraCtrl::RANGE, &range), 0);
            EXPECT_EQ(range, 2000) << value;
            // A switch would show within a few frames (the kit switches at its next frame).
            for (int f = 0; f < 3; ++f)
                EXPECT_LT(worstError(nextDepth(camera), expected), 5.0) << value << " frame " << f;
        }
        ASSERT_EQ(camera.stop(), 0);
    }
}

TEST_F(CameraOverUsb, OpenWithoutAFileStreamsTheBuiltInScene) {
    StderrCapture quiet;
    ASSERT_EQ(camera.open(Connection::USB, 0), 0);
    EXPECT_NE(quiet.text().find("emulated evaluation kit"), std::string::npos);
    ASSERT_EQ(camera.start(FrameType::DEPTH), 0);
    uint64_t first = 0, second = 0;
    const std::vector<float> depth = nextDepth(camera, &first);
    ASSERT_EQ(depth.size(), PIXELS);
    nextDepth(camera, &second);
    EXPECT_GT(second, first);
    SceneMap map;
    renderScene(Scene::builtIn(), PinholeCamera::fromFieldOfView(240, 180, 70.0), map);
    double sum = 0;
    for (size_t i = 0; i < PIXELS; ++i)
        sum += std::fabs(depth[i] - map.distance[i]);
    EXPECT_LT(sum / PIXELS, 5.0);
}

TEST_F(CameraOverUsb, RecordingPlaysBackThroughOpenWithFile) {
    const std::string config = dir.path() + "/scene.json";
    dir.write("scene.json", wallConfig(1700.0, "\"noise\": 0, \"frame_rate\": 50"));
    const std::string recording = dir.path() + "/take.bin";
    ASSERT_NO_FATAL_FAILURE(recordFromKit(config, recording, 8));
    StderrCapture quiet;
    ASSERT_EQ(camera.openWithFile(recording.c_str(), 0), 0);
    EXPECT_NE(quiet.text().find("played in a loop"), std::string::npos);
    ASSERT_EQ(camera.start(FrameType::DEPTH), 0);
    const std::vector<double> expected = wallDistances(1700.0);
    for (int f = 0; f < 4; ++f)
        EXPECT_LT(worstError(nextDepth(camera), expected), 5.0) << f;
}

TEST_F(CameraOverUsb, InjectedFaultsGiveTheDocumentedStatus) {
    EXPECT_EQ(openWith("{\"faults\": {\"fail_open\": true}}"), -1);
    EXPECT_NE(said.find("open fails"), std::string::npos) << said;
    EXPECT_EQ(camera.start(FrameType::DEPTH), -1);
    EXPECT_EQ(openWith("{\"faults\": {\"fail_init\": true}}"), -1);
    EXPECT_NE(said.find("initialisation fails"), std::string::npos) << said;
    EXPECT_EQ(openWith("{\"noise\": 0, \"faults\": {\"fail_start\": true}}"), 0);
    {
        StderrCapture quiet;
        EXPECT_EQ(camera.start(FrameType::DEPTH), -1);
    }
    EXPECT_EQ(openWith("{\"width\": \"wide\"}"), -1);
    EXPECT_NE(said.find("\"width\" must be a whole number"), std::string::npos) << said;

    // Lost and short images cost their frames; every frame that arrives is whole.
    ASSERT_EQ(openWith(wallConfig(2000.0,
                                  "\"noise\": 0, \"frame_rate\": 50, "
                                  "\"faults\": {\"timeout_every\": 9, \"wrong_size_at\": 3}")),
              0);
    ASSERT_EQ(camera.start(FrameType::DEPTH), 0);
    const std::vector<double> expected = wallDistances(2000.0);
    for (int f = 0; f < 6; ++f) {
        const std::vector<float> depth = nextDepth(camera);
        ASSERT_EQ(depth.size(), PIXELS) << f;
        EXPECT_LT(worstError(depth, expected), 5.0) << f;
    }
}

}  // namespace
