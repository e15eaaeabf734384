#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "device/ZentroxDeviceHQVGA.h"
#include "tests/fakes/RecordingSensor.h"

using namespace Zentrox;

namespace {

const CameraCtrl OTHER_CONTROLS[] = {
    CameraCtrl::FMT_WIDTH,      CameraCtrl::FMT_HEIGHT,      CameraCtrl::MODE,
    CameraCtrl::FRAME_MODE,     CameraCtrl::EXPOSURE,        CameraCtrl::FRAME_RATE,
    CameraCtrl::SKIP_FRAME,     CameraCtrl::SKIP_FRAME_LOOP, CameraCtrl::AUTO_FRAME_RATE,
    CameraCtrl::CONFIG_DIR_EXT,
};

// The device decodes at 75 MHz for 2000 and at 37.5 MHz for 4000, and has the module modulate at the
// same frequency: a value it has no frequency for, or one the sensor does not take, changes nothing.
TEST(HqvgaControls, RangeSwitchesOnlyTo2000Or4000AndOnlyWhenTheSensorTakesIt) {
    const struct {
        int value;
        int sensorStatus;
        int status;
        int rangeAfter;  // starting from 2000
    } rows[] = {
        {2000, 0, 0, 2000},
        {4000, 0, 0, 4000},
        {3000, 0, ZentroxInvalidParameter, 2000},
        {1, 0, ZentroxInvalidParameter, 2000},
        {INT_MIN, 0, ZentroxInvalidParameter, 2000},
        {4000, ZentroxUnkownError, ZentroxUnkownError, 2000},
        {4000, ZentroxInvalidParameter, ZentroxInvalidParameter, 2000},
    };
    for (const auto& row : rows) {
        const std::string where = std::to_string(row.value) + " sensor " + std::to_string(row.sensorStatus);
        RecordingSensor sensor;
        ZentroxDeviceHQVGA device(0);
        ASSERT_EQ(device.open(&sensor), 0);
        ASSERT_EQ(device.setControl(CameraCtrl::RANGE, 2000), 0);
        sensor.calls.clear();
        sensor.answer_status = row.sensorStatus;
        EXPECT_EQ(device.setControl(CameraCtrl::RANGE, row.value), row.status) << where;
        int range = 12345;
        EXPECT_EQ(device.getControl(CameraCtrl::RANGE, &range), 0);
        EXPECT_EQ(range, row.rangeAfter) << where;
        EXPECT_EQ(device.modulationFrequency(), row.rangeAfter == 2000 ? 75000000.0f : 37500000.0f) << where;
        EXPECT_EQ(device.params().range2000_pair, row.rangeAfter == 2000) << where;
        // Only a range the device can decode is handed on, so that the module modulates with it.
        const bool handedOn = row.value == 2000 || row.value == 4000;
        ASSERT_EQ(sensor.calls.size(), handedOn ? 1u : 0u) << where;
        if (handedOn) {
            EXPECT_TRUE(sensor.calls[0].set);
            EXPECT_EQ(sensor.calls[0].ctrl, CameraCtrl::RANGE);
            EXPECT_EQ(sensor.calls[0].value, row.value);
        }
    }
}

TEST(HqvgaControls, DefaultsAre4000At37_5MHz) {
    ZentroxDeviceHQVGA device(0);
    int range = 0;
    EXPECT_EQ(device.getControl(CameraCtrl::RANGE, &range), 0);
    EXPECT_EQ(range, 4000);
    EXPECT_EQ(device.modulationFrequency(), 37500000.0f);
    EXPECT_FALSE(device.params().range2000_pair);
}

TEST(HqvgaControls, OtherControlsAreRefusedWithoutReachingTheSensor) {
    RecordingSensor sensor;
    ZentroxDeviceHQVGA device(0);
    ASSERT_EQ(device.open(&sensor), 0);
    for (CameraCtrl ctrl : OTHER_CONTROLS) {
        EXPECT_EQ(device.setControl(ctrl, 10), ZentroxInvalidParameter) << static_cast<int>(ctrl);
    }
    EXPECT_TRUE(sensor.calls.empty());
    int range = 0;
    ASSERT_EQ(device.getControl(CameraCtrl::RANGE, &range), 0);
    EXPECT_EQ(range, 4000);  // the refused calls changed nothing
}

TEST(HqvgaControls, OtherControlsAreReadFromTheSensor) {
    const int statuses[] = {ZentroxSuccess, ZentroxInvalidParameter, ZentroxSystemError,
                            ZentroxNotImplemented};
    for (int status : statuses) {
        for (CameraCtrl ctrl : OTHER_CONTROLS) {
            RecordingSensor sensor;
            sensor.answer_status = status;
            sensor.answer_value = 33;
            ZentroxDeviceHQVGA device(0);
            ASSERT_EQ(device.open(&sensor), 0);
            int value = -1;
            EXPECT_EQ(device.getControl(ctrl, &value), status) << static_cast<int>(ctrl);
            EXPECT_EQ(value, status == ZentroxSuccess ? 33 : -1);
            ASSERT_EQ(sensor.calls.size(), 1u);
            EXPECT_FALSE(sensor.calls[0].set);
            EXPECT_EQ(sensor.calls[0].ctrl, ctrl);
        }
    }
}

TEST(HqvgaControls, RangeIsNotAskedOfTheSensor) {
    RecordingSensor sensor;
    sensor.answer_value = 77;
    ZentroxDeviceHQVGA device(0);
    ASSERT_EQ(device.open(&sensor), 0);
    int range = 0;
    EXPECT_EQ(device.getControl(CameraCtrl::RANGE, &range), 0);
    EXPECT_EQ(range, 4000);
    EXPECT_TRUE(sensor.calls.empty());
}

TEST(HqvgaControls, TextControlsAreRefused) {
    RecordingSensor sensor;
    ZentroxDeviceHQVGA device(0);
    ASSERT_EQ(device.open(&sensor), 0);
    const char* text = "untouched";
    for (CameraCtrl ctrl : {CameraCtrl::CONFIG_DIR_EXT, CameraCtrl::RANGE}) {
        EXPECT_EQ(device.setControlExt(ctrl, "/tmp"), ZentroxInvalidParameter);
        EXPECT_EQ(device.getControlExt(ctrl, &text), ZentroxInvalidParameter);
    }
    EXPECT_STREQ(text, "untouched");
    EXPECT_TRUE(sensor.calls.empty());
}

TEST(HqvgaControls, WithoutSensorOrOutputReadsFailInsteadOfCrashing) {
    ZentroxDeviceHQVGA device(0);
    EXPECT_EQ(device.open(nullptr), 0);
    int value = 5;
    EXPECT_EQ(device.getControl(CameraCtrl::EXPOSURE, &value), ZentroxUnkownError);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(device.getControl(CameraCtrl::RANGE, nullptr), ZentroxInvalidParameter);
    EXPECT_EQ(device.getControl(CameraCtrl::EXPOSURE, nullptr), ZentroxInvalidParameter);
    // Range still works without a sensor.
    EXPECT_EQ(device.setControl(CameraCtrl::RANGE, 2000), 0);
    EXPECT_EQ(device.getControl(CameraCtrl::RANGE, &value), 0);
    EXPECT_EQ(value, 2000);
}

TEST(HqvgaDevice, TypeGeometryAndLifecycle) {
    ZentroxDeviceHQVGA device(0);
    EXPECT_EQ(device.getDeviceType(), HQVGA);
    OutputGeometry raw{9, 9, 9}, depth{9, 9, 9};
    device.getFrameFormat(raw, depth);
    EXPECT_EQ(raw.tag, 2u);
    EXPECT_EQ(raw.width, 240u);
    EXPECT_EQ(raw.height, 720u);
    EXPECT_EQ(depth.tag, 2u);
    EXPECT_EQ(depth.width, 240u);
    EXPECT_EQ(depth.height, 180u);
    RecordingSensor sensor;
    EXPECT_EQ(device.open(&sensor), 0);
    EXPECT_EQ(device.prepare(), 0);
    EXPECT_EQ(device.start(), 0);
    EXPECT_EQ(device.stop(), 0);
    EXPECT_EQ(device.close(), 0);
    EXPECT_TRUE(sensor.calls.empty());
}

}  // namespace

TEST(HqvgaControls, RangeChangesWhileConvertingGiveWholeFrames) {
    // P2 alone: 1000 mm at range 4000; 0 at range 2000. A frame that mixed the 4000 pair with the
    // 75 MHz scale would read 500 mm.
    ZentroxDeviceHQVGA device(0);
    std::vector<uint8_t> frame(240 * 180 * 4 * 2, 0);
    for (int p = 0; p < 240 * 180; ++p)
        frame[2 * (2 * 240 * 180 + p)] = 100;
    std::atomic<bool> done{false};
    std::thread caller([&] {
        for (int n = 0; !done.load(); ++n)
            device.setControl(CameraCtrl::RANGE, n % 2 ? 2000 : 4000);
    });
    std::vector<float> depth(240 * 180), amplitude(240 * 180), confidence(240 * 180);
    for (int f = 0; f < 200; ++f) {
        ASSERT_TRUE(device.getPhaseImage(frame.data(), depth.data(), amplitude.data(), confidence.data()));
        ASSERT_TRUE(depth[0] == 1000.0f || depth[0] == 0.0f) << depth[0];
        for (float d : depth)
            ASSERT_EQ(d, depth[0]);
    }
    done = true;
    caller.join();
}
