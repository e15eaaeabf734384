#include <errno.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>

#include "tests/cpp/csi/CsiRig.h"
#include "tests/fakes/StderrCapture.h"

using namespace Zentrox;

namespace {

class CsiControls : public testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        rig = std::make_unique<CsiRig>(GetParam());
        ASSERT_EQ(rig->open(), 0);
        rig->kernel.clearTrace();
    }
    std::unique_ptr<CsiRig> rig;
};

TEST_P(CsiControls, RangeMapsToTheDriverControl) {
    const struct {
        int value;
        int result;
        int control;  // -1: untouched
        int readBack;
    } rows[] = {{2, 0, 1, 2},   {4, 0, 0, 4},      {2000, 0, 1, 2}, {4000, 0, 0, 4}, {3, -1, -1, 0},
                {0, -1, -1, 0}, {3000, -1, -1, 0}, {-2, -1, -1, 0}, {20, -1, -1, 0}};
    for (const auto& row : rows) {
        rig->board.sensor->setControlValue(FakeBoard::kRangeControl, 0);
        rig->kernel.clearTrace();
        int r = rig->sensor->setControl(CameraCtrl::RANGE, row.value);
        if (row.control < 0) {
            EXPECT_EQ(r, 1) << row.value;
            EXPECT_TRUE(rig->kernel.trace().empty()) << "refused without touching the device";
            continue;
        }
        EXPECT_EQ(r, 0);
        EXPECT_EQ(rig->board.sensor->control(FakeBoard::kRangeControl), row.control);
        EXPECT_EQ(rig->count(Sys::IOCTL, VIDIOC_S_CTRL), 1u);
        int read = 0;
        EXPECT_EQ(rig->sensor->getControl(CameraCtrl::RANGE, &read), 0);
        EXPECT_EQ(read, row.readBack);
    }
    EXPECT_EQ(rig->board.module.shortRange, false);
    rig->sensor->setControl(CameraCtrl::RANGE, 2);
    EXPECT_EQ(rig->board.module.shortRange, true);
}

TEST_P(CsiControls, ExposureIsTheDriversControl) {
    EXPECT_EQ(rig->sensor->setControl(CameraCtrl::EXPOSURE, 1234), 0);
    EXPECT_EQ(rig->board.sensor->control(V4L2_CID_EXPOSURE), 1234);
    int value = 0;
    EXPECT_EQ(rig->sensor->getControl(CameraCtrl::EXPOSURE, &value), 0);
    EXPECT_EQ(value, 1234);
    StderrCapture err;
    EXPECT_EQ(rig->sensor->setControl(CameraCtrl::EXPOSURE, 999999), -1);
    EXPECT_EQ(err.text(), "VIDIOC_S_CTRL: Numerical result out of range\n");
    EXPECT_EQ(rig->board.sensor->control(V4L2_CID_EXPOSURE), 1234);
}

TEST_P(CsiControls, FailingControlCallsPrintTheirRequest) {
    const struct {
        bool set;
        CameraCtrl ctrl;
        unsigned long request;
        int error;
        const char* text;
    } rows[] = {
        {true, CameraCtrl::RANGE, VIDIOC_S_CTRL, EIO, "VIDIOC_S_CTRL: Input/output error\n"},
        {true, CameraCtrl::EXPOSURE, VIDIOC_S_CTRL, EBUSY, "VIDIOC_S_CTRL: Device or resource busy\n"},
        {false, CameraCtrl::RANGE, VIDIOC_G_CTRL, EINVAL, "VIDIOC_G_CTRL: Invalid argument\n"},
        {false, CameraCtrl::EXPOSURE, VIDIOC_G_CTRL, EIO, "VIDIOC_G_CTRL: Input/output error\n"},
        // Five interrupted attempts exhaust the retry rule.
        {false, CameraCtrl::EXPOSURE, VIDIOC_G_CTRL, EINTR, "VIDIOC_G_CTRL: Interrupted system call\n"},
    };
    for (const auto& row : rows) {
        rig->kernel.inject(Fault{Sys::IOCTL, row.request, "", row.error, 0, 5});
        int value = 77;
        StderrCapture err;
        int r = row.set ? rig->sensor->setControl(row.ctrl, 2) : rig->sensor->getControl(row.ctrl, &value);
        EXPECT_EQ(r, -1);
        EXPECT_EQ(err.text(), row.text);
        EXPECT_EQ(value, 77);
        rig->kernel.clearFaults();
    }
}

