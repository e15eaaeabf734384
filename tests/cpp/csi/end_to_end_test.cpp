// The transport and the HQVGA device together recover the depth of the scene the fake module
// renders, on every board profile and at both ranges.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>

#include "ZentroxPhaseEncoding.h"
#include "device/ZentroxDeviceHQVGA.h"
#include "tests/cpp/csi/CsiRig.h"
#include "tests/fakes/StderrCapture.h"

using namespace Zentrox;

namespace {

struct Recovery {
    size_t compared = 0;
    size_t within = 0;
    double worstMm = 0.0;
    double worstAmplitude = 0.0;  // relative error
};

// A range change that must not take: `value` is asked of the device after `rangeMm`, with the
// driver's range control failing when `failingDriver` is set; the device answers `status`.
struct RefusedChange {
    int value = 0;  // 0: none asked
    bool failingDriver = false;
    int status = 0;
};

Recovery streamAndCompare(int platform, int rangeMm, RefusedChange refused = {}) {
    CsiRig rig(platform);
    Recovery out;
    EXPECT_EQ(rig.open(), 0);
    ZentroxDeviceHQVGA device(platform);
    device.open(rig.sensor.get());
    rig.sensor->subFrameCount = 4;  // as the camera sets it for a 240 x 180 module
    EXPECT_EQ(rig.sensor->setControl(CameraCtrl::RANGE, rangeMm / 1000), 0);
    EXPECT_EQ(device.setControl(CameraCtrl::RANGE, rangeMm), 0);
    if (refused.value != 0) {
        if (refused.failingDriver) rig.kernel.inject(Fault{Sys::IOCTL, VIDIOC_S_CTRL, "", EIO, 0, -1});
        rig.kernel.clearTrace();
        StderrCapture quiet;  // the failing control call is reported there
        EXPECT_EQ(device.setControl(CameraCtrl::RANGE, refused.value), refused.status) << refused.value;
        EXPECT_EQ(rig.count(Sys::IOCTL, VIDIOC_S_CTRL), refused.failingDriver ? 1u : 0u) << refused.value;
        rig.kernel.clearFaults();
        int range = 0;
        EXPECT_EQ(device.getControl(CameraCtrl::RANGE, &range), 0);
        EXPECT_EQ(range, rangeMm);
    }
    EXPECT_EQ(rig.sensor->start(), 0);
    std::vector<uint8_t> cache(rig.frameBytes());
    std::vector<float> depth(240 * 180), amplitude(240 * 180), confidence(240 * 180);
    const SceneMap& map = rig.board.sceneMap();
    const PhaseModel model = PhaseModel::forRange(rangeMm);
    for (int frame = 0; frame < 3; ++frame) {
        uint64_t ts = 0;
        EXPECT_EQ(rig.sensor->getFrame(cache.data(), &ts), 0);
        EXPECT_TRUE(device.getPhaseImage(cache.data(), depth.data(), amplitude.data(), confidence.data()));
        for (size_t i = 0; i < depth.size(); ++i) {
            const double a = signalAmplitude(map.distance[i], map.reflectivity[i], model);
            if (a < 40.0) continue;  // too little light for a measurement
            double expected = std::fmod(double(map.distance[i]), double(rangeMm));
            double error = std::fabs(depth[i] - expected);
            error = std::min(error, rangeMm - error);  // the range wraps around
            ++out.compared;
            if (error <= 10.0) ++out.within;
            out.worstMm = std::max(out.worstMm, error);
            // The device's amplitude is half the length of (Q, I) in decoded units (16 per count).
            out.worstAmplitude = std::max(out.worstAmplitude, std::fabs(amplitude[i] / (16.0 * a) - 1.0));
            EXPECT_EQ(confidence[i], amplitude[i]);
        }
    }
    EXPECT_EQ(rig.sensor->stop(), 0);
    EXPECT_EQ(rig.sensor->close(), 0);
    return out;
}

class CsiEndToEnd : public testing::TestWithParam<int> {};

TEST_P(CsiEndToEnd, DepthOfTheRenderedSceneAtFourMetres) {
    Recovery r = streamAndCompare(GetParam(), 4000);
    EXPECT_GT(r.compared, 3u * 240 * 180 * 9 / 10);
    EXPECT_EQ(r.within, r.compared) << "worst " << r.worstMm << " mm";
    EXPECT_LT(r.worstAmplitude, 0.05);
}

TEST_P(CsiEndToEnd, DepthOfTheRenderedSceneAtTwoMetres) {
    Recovery r = streamAndCompare(GetParam(), 2000);
    EXPECT_GT(r.compared, 3u * 240 * 180 * 9 / 10);
    EXPECT_EQ(r.within, r.compared) << "worst " << r.worstMm << " mm";
    EXPECT_LT(r.worstAmplitude, 0.05);
}

// Neither a range the device has no frequency for nor one the driver refuses may change what the
// module sends or how the device decodes it: depth stays that of the range in force.
TEST(CsiEndToEndRange, RefusedChangesKeepDecodingTheRangeInForce) {
    const struct {
        int range;
        RefusedChange change;
    } rows[] = {
        {2000, {3000, false, ZentroxInvalidParameter}},
        {2000, {INT_MIN, false, ZentroxInvalidParameter}},
        {2000, {4000, true, ZentroxUnkownError}},
        {4000, {2000, true, ZentroxUnkownError}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.range) + " then " + std::to_string(row.change.value));
        Recovery r = streamAndCompare(Platform::RASPBERRY_PI, row.range, row.change);
        EXPECT_GT(r.compared, 3u * 240 * 180 * 9 / 10);
        EXPECT_EQ(r.within, r.compared) << "worst " << r.worstMm << " mm";
    }
}

INSTANTIATE_TEST_SUITE_P(Boards, CsiEndToEnd, testing::ValuesIn(kAllBoards), boardName);

}  // namespace
