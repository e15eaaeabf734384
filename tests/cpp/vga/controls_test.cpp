// The VGA device's controls, frame geometry and raw copy.
#include <gtest/gtest.h>

#include <climits>

#include "tests/cpp/vga/VgaTestSupport.h"

using namespace Zentrox;

namespace {

struct OpenedDevice {
    OpenedDevice() { EXPECT_EQ(device.open(&sensor), 0); }
    RecordingVgaSensor sensor;
    ZentroxDeviceVGA device{0};
    InstantSleepKernel sleeps;
    ScopedKernel seam{sleeps};
};

int get(ZentroxDevice& d, CameraCtrl c, int* status = nullptr) {
    int v = -12345;
    int s = d.getControl(c, &v);
    if (status) *status = s;
    return v;
}

}  // namespace

TEST(VgaDevice, TypeAndNullSensor) {
    ZentroxDeviceVGA device(3);
    EXPECT_EQ(device.getDeviceType(), VGA);
    EXPECT_EQ(device.open(nullptr), 1);
    float f = 0;
    uint8_t frame[4] = {};
    EXPECT_FALSE(device.getPhaseImage(frame, &f, &f, &f)) << "no handle was created";
    int status = 0;
    get(device, CameraCtrl::EXPOSURE, &status);
    EXPECT_NE(status, 0) << "no sensor to ask";
    EXPECT_EQ(device.close(), 0);
}

TEST(VgaDevice, FrameFormatFollowsSizeAndMode) {
    OpenedDevice o;
    OutputGeometry raw{7, 0, 0}, depth{9, 0, 0};
    o.device.getFrameFormat(raw, depth);
    EXPECT_EQ(raw.tag, 2u);
    EXPECT_EQ(raw.width, 640u);
    EXPECT_EQ(raw.height, 2405u);
    EXPECT_EQ(depth.tag, 9u) << "the depth record's tag is not touched";
    EXPECT_EQ(depth.width, 640u);
    EXPECT_EQ(depth.height, 480u);

    const struct {
        int width, height, mode;
        uint32_t raw_height;
    } rows[] = {{320, 240, 0, 1205},
                {320, 240, 1, 2410},
                {640, 480, 1, 4810},
                {640, 240, 0, 1205},
                {320, 480, 1, 4810}};
    for (const auto& r : rows) {
        ASSERT_EQ(o.device.setControl(CameraCtrl::FMT_WIDTH, r.width), 0);
        ASSERT_EQ(o.device.setControl(CameraCtrl::FMT_HEIGHT, r.height), 0);
        ASSERT_EQ(o.device.setControl(CameraCtrl::MODE, r.mode), 0);
        o.device.getFrameFormat(raw, depth);
        EXPECT_EQ(raw.width, uint32_t(r.width));
        EXPECT_EQ(raw.height, r.raw_height) << r.width << "x" << r.height << " mode " << r.mode;
        EXPECT_EQ(depth.width, uint32_t(r.width));
        EXPECT_EQ(depth.height, uint32_t(r.height));
    }
}

TEST(VgaDevice, SizeControlsAcceptOnlyTheTwoSizes) {
    OpenedDevice o;
    for (int w : {800, 0, -640, 641, 480})
        EXPECT_EQ(o.device.setControl(CameraCtrl::FMT_WIDTH, w), 1) << w;
    EXPECT_EQ(get(o.device, CameraCtrl::FMT_WIDTH), 640) << "a refused width leaves the previous one";
    for (int h : {640, 0, 481, 120})
        EXPECT_EQ(o.device.setControl(CameraCtrl::FMT_HEIGHT, h), 1) << h;
    EXPECT_EQ(get(o.device, CameraCtrl::FMT_HEIGHT), 480);
    EXPECT_EQ(o.device.setControl(CameraCtrl::FMT_WIDTH, 320), 0);
    EXPECT_EQ(o.device.setControl(CameraCtrl::FMT_WIDTH, 800), 1);
    EXPECT_EQ(get(o.device, CameraCtrl::FMT_WIDTH), 320);
    EXPECT_TRUE(o.sensor.sets.empty()) << "size controls reach the sensor only at prepare";
}

