// The USB transport against the scripted kit: the exact SDK calls, the .bin flag, the geometry and
// bpp rule, sample normalisation, grouping of images into frames, registers, and the failures.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "sensor/usb/ZentroxTOFUSBSensor.h"
#include "tests/cpp/usb/ScriptedKit.h"

using namespace Zentrox;
namespace Kit = Zentrox::ScriptedKit;

namespace {

class UsbTransport : public testing::Test {
  protected:
    void SetUp() override { Kit::reset(); }

    // An opened transport over the scripted kit with the given geometry.
    std::unique_ptr<ZentroxTOFUSBSensor> opened(uint32_t width = 4, uint32_t height = 2, uint8_t bits = 12,
                                                const std::string& path = "") {
        Kit::script().config = ZentroxCameraConfig{width, height, bits, 4, 30, 0};
        auto sensor = std::make_unique<ZentroxTOFUSBSensor>(path, 0);
        CameraInfo info{};
        EXPECT_EQ(sensor->open(info), 0);
        return sensor;
    }

    // A 12-bit image whose every sample is `value`.
    static Kit::ScriptedImage image(uint64_t timestamp, uint16_t value, size_t samples = 8) {
        Kit::ScriptedImage i;
        i.timestamp = timestamp;
        for (size_t s = 0; s < samples; ++s) {
            i.data.push_back(static_cast<uint8_t>(value));
            i.data.push_back(static_cast<uint8_t>(value >> 8));
        }
        return i;
    }

