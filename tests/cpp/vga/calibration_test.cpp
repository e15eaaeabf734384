// Where the VGA device finds calibration data: module memory over the CSI side channel, else
// "cali.bin"; and that the file's mapping lives exactly as long as the SDK may read it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <functional>

#include "tests/cpp/vga/VgaTestSupport.h"
#include "tests/fakes/TempWorkDir.h"

using namespace Zentrox;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

// Frames are rendered with a phase offset of 0.6 rad (120 mm at 120 MHz). Module memory holds a blob
// correcting all of it, "cali.bin" one correcting half, so the depth error tells the source apart.
constexpr float kOffset = 0.6f;
constexpr float kWallMm = 1000.0f;
const double kFullErrorMm = kOffset / (2 * si4c::kPi) * 1250.0;

enum class Source { MODULE, FILE, NONE };

const char* name(Source s) {
    return s == Source::MODULE ? "module" : s == Source::FILE ? "cali.bin" : "none";
}

Source sourceUsed(ZentroxDeviceVGA& device) {
    VgaScene scene(320, 240, true, kWallMm);
    si4c::RenderParams params;
    params.phase_offset_rad[0] = kOffset;
    DepthPlanes out(scene.pixels());
    EXPECT_TRUE(convert(device, scene.render(params), out));
    const double error = meanDepth(out) - kWallMm;
    if (std::fabs(error) < 0.1 * kFullErrorMm) return Source::MODULE;
    if (std::fabs(error - 0.5 * kFullErrorMm) < 0.1 * kFullErrorMm) return Source::FILE;
    EXPECT_NEAR(error, kFullErrorMm, 0.1 * kFullErrorMm) << "none of the three outcomes";
    return Source::NONE;
}

struct Fixture {
    Fixture() {
        device.setControl(CameraCtrl::FMT_WIDTH, 320);
        device.setControl(CameraCtrl::FMT_HEIGHT, 240);
    }
    TempWorkDir dir;
    InstantSleepKernel sleeps;
    ScopedKernel seam{sleeps};
    ZentroxDeviceVGA device{0};
};

std::vector<uint8_t> moduleBlob(size_t bytes) {
    return calibrationFor(true, 640, 480, kOffset, 0.0f, 1.0f, bytes);
}
std::vector<uint8_t> fileBlob() {
    return calibrationFor(true, 320, 240, kOffset / 2);
}

std::vector<uint16_t> blockOffsets(int blocks) {
    std::vector<uint16_t> offsets;
    for (int k = 0; k < blocks; ++k)
        offsets.push_back(uint16_t(80 + 512 * k));
    return offsets;
}

}  // namespace

TEST(VgaCalibration, ModuleMemoryFirstThenCaliBin) {
    const struct {
        const char* name;
        std::function<void(ModuleMemorySensor&)> setUp;
        std::vector<uint16_t> reads;
        Source expected;
    } rows[] = {
        {"length 511", [](ModuleMemorySensor& s) { s.storeLength(511); }, {80}, Source::FILE},
        {"length 16385", [](ModuleMemorySensor& s) { s.storeLength(16385); }, {80}, Source::FILE},
        {"length 0", [](ModuleMemorySensor&) {}, {80}, Source::FILE},
        {"length 512", [](ModuleMemorySensor& s) { s.store(moduleBlob(512)); }, {80}, Source::MODULE},
        {"length 1000", [](ModuleMemorySensor& s) { s.store(moduleBlob(1000)); }, {80, 592}, Source::MODULE},
        {"length 16384", [](ModuleMemorySensor& s) { s.store(moduleBlob(16384)); }, blockOffsets(32),
         Source::MODULE},
        {"block 5 fails",
         [](ModuleMemorySensor& s) {
             s.store(moduleBlob(16384));
             s.failOffsets.insert(80 + 512 * 5);
         },
         blockOffsets(6), Source::FILE},
        {"last block fails",
         [](ModuleMemorySensor& s) {
             s.store(moduleBlob(16384));
             s.failOffsets.insert(80 + 512 * 31);
         },
         blockOffsets(32), Source::FILE},
        {"block 0 fails",
         [](ModuleMemorySensor& s) {
             s.store(moduleBlob(512));
             s.failOffsets.insert(80);
         },
         {80},
         Source::FILE},
        {"no calibration buffer",
         [](ModuleMemorySensor& s) {
             s.store(moduleBlob(512));
             s.bufferAvailable = false;
         },
         {},
         Source::FILE},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Fixture f;
        ASSERT_TRUE(writeFile("cali.bin", fileBlob()));
        ModuleMemorySensor sensor;
        row.setUp(sensor);
        ASSERT_EQ(f.device.open(&sensor), 0);
        ASSERT_EQ(f.device.start(), 0);
        EXPECT_EQ(sensor.reads, row.reads);
        EXPECT_STREQ(name(sourceUsed(f.device)), name(row.expected));
        f.device.close();
    }
}