TEST(VgaDevice, ModeSetsRange) {
    OpenedDevice o;
    EXPECT_EQ(get(o.device, CameraCtrl::MODE), 0) << "the SDK starts in single frequency";
    EXPECT_EQ(get(o.device, CameraCtrl::RANGE), 1250);
    EXPECT_EQ(o.device.setControl(CameraCtrl::MODE, 1), 0);
    EXPECT_EQ(get(o.device, CameraCtrl::MODE), 1);
    EXPECT_EQ(get(o.device, CameraCtrl::RANGE), 4500);
    EXPECT_EQ(o.device.setControl(CameraCtrl::MODE, 0), 0);
    EXPECT_EQ(get(o.device, CameraCtrl::MODE), 0);
    EXPECT_EQ(get(o.device, CameraCtrl::RANGE), 1250);
    for (int bad : {2, -1, 8})
        EXPECT_EQ(o.device.setControl(CameraCtrl::MODE, bad), 1) << bad;
    EXPECT_EQ(get(o.device, CameraCtrl::MODE), 0);
}

TEST(VgaDevice, ControlsItRefusesOrDoesNotImplement) {
    OpenedDevice o;
    // The range follows from the mode: no value changes it, and none reaches the module.
    for (int mode : {0, 1}) {
        ASSERT_EQ(o.device.setControl(CameraCtrl::MODE, mode), 0);
        const int range = get(o.device, CameraCtrl::RANGE);
        for (int value : {1250, 4500, 2000, 4000, 3000, 0, INT_MIN})
            EXPECT_EQ(o.device.setControl(CameraCtrl::RANGE, value), 1) << value;
        EXPECT_EQ(get(o.device, CameraCtrl::RANGE), range);
        EXPECT_EQ(get(o.device, CameraCtrl::MODE), mode);
    }
    EXPECT_TRUE(o.sensor.sets.empty());
    EXPECT_EQ(o.device.setControl(CameraCtrl::EXPOSURE, 100), 1);
    EXPECT_EQ(o.device.setControl(CameraCtrl::FRAME_MODE, 1), 4);
    EXPECT_EQ(o.device.setControl(CameraCtrl::SKIP_FRAME, 1), 1);
    EXPECT_EQ(o.device.setControl(CameraCtrl::CONFIG_DIR_EXT, 1), 1);
    int status = 0;
    const int untouched = get(o.device, CameraCtrl::FRAME_MODE, &status);
    EXPECT_EQ(status, 4);
    EXPECT_EQ(untouched, -12345);
    EXPECT_TRUE(o.sensor.sets.empty());
    EXPECT_EQ(o.sensor.getCalls, 0);
}

TEST(VgaDevice, ExposureAndOtherControlsComeFromTheSensor) {
    OpenedDevice o;
    o.sensor.gets[CameraCtrl::EXPOSURE] = {0, 321};
    o.sensor.gets[CameraCtrl::SKIP_FRAME] = {7, 3};
    int status = -9;
    EXPECT_EQ(get(o.device, CameraCtrl::EXPOSURE, &status), 321);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(get(o.device, CameraCtrl::SKIP_FRAME, &status), 3);
    EXPECT_EQ(status, 7);
    get(o.device, CameraCtrl::SKIP_FRAME_LOOP, &status);
    EXPECT_EQ(status, 4) << "the sensor's result, whatever it is";
}

TEST(VgaDevice, FrameRateLimitsUntilOneIsSet) {
    OpenedDevice o;
    const struct {
        int width, height, mode, status, limit;
    } rows[] = {
        {640, 480, 0, 0, 41},     {640, 480, 1, 0, 23},     {320, 240, 0, 0, 61},
        {320, 240, 1, 0, 36},     {640, 240, 0, 1, -12345}, {640, 240, 1, 1, -12345},
        {320, 480, 0, 1, -12345}, {320, 480, 1, 1, -12345},
    };
    for (const auto& r : rows) {
        o.device.setControl(CameraCtrl::FMT_WIDTH, r.width);
        o.device.setControl(CameraCtrl::FMT_HEIGHT, r.height);
        o.device.setControl(CameraCtrl::MODE, r.mode);
        int status = -9;
        EXPECT_EQ(get(o.device, CameraCtrl::FRAME_RATE, &status), r.limit)
            << r.width << "x" << r.height << "/" << r.mode;
        EXPECT_EQ(status, r.status) << r.width << "x" << r.height << "/" << r.mode;
    }
    EXPECT_EQ(o.sensor.getCalls, 0);

    // A refused setting changes nothing; the first accepted one hands the answer to the sensor for good.
    o.sensor.setResults[CameraCtrl::FRAME_RATE] = -2;
    EXPECT_EQ(o.device.setControl(CameraCtrl::FRAME_RATE, 30), -2);
    o.device.setControl(CameraCtrl::FMT_WIDTH, 640);
    o.device.setControl(CameraCtrl::FMT_HEIGHT, 480);
    EXPECT_EQ(get(o.device, CameraCtrl::FRAME_RATE), 23);
    o.sensor.setResults[CameraCtrl::FRAME_RATE] = 0;
    o.sensor.gets[CameraCtrl::FRAME_RATE] = {0, 15};
    EXPECT_EQ(o.device.setControl(CameraCtrl::FRAME_RATE, 15), 0);
    int status = -9;
    EXPECT_EQ(get(o.device, CameraCtrl::FRAME_RATE, &status), 15);
    EXPECT_EQ(status, 0);
    o.device.setControl(CameraCtrl::FMT_HEIGHT, 240);  // 640 x 240 has no table value, but the flag stays
    EXPECT_EQ(get(o.device, CameraCtrl::FRAME_RATE, &status), 15);
    o.sensor.setResults[CameraCtrl::FRAME_RATE] = 1;
    EXPECT_EQ(o.device.setControl(CameraCtrl::FRAME_RATE, 99), 1);
    EXPECT_EQ(get(o.device, CameraCtrl::FRAME_RATE), 15) << "never cleared";
    const std::vector<std::pair<CameraCtrl, int>> sent = {
        {CameraCtrl::FRAME_RATE, 30}, {CameraCtrl::FRAME_RATE, 15}, {CameraCtrl::FRAME_RATE, 99}};
    EXPECT_EQ(o.sensor.sets, sent);
}