TEST_P(CsiControls, FrameRateGoesOverI2c) {
    rig->board.i2c->clearLog();
    EXPECT_EQ(rig->sensor->setControl(CameraCtrl::FRAME_RATE, 30), 0);
    ASSERT_EQ(rig->board.i2c->transfers().size(), 1u);
    const auto& t = rig->board.i2c->transfers()[0];
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].address, 0x0c);
    EXPECT_EQ(t[0].flags, 0);
    EXPECT_EQ(t[0].bytes, (std::vector<uint8_t>{0x06, 0x33, 0x00, 0x00, 0x00, 0x1E}));
    EXPECT_EQ(rig->board.controller->frameRate(), 30u);
    EXPECT_EQ(rig->sensor->setControl(CameraCtrl::FRAME_RATE, 0x01020304), 0);
    EXPECT_EQ(rig->board.i2c->transfers()[1][0].bytes,
              (std::vector<uint8_t>{0x06, 0x33, 0x01, 0x02, 0x03, 0x04}));
    int value = 0;
    rig->kernel.clearTrace();
    EXPECT_EQ(rig->sensor->getControl(CameraCtrl::FRAME_RATE, &value), 0);
    EXPECT_EQ(value, 0x01020304);
    EXPECT_TRUE(rig->kernel.trace().empty());
    // A failed transfer prints nothing and keeps the value.
    rig->kernel.inject(Fault{Sys::IOCTL, I2C_RDWR, "", EREMOTEIO, 0, 1});
    StderrCapture err;
    EXPECT_EQ(rig->sensor->setControl(CameraCtrl::FRAME_RATE, 25), -2);
    EXPECT_EQ(err.text(), "");
    rig->sensor->getControl(CameraCtrl::FRAME_RATE, &value);
    EXPECT_EQ(value, 25);
}

TEST_P(CsiControls, SizesAndUnhandledControls) {
    EXPECT_EQ(rig->sensor->setControl(CameraCtrl::FMT_HEIGHT, 720), 0);
    int value = 0;
    EXPECT_EQ(rig->sensor->getControl(CameraCtrl::FMT_HEIGHT, &value), 0);
    EXPECT_EQ(value, 720);
    EXPECT_EQ(rig->sensor->getCameraInfo().height, 720u);
    for (CameraCtrl c :
         {CameraCtrl::MODE, CameraCtrl::FRAME_MODE, CameraCtrl::SKIP_FRAME, CameraCtrl::SKIP_FRAME_LOOP,
          CameraCtrl::AUTO_FRAME_RATE, CameraCtrl::CONFIG_DIR_EXT, CameraCtrl(42)}) {
        value = 5;
        EXPECT_EQ(rig->sensor->setControl(c, 1), 1);
        EXPECT_EQ(rig->sensor->getControl(c, &value), 1);
        EXPECT_EQ(value, 5);
    }
    EXPECT_EQ(rig->count(Sys::IOCTL), 0u);
}

INSTANTIATE_TEST_SUITE_P(Boards, CsiControls, testing::ValuesIn(kAllBoards), boardName);

TEST(CsiControlsUnopened, ControlsWithoutASubdeviceFailAsTheDriverWould) {
    CsiRig rig(Platform::RASPBERRY_PI);
    StderrCapture err;
    EXPECT_EQ(rig.sensor->setControl(CameraCtrl::RANGE, 4), -1);
    int value = 0;
    EXPECT_EQ(rig.sensor->getControl(CameraCtrl::EXPOSURE, &value), -1);
    EXPECT_EQ(rig.sensor->setControl(CameraCtrl::FRAME_RATE, 30), -2);
    EXPECT_EQ(err.text(), "VIDIOC_S_CTRL: Bad file descriptor\nVIDIOC_G_CTRL: Bad file descriptor\n");
    EXPECT_EQ(rig.count(Sys::IOCTL), 0u);
}

// --- module memory ----------------------------------------------------------------------------

