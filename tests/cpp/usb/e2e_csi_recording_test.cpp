// A CSI module recorded through its raw output and replayed through the emulated kit gives the depth
// computed live bit for bit, whatever the board's sample layout: the raw output holds the decoded
// samples, which the recorder writes as the kit's 12-bit samples (see zentrox_depth.recorder).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "ZentroxEvkRecording.h"
#include "device/ZentroxDeviceHQVGA.h"
#include "sensor/usb/ZentroxTOFUSBSensor.h"
#include "tests/cpp/csi/CsiRig.h"

using namespace Zentrox;

namespace {

constexpr size_t PIXELS = 240 * 180;
constexpr int FRAMES = 3;

struct Frame {
    uint64_t timestamp = 0;
    std::vector<int16_t> raw = std::vector<int16_t>(4 * PIXELS);
    std::vector<float> depth = std::vector<float>(PIXELS), amplitude = std::vector<float>(PIXELS),
                       confidence = std::vector<float>(PIXELS);
};

// Live through the CSI transport on `platform`: each frame converted both ways, as a camera gives
// either its raw output or its depth.
std::vector<Frame> captureLive(int platform, int rangeMm) {
    CsiRig rig(platform);
    std::vector<Frame> frames(FRAMES);
    EXPECT_EQ(rig.open(), 0);
    ZentroxDeviceHQVGA device(platform);
    device.open(rig.sensor.get());
    rig.sensor->subFrameCount = 4;
    device.setControl(CameraCtrl::RANGE, rangeMm);
    EXPECT_EQ(rig.sensor->start(), 0);
    std::vector<uint8_t> cache(rig.frameBytes());
    for (Frame& f : frames) {
        EXPECT_EQ(rig.sensor->getFrame(cache.data(), &f.timestamp), 0);
        EXPECT_TRUE(device.getRawImages(cache.data(), f.raw.data()));
        EXPECT_TRUE(
            device.getPhaseImage(cache.data(), f.depth.data(), f.amplitude.data(), f.confidence.data()));
    }
    rig.sensor->stop();
    rig.sensor->close();
    return frames;
}

// The recorder's encoding: output row 4y + k is row y of plane k, each sample the low 11 bits times
// 16; the kit image k gets those 11 bits back as a 12-bit sample.
bool record(const std::vector<Frame>& frames, const std::string& path) {
    RecordingWriter writer;
    if (!writer.open(path, 240, 180, 12, 4)) return false;
    std::vector<uint8_t> image(PIXELS * 2);
    for (size_t n = 0; n < frames.size(); ++n) {
        // The fake module's frames can share a millisecond; the recording keeps them apart.
        const uint64_t last = 1000 + 33 * n;
        for (int k = 0; k < 4; ++k) {
            for (size_t y = 0; y < 180; ++y) {
                for (size_t x = 0; x < 240; ++x) {
                    const int16_t v = frames[n].raw[(4 * y + size_t(k)) * 240 + x];
                    const uint16_t sample = uint16_t((v >> 4) & 0x7FF);
                    image[2 * (y * 240 + x)] = uint8_t(sample);
                    image[2 * (y * 240 + x) + 1] = uint8_t(sample >> 8);
                }
            }
            if (!writer.append(last - 3 + uint64_t(k), image.data(), image.size())) return false;
        }
    }
    return writer.finish();
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

class CsiRecording : public testing::TestWithParam<int> {};

TEST_P(CsiRecording, ReplaysThroughTheKitToTheLiveDepth) {
    char pattern[] = "/tmp/zentrox-csi-rec-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string path = std::string(pattern) + "/csi.bin";
    for (int range : {4000, 2000}) {
        const std::vector<Frame> live = captureLive(GetParam(), range);
        size_t measured = 0;
        for (float d : live[0].depth)
            measured += d > 100.0f ? 1 : 0;
        ASSERT_GT(measured, PIXELS / 2) << "the live frames hold no scene";
        ASSERT_TRUE(record(live, path));

        // The replaying machine is no Jetson: its device decodes without a shift.
        ZentroxTOFUSBSensor sensor(path, 0);
        ZentroxDeviceHQVGA device(Platform::UNKNOWN);
        CameraInfo info{};
        ASSERT_EQ(sensor.open(info), 0);
        sensor.subFrameCount = 4;
        device.open(&sensor);
        device.setControl(CameraCtrl::RANGE, range);  // as replay applies the recorded controls
        ASSERT_EQ(sensor.start(), 0);
        std::vector<uint8_t> cache(4 * PIXELS * 2);
        Frame replayed;
        for (int n = 0; n < FRAMES; ++n) {
            ASSERT_EQ(sensor.getFrame(cache.data(), &replayed.timestamp), 0);
            ASSERT_TRUE(device.getRawImages(cache.data(), replayed.raw.data()));
            ASSERT_TRUE(device.getPhaseImage(cache.data(), replayed.depth.data(), replayed.amplitude.data(),
                                             replayed.confidence.data()));
            EXPECT_EQ(replayed.raw, live[size_t(n)].raw) << "frame " << n << " at " << range;
            EXPECT_TRUE(sameBits(replayed.depth, live[size_t(n)].depth)) << "frame " << n << " at " << range;
            EXPECT_TRUE(sameBits(replayed.amplitude, live[size_t(n)].amplitude)) << "frame " << n;
        }
        sensor.stop();
        sensor.close();
    }
    ::unlink(path.c_str());
    ::rmdir(pattern);
}

INSTANTIATE_TEST_SUITE_P(Boards, CsiRecording, testing::ValuesIn(kAllBoards), boardName);

}  // namespace
