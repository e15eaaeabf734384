#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "tests/cpp/camera/CameraRig.h"

using namespace Zentrox;

namespace {

using Writes = std::vector<std::pair<CameraCtrl, int>>;

// Controls the camera does not answer itself reach the device unchanged, and the device's result
// comes back unchanged.
TEST(CameraControls, OtherControlsArePassedToTheDevice) {
    const CameraCtrl passed[] = {CameraCtrl::RANGE,          CameraCtrl::FMT_WIDTH,  CameraCtrl::FMT_HEIGHT,
                                 CameraCtrl::MODE,           CameraCtrl::FRAME_MODE, CameraCtrl::EXPOSURE,
                                 CameraCtrl::CONFIG_DIR_EXT, CameraCtrl(99)};
    for (CameraCtrl ctrl : passed) {
        SCOPED_TRACE(int(ctrl));
        for (int result : {0, 1, 4, -1}) {
            Rig rig;
            rig.device->setControlResult(ctrl, result);
            EXPECT_EQ(rig.cam->setControl(ctrl, 1234), result);
            EXPECT_EQ((Writes{{ctrl, 1234}}), rig.device->controlWrites());
        }
    }
    // Reads of everything but AUTO_FRAME_RATE are the device's, SKIP_FRAME and SKIP_FRAME_LOOP too.
    std::vector<CameraCtrl> read(std::begin(passed), std::end(passed));
    read.push_back(CameraCtrl::FRAME_RATE);
    read.push_back(CameraCtrl::SKIP_FRAME);
    read.push_back(CameraCtrl::SKIP_FRAME_LOOP);
    for (CameraCtrl ctrl : read) {
        SCOPED_TRACE(int(ctrl));
        Rig rig;
        rig.device->setControlValue(ctrl, 31);
        int value = 0;
        EXPECT_EQ(rig.cam->getControl(ctrl, &value), 0);
        EXPECT_EQ(value, 31);
        rig.device->getControlResult(ctrl, 4);
        value = 5;
        EXPECT_EQ(rig.cam->getControl(ctrl, &value), 4);
        EXPECT_EQ(value, 5);
    }
}

TEST(CameraControls, TheSkipRuleAndTheAutomaticRateAreKeptByTheCamera) {
    Rig rig;
    rig.device->setControlValue(CameraCtrl::SKIP_FRAME, 9);
    EXPECT_EQ(rig.cam->setControl(CameraCtrl::SKIP_FRAME, -5), 0);
    EXPECT_EQ(CameraTestAccess::skipFrame(*rig.cam), -5);
    EXPECT_EQ(rig.cam->setControl(CameraCtrl::SKIP_FRAME, 1), 0);
    EXPECT_EQ(rig.cam->setControl(CameraCtrl::SKIP_FRAME_LOOP, 0), 0);
    EXPECT_EQ(CameraTestAccess::skipFrameLoop(*rig.cam), 0);
    EXPECT_EQ(rig.cam->setControl(CameraCtrl::SKIP_FRAME_LOOP, 256), 0);
    EXPECT_EQ(CameraTestAccess::skipFrameLoop(*rig.cam), 256);
    EXPECT_TRUE(rig.device->controlWrites().empty());
    // Kept when set, but read back from the device.
    int value = 0;
    EXPECT_EQ(rig.cam->getControl(CameraCtrl::SKIP_FRAME, &value), 0);
    EXPECT_EQ(value, 9);

    for (auto [set, read] : {std::pair<int, int>{2, 1}, {0, 0}, {-1, 1}, {1, 1}}) {
        EXPECT_EQ(rig.cam->setControl(CameraCtrl::AUTO_FRAME_RATE, set), 0);
        value = 7;
        EXPECT_EQ(rig.cam->getControl(CameraCtrl::AUTO_FRAME_RATE, &value), 0);
        EXPECT_EQ(value, read);
    }
    EXPECT_TRUE(rig.device->controlWrites().empty());
    EXPECT_EQ(rig.device->readsOf(CameraCtrl::AUTO_FRAME_RATE), 0);
}

TEST(CameraControls, FrameRateIsCheckedAgainstTheDeviceLimit) {
    struct Case {
        int value;
        int expected;
        bool applied;
    };
    const int limit = 30;
    const Case cases[] = {
        {0, 1, false},
        {-3, 1, false},
        {limit + 1, 1, false},
        {std::numeric_limits<int>::min(), 1, false},
        {1, 6, true},
        {limit, 6, true},
        {std::numeric_limits<int>::max(), 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        Rig rig;
        rig.device->setControlValue(CameraCtrl::FRAME_RATE, limit);
        rig.device->setControlResult(CameraCtrl::FRAME_RATE, 6);  // the device's own answer to the write
        EXPECT_EQ(rig.cam->setControl(CameraCtrl::FRAME_RATE, c.value), c.expected);
        EXPECT_EQ(rig.device->writesOf(CameraCtrl::FRAME_RATE), c.applied ? 1 : 0);
    }
    // A failing limit read: its code, nothing applied.
    for (int code : {-1, 4, -2}) {
        Rig rig;
        rig.device->getControlResult(CameraCtrl::FRAME_RATE, code);
        EXPECT_EQ(rig.cam->setControl(CameraCtrl::FRAME_RATE, 10), code);
        EXPECT_EQ(rig.device->writesOf(CameraCtrl::FRAME_RATE), 0);
    }
}

TEST(CameraControls, TextControls) {
    Rig rig;
    rig.device->textResult = 1;
    EXPECT_EQ(rig.cam->setControlExt(CameraCtrl::RANGE, "x"), 1);
    rig.device->textResult = 0;
    EXPECT_EQ(rig.cam->setControlExt(CameraCtrl::CONFIG_DIR_EXT, "/opt/config"), 0);
    auto texts = rig.device->textWrites();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], std::make_pair(CameraCtrl::RANGE, std::string("x")));
    EXPECT_EQ(texts[1], std::make_pair(CameraCtrl::CONFIG_DIR_EXT, std::string("/opt/config")));
    // A null text never reaches the device.
    EXPECT_EQ(rig.cam->setControlExt(CameraCtrl::CONFIG_DIR_EXT, nullptr), 1);
    EXPECT_EQ(rig.device->textWrites().size(), 2u);