TEST(VgaCalibration, ModuleBlockReadIntoTheTransportBuffer) {
    Fixture f;
    ModuleMemorySensor sensor;
    const std::vector<uint8_t> blob = moduleBlob(1000);
    sensor.store(blob);
    ASSERT_EQ(f.device.open(&sensor), 0);
    ASSERT_EQ(f.device.start(), 0);
    EXPECT_TRUE(std::equal(blob.begin(), blob.end(), sensor.buffer.begin()));
    f.device.close();
}

TEST(VgaCalibration, SensorWithoutModuleMemoryUsesOnlyCaliBin) {
    for (bool withFile : {true, false}) {
        SCOPED_TRACE(withFile ? "cali.bin present" : "no cali.bin");
        Fixture f;
        if (withFile) {
            ASSERT_TRUE(writeFile("cali.bin", fileBlob()));
        }
        RecordingVgaSensor usb;  // the USB transport has no module memory
        ASSERT_EQ(f.device.open(&usb), 0);
        ASSERT_EQ(f.device.start(), 0);
        EXPECT_STREQ(name(sourceUsed(f.device)), name(withFile ? Source::FILE : Source::NONE));
        f.device.close();
    }
}

TEST(VgaCalibration, EmptyOrUnmappableCaliBinMeansNoCalibration) {
    Fixture f;
    RecordingVgaSensor sensor;
    ASSERT_EQ(f.device.open(&sensor), 0);
    ASSERT_TRUE(writeFile("cali.bin", {}));
    const int before = countOpenDescriptors();
    ASSERT_EQ(f.device.start(), 0);
    EXPECT_STREQ(name(sourceUsed(f.device)), name(Source::NONE));
    EXPECT_EQ(countOpenDescriptors(), before) << "an empty file is closed again";
    ::unlink("cali.bin");
    ASSERT_EQ(::mkdir("cali.bin", 0755), 0);  // opens read-only, but is no file to map
    ASSERT_EQ(f.device.start(), 0);
    EXPECT_STREQ(name(sourceUsed(f.device)), name(Source::NONE));
    EXPECT_EQ(countOpenDescriptors(), before);
    f.device.close();
}

TEST(VgaCalibration, CorruptCaliBinIsReportedAndIgnored) {
    Fixture f;
    std::vector<uint8_t> junk(700);
    for (size_t i = 0; i < junk.size(); ++i)
        junk[i] = uint8_t(i * 37 + 11);
    ASSERT_TRUE(writeFile("cali.bin", junk));
    RecordingVgaSensor sensor;
    ASSERT_EQ(f.device.open(&sensor), 0);
    CaptureStderr();
    ASSERT_EQ(f.device.start(), 0);
    const std::string said = GetCapturedStderr();
    EXPECT_NE(said.find("calibration data ignored"), std::string::npos) << said;
    EXPECT_STREQ(name(sourceUsed(f.device)), name(Source::NONE));
    f.device.close();
}

TEST(VgaCalibration, CaliBinMappingLivesWithTheHandleAndNoLonger) {
    Fixture f;
    ASSERT_TRUE(writeFile("cali.bin", fileBlob()));
    RecordingVgaSensor sensor;
    ASSERT_EQ(f.device.open(&sensor), 0);
    const int fds = countOpenDescriptors();
    ASSERT_EQ(countCalibrationMappings(), 0);
    for (int restart = 0; restart < 5; ++restart) {
        ASSERT_EQ(f.device.start(), 0);
        EXPECT_EQ(countCalibrationMappings(), 1) << "restart " << restart;
        EXPECT_EQ(countOpenDescriptors(), fds + 1) << "restart " << restart;
        EXPECT_EQ(f.device.stop(), 0);
    }
    EXPECT_STREQ(name(sourceUsed(f.device)), name(Source::FILE));
    // A start without the file lets the previous mapping go.
    ::unlink("cali.bin");
    ASSERT_EQ(f.device.start(), 0);
    EXPECT_EQ(countCalibrationMappings(), 0);
    EXPECT_EQ(countOpenDescriptors(), fds);
    ASSERT_TRUE(writeFile("cali.bin", fileBlob()));
    ASSERT_EQ(f.device.start(), 0);
    EXPECT_EQ(countCalibrationMappings(), 1);
    f.device.close();
    EXPECT_EQ(countCalibrationMappings(), 0);
    EXPECT_EQ(countOpenDescriptors(), fds);
}

TEST(VgaCalibration, ModuleDataReplacesAnEarlierCaliBinMapping) {
    Fixture f;
    ASSERT_TRUE(writeFile("cali.bin", fileBlob()));
    ModuleMemorySensor sensor;
    sensor.failOffsets.insert(80);
    ASSERT_EQ(f.device.open(&sensor), 0);
    ASSERT_EQ(f.device.start(), 0);
    EXPECT_EQ(countCalibrationMappings(), 1);
    sensor.failOffsets.clear();
    sensor.store(moduleBlob(512));
    ASSERT_EQ(f.device.start(), 0);
    EXPECT_EQ(countCalibrationMappings(), 0);
    EXPECT_STREQ(name(sourceUsed(f.device)), name(Source::MODULE));
    f.device.close();
}