TEST(VgaDevice, ConfigurationPath) {
    OpenedDevice o;
    const char* path = "not null";
    EXPECT_EQ(o.device.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &path), 0);
    EXPECT_STREQ(path, "");
    EXPECT_EQ(o.device.setControlExt(CameraCtrl::CONFIG_DIR_EXT, "/opt/zentrox/config"), 0);
    EXPECT_EQ(o.device.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &path), 0);
    EXPECT_STREQ(path, "/opt/zentrox/config");
    EXPECT_EQ(o.device.setControlExt(CameraCtrl::RANGE, "x"), 1);
    EXPECT_EQ(o.device.getControlExt(CameraCtrl::MODE, &path), 1);
    EXPECT_EQ(o.device.setControlExt(CameraCtrl::CONFIG_DIR_EXT, nullptr), 0);
    o.device.getControlExt(CameraCtrl::CONFIG_DIR_EXT, &path);
    EXPECT_STREQ(path, "");
}

TEST(VgaDevice, PreparePushesTheRawGeometryToTheSensor) {
    OpenedDevice o;
    o.sensor.setResults[CameraCtrl::FMT_WIDTH] = 1;  // ignored
    EXPECT_EQ(o.device.prepare(), 0);
    o.device.setControl(CameraCtrl::FMT_WIDTH, 320);
    o.device.setControl(CameraCtrl::FMT_HEIGHT, 240);
    o.device.setControl(CameraCtrl::MODE, 1);
    EXPECT_EQ(o.device.prepare(), 0);
    const std::vector<std::pair<CameraCtrl, int>> sent = {{CameraCtrl::FMT_WIDTH, 640},
                                                          {CameraCtrl::FMT_HEIGHT, 2405},
                                                          {CameraCtrl::FMT_WIDTH, 320},
                                                          {CameraCtrl::FMT_HEIGHT, 2410}};
    EXPECT_EQ(o.sensor.sets, sent);
}

TEST(VgaDevice, RawCopyIsTheFrameOfTheLastPrepare) {
    OpenedDevice o;
    int16_t raw[4] = {};
    uint8_t tiny[8] = {};
    EXPECT_FALSE(o.device.getRawImages(tiny, raw)) << "nothing prepared, nothing to copy";
    o.device.setControl(CameraCtrl::FMT_WIDTH, 320);
    o.device.setControl(CameraCtrl::FMT_HEIGHT, 240);
    ASSERT_EQ(o.device.prepare(), 0);
    const size_t samples = 320 * 1205;
    std::vector<uint16_t> frame(samples);
    for (size_t i = 0; i < samples; ++i)
        frame[i] = uint16_t(i * 7);
    std::vector<int16_t> out(samples * 2 + 8, int16_t(-1));
    // Size and mode changed while streaming: the copy stays that of the frame the sensor delivers.
    o.device.setControl(CameraCtrl::FMT_WIDTH, 640);
    o.device.setControl(CameraCtrl::MODE, 1);
    ASSERT_TRUE(o.device.getRawImages(reinterpret_cast<const uint8_t*>(frame.data()), out.data()));
    for (size_t i = 0; i < samples; ++i)
        ASSERT_EQ(uint16_t(out[i]), frame[i]) << i;
    EXPECT_EQ(out[samples], -1) << "nothing past the prepared frame";
}