    const char* text = "unchanged";
    EXPECT_EQ(rig.cam->getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), 0);
    EXPECT_STREQ(text, "unchanged");
    EXPECT_EQ(rig.cam->getControlExt(CameraCtrl::RANGE, nullptr), 0);
    EXPECT_EQ(rig.device->textReads, 0);
}

TEST(CameraControls, ANullOutputIsRefused) {
    Rig rig;
    rig.device->setControlValue(CameraCtrl::RANGE, 1);
    EXPECT_EQ(rig.cam->getControl(CameraCtrl::RANGE, nullptr), 1);
    EXPECT_EQ(rig.cam->getControl(CameraCtrl::AUTO_FRAME_RATE, nullptr), 1);
    EXPECT_TRUE(rig.device->controlReadsOf().empty());
}

// adjustFrameRate: the target is the whole measured rate (at least 1); it is applied when it differs
// from the device's rate by more than max(1, rate / 10).
TEST(CameraFrameRateAdjustment, WorkedValues) {
    struct Case {
        float fps;
        int current;
        int applied;  // -1: nothing written
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {14.7f, 30, 14},
        {28.2f, 30, -1},
        {8.9f, 9, -1},
        {8.9f, 10, 8},
        {0.4f, 5, 1},
        // Beyond the worked rows: rates the target cannot be taken from become 1.
        {inf, 30, 1},
        {std::nanf(""), 30, 1},
        {-inf, 30, 1},
        {3e9f, 30, 1},
        {0.0f, 1, -1},
        {0.0f, 2, -1},
        {0.0f, 3, 1},
        {33.0f, 30, -1},
        {34.0f, 30, -1},  // outside the tolerance, but above the device's limit: refused
        {45.0f, 60, 45},
        {53.9f, 60, 53},
        {54.0f, 60, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "fps " << c.fps << " current " << c.current);
        Rig rig;
        rig.device->setControlValue(CameraCtrl::FRAME_RATE, c.current);
        CameraTestAccess::setFps(*rig.cam, c.fps);
        CameraTestAccess::adjustFrameRate(*rig.cam);
        Writes expected;
        if (c.applied >= 0) expected.push_back({CameraCtrl::FRAME_RATE, c.applied});
        EXPECT_EQ(expected, rig.device->controlWrites());
    }
}

TEST(CameraFrameRateAdjustment, RefusedOrFailedReadsApplyNothing) {
    {
        // The target is above what the device allows: refused by the limit check.
        Rig rig;
        rig.device->setControlValue(CameraCtrl::FRAME_RATE, 10);
        CameraTestAccess::setFps(*rig.cam, 25.0f);
        CameraTestAccess::adjustFrameRate(*rig.cam);
        EXPECT_TRUE(rig.device->controlWrites().empty());
    }
    {
        // A failed read leaves current at 0 and the write's own limit read fails too.
        Rig rig;
        rig.device->getControlResult(CameraCtrl::FRAME_RATE, -1);
        CameraTestAccess::setFps(*rig.cam, 14.0f);
        CameraTestAccess::adjustFrameRate(*rig.cam);
        EXPECT_TRUE(rig.device->controlWrites().empty());
        EXPECT_EQ(rig.device->readsOf(CameraCtrl::FRAME_RATE), 2);
    }
}

}  // namespace