    static uint16_t sampleAt(const std::vector<uint8_t>& data, size_t i) {
        return static_cast<uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
};

TEST_F(UsbTransport, OpenCallsTheKitInOrderAndReportsItsGeometry) {
    Kit::script().config = ZentroxCameraConfig{240, 180, 12, 4, 30, 0};
    ZentroxTOFUSBSensor sensor("", 3);
    EXPECT_EQ(sensor.subFrameCount, 1);
    CameraInfo info{};
    info.index = 3;
    info.connect = Connection::USB;
    info.device_type = HQVGA;
    info.type = FrameType::DEPTH;
    ASSERT_EQ(sensor.open(info), 0);
    EXPECT_EQ(Kit::script().names(),
              (std::vector<std::string>{"ZentroxDefaultParam", "ZentroxOpenCamera", "ZentroxInitCamera",
                                        "ZentroxGetCameraConfig"}));
    const auto& calls = Kit::script().calls;
    // The same parameter record goes to DefaultParam and OpenCamera; the handle goes to the rest.
    EXPECT_EQ(calls[0].args[0], calls[1].args[1]);
    EXPECT_EQ(calls[2].args[0], reinterpret_cast<uintptr_t>(Kit::handle()));
    EXPECT_EQ(calls[3].args[0], reinterpret_cast<uintptr_t>(Kit::handle()));
    EXPECT_EQ(info.width, 240u);
    EXPECT_EQ(info.height, 180u);
    EXPECT_EQ(info.bit_width, 12u);
    EXPECT_EQ(info.bpp, 2u);
    EXPECT_EQ(info.index, 3u);  // the camera's own fields stay
    EXPECT_EQ(info.connect, Connection::USB);
    const CameraInfo copy = sensor.getCameraInfo();
    EXPECT_EQ(std::memcmp(&copy, &info, sizeof info), 0);
    sensor.close();
}

TEST_F(UsbTransport, BinFlagAndPath) {
    const struct {
        std::string path;
        bool pathSet;
        uint8_t isBin;
    } rows[] = {
        {"rec.bin", true, 1},      {".bin", true, 1},    {"/data/x.bin", true, 1},
        {"REC.BIN", true, 0},      {"rec.Bin", true, 0}, {"cfg.json", true, 0},
        {"rec.bin.json", true, 0}, {"a", true, 0},       {"bin", true, 0},
        {".bi", true, 0},          {"", false, 0},
    };
    for (const auto& row : rows) {
        Kit::reset();
        ZentroxTOFUSBSensor sensor(row.path, 0);
        CameraInfo info{};
        ASSERT_EQ(sensor.open(info), 0) << row.path;  // short paths open too, nothing is thrown
        const ZentroxOpenParam& p = Kit::script().openParam;
        EXPECT_EQ(p.is_bin, row.isBin) << row.path;
        if (row.pathSet) {
            EXPECT_EQ(Kit::script().openPath, row.path);
        } else {
            EXPECT_EQ(p.path, nullptr);
        }
        // Every other byte stays as ZentroxDefaultParam left it.
        const auto* bytes = reinterpret_cast<const uint8_t*>(&p);
        for (size_t b = 8; b < sizeof p; ++b) {
            if (b != 16) {
                EXPECT_EQ(bytes[b], Kit::DEFAULT_FILL) << row.path << " byte " << b;
            }
        }
        EXPECT_EQ(ZentroxTOFUSBSensor::isRecordingPath(row.path), row.isBin == 1) << row.path;
        sensor.close();
    }
}

TEST_F(UsbTransport, BytesPerPixelFollowTheBitWidth) {
    const struct {
        uint8_t bits;
        uint32_t bpp;
    } rows[] = {{8, 1}, {10, 2}, {12, 2}, {7, 1}, {9, 2}, {14, 2}, {16, 2}};
    for (const auto& row : rows) {
        Kit::reset();
        Kit::script().config = ZentroxCameraConfig{320, 240, row.bits, 1, 30, 0};
        ZentroxTOFUSBSensor sensor("", 0);
        CameraInfo info{};
        ASSERT_EQ(sensor.open(info), 0);
        EXPECT_EQ(info.bit_width, row.bits);
        EXPECT_EQ(info.bpp, row.bpp) << int(row.bits);
        EXPECT_EQ(sensor.getCameraInfo().bpp, row.bpp);
        sensor.close();
    }
}

TEST_F(UsbTransport, SamplesAreNormalisedToTwelveBits) {
    const struct {
        uint8_t bits;
        uint16_t sample;
        uint16_t normalised;
    } rows[] = {
        {10, 0x03FF, 0x0FFC}, {14, 0x3FFF, 0x0FFF}, {8, 0xFF, 0x0FF0},    {8, 0x01, 0x0010},
        {12, 0x0ABC, 0x0ABC}, {12, 0xFFFF, 0xFFFF}, {10, 0x0201, 0x0804}, {14, 0x0004, 0x0001},
        {16, 0xFFFF, 0x0FFF}, {9, 0x01FF, 0x0FF8},  {11, 0x07FF, 0x0FFE}, {13, 0x1FFF, 0x0FFF},
    };
    for (const auto& row : rows) {
        Kit::reset();
        auto sensor = opened(3, 1, row.bits);
        Kit::ScriptedImage img;
        img.timestamp = 50;
        for (int s = 0; s < 3; ++s) {
            img.data.push_back(static_cast<uint8_t>(row.sample));
            if (row.bits > 8) img.data.push_back(static_cast<uint8_t>(row.sample >> 8));
        }
        Kit::script().images.push_back(img);
        ASSERT_EQ(sensor->start(), 0);
        std::vector<uint8_t> data(6, 0xEE);
        uint64_t ts = 0;
        ASSERT_EQ(sensor->getFrame(data.data(), &ts), 0) << int(row.bits);
        for (size_t s = 0; s < 3; ++s) {
            EXPECT_EQ(sampleAt(data, s), row.normalised) << int(row.bits) << " bits, sample " << row.sample;
        }
        EXPECT_EQ(ts, 50u);
        sensor->stop();
        sensor->close();
    }
}

TEST_F(UsbTransport, BitWidthsThatCannotBeNormalisedFailTheFrame) {
    for (uint8_t bits : {uint8_t{6}, uint8_t{0}, uint8_t{17}, uint8_t{40}}) {
        Kit::reset();
        auto sensor = opened(2, 1, bits);
        Kit::ScriptedImage img;
        img.timestamp = 9;
        img.data.assign(bits > 8 ? 4 : 2, 0x11);
        Kit::script().images.push_back(img);
        ASSERT_EQ(sensor->start(), 0);
        std::vector<uint8_t> data(4, 0xEE);
        uint64_t ts = 0;
        EXPECT_EQ(sensor->getFrame(data.data(), &ts), -1) << int(bits);
        EXPECT_EQ(data, std::vector<uint8_t>(4, 0xEE));
        EXPECT_EQ(Kit::script().lentImages, 0);
        sensor->close();
    }
}

TEST_F(UsbTransport, ImagesCloseInTimeFormOneFrame) {
    auto sensor = opened();
    sensor->subFrameCount = 4;
    for (uint64_t t : {100, 102, 104, 106})
        Kit::script().images.push_back(image(t, static_cast<uint16_t>(t)));
    ASSERT_EQ(sensor->start(), 0);
    std::vector<uint8_t> data(4 * 16, 0);
    uint64_t ts = 0;
    ASSERT_EQ(sensor->getFrame(data.data(), &ts), 0);
    EXPECT_EQ(Kit::script().count("ZentroxCaptureImage"), 4);
    EXPECT_EQ(Kit::script().count("ZentroxFreeImage"), 4);
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(sampleAt(data, 8 * k), 100 + 2 * k) << k;
    EXPECT_EQ(ts, 106u);
    EXPECT_EQ(Kit::script().lentImages, 0);
    for (const auto& call : Kit::script().calls) {
        if (call.name == "ZentroxCaptureImage") {
            EXPECT_EQ(call.args[1], 2000u);  // the time-out
        }
    }
}

TEST_F(UsbTransport, AGapRestartsTheFrame) {
    const struct {
        std::vector<uint64_t> stamps;
        std::vector<uint64_t> inFrame;
        uint64_t timestamp;
    } rows[] = {
        {{100, 102, 110, 112, 114, 116}, {110, 112, 114, 116}, 116},
        {{100, 105, 110, 115}, {100, 105, 110, 115}, 115},        // 5 ms keeps the group
        {{100, 106, 107, 108, 109}, {106, 107, 108, 109}, 109},   // 6 ms starts a new one
        {{100, 101, 102, 50, 51, 52, 53}, {50, 51, 52, 53}, 53},  // backwards is far away
        {{10, 20, 30, 40, 41, 42, 43}, {40, 41, 42, 43}, 43},
    };
    for (const auto& row : rows) {
        Kit::reset();
        auto sensor = opened();
        sensor->subFrameCount = 4;
        for (uint64_t t : row.stamps)
            Kit::script().images.push_back(image(t, static_cast<uint16_t>(t)));
        ASSERT_EQ(sensor->start(), 0);
        std::vector<uint8_t> data(4 * 16, 0);
        uint64_t ts = 0;
        ASSERT_EQ(sensor->getFrame(data.data(), &ts), 0);
        EXPECT_EQ(Kit::script().count("ZentroxCaptureImage"), static_cast<int>(row.stamps.size()));
        for (int k = 0; k < 4; ++k) {
            for (int s = 0; s < 8; ++s)
                ASSERT_EQ(sampleAt(data, 8 * k + s), row.inFrame[k]) << k;
        }
        EXPECT_EQ(ts, row.timestamp);
        EXPECT_EQ(Kit::script().lentImages, 0);
        sensor->close();
    }
}

using Writes = std::vector<std::pair<uint32_t, uint32_t>>;
const Writes kTable2000 = {{0x216C, 0x08}, {0x2179, 0x0A}, {0x217A, 0x0E}, {0x217B, 0x12}};
const Writes kTable4000 = {{0x216C, 0x10}, {0x2179, 0x0E}, {0x217A, 0x16}, {0x217B, 0x1E}};

Writes concat(Writes a, const Writes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Only 2000 and 4000 select a register table; any other value would leave the module modulating at
// a frequency nobody decodes with. A table the kit refuses part-way is followed by the last table
// that was applied, so the module is put back where it was.
TEST_F(UsbTransport, RangeWritesATableOnlyFor2000And4000AndUndoesAFailedOne) {
    const struct {
        int before;  // applied first (0: nothing)
        int range;
        std::deque<int> results;  // of the writes made for `range`
        int status;
        Writes writes;  // those made for `range`, restoring ones included
    } rows[] = {
        {0, 2000, {}, 0, kTable2000},
        {0, 4000, {}, 0, kTable4000},
        {2000, 3000, {}, 1, {}},
        {4000, INT_MIN, {}, 1, {}},
        {2000, 4000, {ZENTROX_EVK_ERROR}, -1, concat({kTable4000[0]}, kTable2000)},
        {4000,
         2000,
         {0, 0, ZENTROX_EVK_INVALID_ARGUMENT},
         -1,
         concat(Writes(&kTable2000[0], &kTable2000[3]), kTable4000)},
        {0, 2000, {0, ZENTROX_EVK_ERROR}, -1, {kTable2000[0], kTable2000[1]}},  // nothing to go back to
    };
    for (const auto& row : rows) {
        const std::string where = std::to_string(row.before) + " -> " + std::to_string(row.range);
        Kit::reset();
        auto sensor = opened();
        if (row.before != 0) {
            ASSERT_EQ(sensor->setControl(CameraCtrl::RANGE, row.before), 0) << where;
        }
        Kit::script().registerWrites.clear();
        Kit::script().registerWriteResults = row.results;
        EXPECT_EQ(sensor->setControl(CameraCtrl::RANGE, row.range), row.status) << where;
        EXPECT_EQ(Kit::script().registerWrites, row.writes) << where;
        for (const auto& call : Kit::script().calls) {
            if (call.name == "ZentroxWriteSensorReg") {
                EXPECT_EQ(call.args[0], reinterpret_cast<uintptr_t>(Kit::handle()));
            }
        }
        sensor->close();
    }
    // Without a kit nothing can be written, and that is not a success.
    Kit::reset();
    auto sensor = opened();
    sensor->close();
    EXPECT_EQ(sensor->setControl(CameraCtrl::RANGE, 2000), -1);
    EXPECT_EQ(Kit::script().count("ZentroxWriteSensorReg"), 0);
}

TEST_F(UsbTransport, OtherControlsAreRefusedAndNoneIsRead) {
    auto sensor = opened();
    const size_t before = Kit::script().calls.size();
    for (CameraCtrl ctrl :
         {CameraCtrl::FMT_WIDTH, CameraCtrl::FMT_HEIGHT, CameraCtrl::MODE, CameraCtrl::FRAME_MODE,
          CameraCtrl::EXPOSURE, CameraCtrl::FRAME_RATE, CameraCtrl::SKIP_FRAME}) {
        EXPECT_EQ(sensor->setControl(ctrl, 2000), 1);
    }
    for (CameraCtrl ctrl :
         {CameraCtrl::RANGE, CameraCtrl::EXPOSURE, CameraCtrl::MODE, CameraCtrl::FRAME_RATE}) {
        int value = 1234;
        EXPECT_EQ(sensor->getControl(ctrl, &value), 4);
        EXPECT_EQ(value, 1234);
    }
    EXPECT_EQ(Kit::script().calls.size(), before);  // the kit is not asked
    sensor->close();
}

TEST_F(UsbTransport, StartStopAndCloseTwice) {
    auto sensor = opened();
    EXPECT_EQ(sensor->start(), 0);
    EXPECT_EQ(sensor->start(), -1);  // already started
    EXPECT_EQ(Kit::script().count("ZentroxStartCamera"), 1);
    EXPECT_EQ(sensor->stop(), 0);
    EXPECT_EQ(sensor->stop(), 0);  // accepted in any state, always asks the kit
    EXPECT_EQ(Kit::script().count("ZentroxStopCamera"), 2);
    EXPECT_EQ(sensor->start(), 0);
    EXPECT_EQ(sensor->stop(), 0);
    EXPECT_EQ(sensor->close(), 0);
    EXPECT_EQ(sensor->close(), 0);
    EXPECT_EQ(Kit::script().count("ZentroxCloseCamera"), 1);
    EXPECT_EQ(Kit::script().openHandles, 0);
}

TEST_F(UsbTransport, AFailedStartKeepsTheStartedFlagUntilStop) {
    auto sensor = opened();
    Kit::script().startResult = ZENTROX_EVK_ERROR;
    EXPECT_EQ(sensor->start(), -1);
    EXPECT_EQ(sensor->start(), -1);
    EXPECT_EQ(Kit::script().count("ZentroxStartCamera"), 1);
    EXPECT_EQ(sensor->stop(), 0);
    Kit::script().startResult = ZENTROX_EVK_OK;
    EXPECT_EQ(sensor->start(), 0);
    sensor->close();
}

TEST_F(UsbTransport, FailedOpenOrInitReportsMinusOneAndLeavesNothingOpen) {
    for (bool initFails : {false, true}) {
        Kit::reset();
        if (initFails) {
            Kit::script().initResult = ZENTROX_EVK_ERROR;
        } else {
            Kit::script().openResult = ZENTROX_EVK_CONFIG_ERROR;
        }
        ZentroxTOFUSBSensor sensor("cfg.json", 0);
        CameraInfo info{};
        info.width = 77;
        info.bpp = 9;
        EXPECT_EQ(sensor.open(info), -1);
        EXPECT_EQ(info.width, 77u);  // no camera information written
        EXPECT_EQ(info.bpp, 9u);
        EXPECT_EQ(Kit::script().count("ZentroxGetCameraConfig"), 0);
        EXPECT_EQ(Kit::script().openHandles, 0) << (initFails ? "init" : "open");
        EXPECT_EQ(sensor.close(), 0);
        EXPECT_EQ(Kit::script().openHandles, 0);
    }
}

TEST_F(UsbTransport, ReopeningAndDestroyingReleaseTheKit) {
    {
        auto sensor = opened();
        CameraInfo info{};
        ASSERT_EQ(sensor->open(info), 0);
        EXPECT_EQ(Kit::script().openHandles, 1);  // the first kit was closed before the second opened
        EXPECT_EQ(Kit::script().count("ZentroxCloseCamera"), 1);
    }
    EXPECT_EQ(Kit::script().openHandles, 0);  // destroyed while open: closed once
    EXPECT_EQ(Kit::script().count("ZentroxCloseCamera"), 2);
}

TEST_F(UsbTransport, GetFrameWithoutStartFailsWithoutCapturing) {
    auto sensor = opened();
    sensor->subFrameCount = 4;
    std::vector<uint8_t> data(64, 0xEE);
    uint64_t ts = 777;
    EXPECT_EQ(sensor->getFrame(data.data(), &ts), -1);
    EXPECT_EQ(ts, 777u);
    EXPECT_EQ(Kit::script().count("ZentroxCaptureImage"), 0);
    EXPECT_EQ(data, std::vector<uint8_t>(64, 0xEE));
    sensor->close();
}

TEST_F(UsbTransport, ACaptureFailureFailsTheFrame) {
    for (int failing : {0, 2, 3}) {
        Kit::reset();
        auto sensor = opened();
        sensor->subFrameCount = 4;
        for (int k = 0; k < 4; ++k) {
            Kit::ScriptedImage img = image(200 + k, static_cast<uint16_t>(k + 1));
            if (k == failing) img.result = ZENTROX_EVK_TIMEOUT;
            Kit::script().images.push_back(img);
        }
        ASSERT_EQ(sensor->start(), 0);
        std::vector<uint8_t> data(64, 0);
        uint64_t ts = 777;
        EXPECT_EQ(sensor->getFrame(data.data(), &ts), -1) << failing;
        EXPECT_EQ(Kit::script().count("ZentroxCaptureImage"), failing + 1);
        EXPECT_EQ(ts, failing == 0 ? 0u : 200u + failing - 1);  // the last image taken, 0 for none
        EXPECT_EQ(Kit::script().lentImages, 0);
        sensor->close();
    }
    // A kit that never delivers: one time-out, then the frame is given up.
    Kit::reset();
    auto sensor = opened();
    sensor->subFrameCount = 4;
    ASSERT_EQ(sensor->start(), 0);
    std::vector<uint8_t> data(64, 0);
    uint64_t ts = 1;
    EXPECT_EQ(sensor->getFrame(data.data(), &ts), -1);
    EXPECT_EQ(Kit::script().count("ZentroxCaptureImage"), 1);
    EXPECT_EQ(ts, 0u);
    sensor->close();
}

TEST_F(UsbTransport, AnImageOfTheWrongSizeIsReleasedAndFailsTheFrame) {
    auto sensor = opened();
    sensor->subFrameCount = 4;
    Kit::script().images.push_back(image(10, 0x111));
    Kit::script().images.push_back(image(11, 0x222));
    Kit::ScriptedImage shortImage = image(12, 0x333);
    shortImage.data_size = 15;
    Kit::script().images.push_back(shortImage);
    Kit::script().images.push_back(image(13, 0x444));
    ASSERT_EQ(sensor->start(), 0);
    std::vector<uint8_t> data(64, 0);
    uint64_t ts = 0;
    EXPECT_EQ(sensor->getFrame(data.data(), &ts), -1);
    EXPECT_EQ(Kit::script().count("ZentroxCaptureImage"), 3);
    EXPECT_EQ(Kit::script().count("ZentroxFreeImage"), 3);
    EXPECT_EQ(Kit::script().lentImages, 0);
    EXPECT_EQ(sampleAt(data, 0), 0x111);  // what came before stays
    EXPECT_EQ(sampleAt(data, 8), 0x222);
    EXPECT_EQ(sampleAt(data, 16), 0);
    EXPECT_EQ(ts, 11u);
    sensor->close();
}

// The timestamp output is optional: a caller that does not want it passes null, on every path.
TEST_F(UsbTransport, GetFrameWithoutATimestampOutput) {
    enum class Case { WHOLE_FRAME, CAPTURE_FAILS, WRONG_SIZE };
    for (Case c : {Case::WHOLE_FRAME, Case::CAPTURE_FAILS, Case::WRONG_SIZE}) {
        Kit::reset();
        auto sensor = opened();
        sensor->subFrameCount = 2;
        Kit::script().images.push_back(image(40, 0x123));
        Kit::ScriptedImage second = image(41, 0x456);
        if (c == Case::CAPTURE_FAILS) second.result = ZENTROX_EVK_TIMEOUT;
        if (c == Case::WRONG_SIZE) second.data_size = 3;
        Kit::script().images.push_back(second);
        ASSERT_EQ(sensor->start(), 0);
        std::vector<uint8_t> data(32, 0);
        EXPECT_EQ(sensor->getFrame(data.data(), nullptr), c == Case::WHOLE_FRAME ? 0 : -1) << int(c);
        EXPECT_EQ(sampleAt(data, 0), 0x123) << int(c);
        EXPECT_EQ(sampleAt(data, 8), c == Case::WHOLE_FRAME ? 0x456 : 0) << int(c);
        EXPECT_EQ(Kit::script().lentImages, 0);
        sensor->close();
    }
}

}  // namespace