TEST(CsiModuleMemory, DataBlockRequestPauseAndRead) {
    CsiRig rig(Platform::RASPBERRY_PI_5);
    ASSERT_EQ(rig.open(), 0);
    auto& image = rig.board.controller->memory();
    for (size_t i = 0; i < 512; ++i)
        image[592 + i] = uint8_t(i ^ 0x5A);
    rig.board.i2c->clearLog();
    const uint64_t before = rig.kernel.clockNs();
    std::vector<uint8_t> block(512);
    ASSERT_EQ(rig.sensor->readDataBlock(592, block.data()), 0);
    for (size_t i = 0; i < 512; ++i)
        ASSERT_EQ(block[i], uint8_t(i ^ 0x5A));
    const auto& log = rig.board.i2c->transfers();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0][0].bytes, (std::vector<uint8_t>{0x06, 0x31, 0x02, 0x50, 0x02, 0x00}));
    ASSERT_EQ(log[1].size(), 2u);
    EXPECT_EQ(log[1][0].bytes, (std::vector<uint8_t>{0x06, 0x32}));
    EXPECT_EQ(log[1][1].flags, I2C_M_RD);
    EXPECT_EQ(log[1][1].bytes.size(), 512u);
    EXPECT_EQ(rig.kernel.clockNs() - before, 100000000u);
    EXPECT_EQ(rig.kernel.sleepsNs(), (std::vector<uint64_t>{100000000u}));
}

TEST(CsiModuleMemory, InterruptedPauseIsResumedWithTheRemainingTime) {
    CsiRig rig(Platform::JETSON);
    ASSERT_EQ(rig.open(), 0);
    rig.kernel.inject(Fault{Sys::NANOSLEEP, 0, "", EINTR, 0, 2});
    uint8_t block[512];
    ASSERT_EQ(rig.sensor->readDataBlock(80, block), 0);
    EXPECT_EQ(rig.kernel.sleepsNs(), (std::vector<uint64_t>{100000000u, 50000000u, 25000000u}));
    EXPECT_EQ(rig.board.controller->earlyReads(), 0);
}

TEST(CsiModuleMemory, FailedTransfersFailTheBlock) {
    for (int skip : {0, 1}) {
        CsiRig rig(Platform::RASPBERRY_PI);
        ASSERT_EQ(rig.open(), 0);
        rig.kernel.inject(Fault{Sys::IOCTL, I2C_RDWR, "", EIO, skip, 1});
        uint8_t block[512];
        StderrCapture err;
        EXPECT_EQ(rig.sensor->readDataBlock(80, block), -2);
        EXPECT_EQ(err.text(), "");
        EXPECT_EQ(rig.kernel.sleepsNs().size(), size_t(skip));  // no pause after a failed request
    }
}

TEST(CsiModuleMemory, CalibrationReadAsTheVgaDeviceDoes) {
    CsiRig rig(Platform::RASPBERRY_PI_5);
    ASSERT_EQ(rig.open(), 0);
    rig.board.i2c->clearLog();
    ZentroxTOFSensor* base = rig.sensor.get();
    auto* memory = dynamic_cast<ZentroxModuleMemory*>(base);
    ASSERT_NE(memory, nullptr);
    uint8_t* cali = memory->calibrationBuffer();
    ASSERT_NE(cali, nullptr);
    ASSERT_EQ(memory->readDataBlock(80, cali), 0);
    const int total = cali[0] | cali[1] << 8;
    ASSERT_EQ(total, 1000);
    for (int k = 1; k < (total + 511) / 512; ++k)
        ASSERT_EQ(memory->readDataBlock(uint16_t(80 + 512 * k), cali + 512 * k), 0);
    auto blob = FakeModuleController::calibrationBlob(1000);
    EXPECT_TRUE(std::equal(blob.begin(), blob.end(), cali));
    // Blocks at offsets 80 and 592.
    std::vector<std::vector<uint8_t>> requests;
    for (const auto& t : rig.board.i2c->transfers())
        if (t.size() == 1 && t[0].bytes[1] == 0x31) requests.push_back(t[0].bytes);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], (std::vector<uint8_t>{0x06, 0x31, 0x00, 0x50, 0x02, 0x00}));
    EXPECT_EQ(requests[1], (std::vector<uint8_t>{0x06, 0x31, 0x02, 0x50, 0x02, 0x00}));
    rig.sensor->close();
    EXPECT_EQ(memory->calibrationBuffer(), nullptr);
}

}  // namespace
