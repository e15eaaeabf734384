// The emulated kit's states, handles, image buffers, threads and injected faults.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "tests/cpp/evk/KitTestSupport.h"

using namespace Zentrox;
using namespace Zentrox::KitTest;

namespace {

TEST(KitLifecycle, DefaultParameters) {
    ZentroxOpenParam param;
    std::memset(&param, 0xA5, sizeof param);
    ASSERT_EQ(ZentroxDefaultParam(&param), ZENTROX_EVK_OK);
    EXPECT_EQ(param.path, nullptr);
    EXPECT_EQ(param.is_bin, 0);
    EXPECT_EQ(param.version, ZENTROX_EVK_PARAM_VERSION);
    EXPECT_EQ(param.device_index, 0u);
    for (uint8_t b : param.reserved)
        EXPECT_EQ(b, 0);
    EXPECT_EQ(ZentroxDefaultParam(nullptr), ZENTROX_EVK_INVALID_ARGUMENT);
}

TEST(KitLifecycle, OpenRefusesWhatItCannotUse) {
    ZentroxHandle handle = reinterpret_cast<ZentroxHandle>(0x1);
    ZentroxOpenParam param;
    ZentroxDefaultParam(&param);
    EXPECT_EQ(ZentroxOpenCamera(nullptr, &param), ZENTROX_EVK_INVALID_ARGUMENT);
    EXPECT_EQ(ZentroxOpenCamera(&handle, nullptr), ZENTROX_EVK_INVALID_ARGUMENT);
    EXPECT_EQ(handle, nullptr);

    const struct {
        const char* name;
        uint32_t version;
        uint32_t index;
        uint8_t isBin;
        int result;
        const char* message;
    } rows[] = {
        {"parameters not from ZentroxDefaultParam", 0, 0, 0, ZENTROX_EVK_INVALID_ARGUMENT,
         "ZentroxDefaultParam"},
        {"a second kit", ZENTROX_EVK_PARAM_VERSION, 1, 0, ZENTROX_EVK_ERROR, "index 1"},
        {"a recording without a path", ZENTROX_EVK_PARAM_VERSION, 0, 1, ZENTROX_EVK_INVALID_ARGUMENT,
         "without a path"},
    };
    for (const auto& row : rows) {
        ZentroxDefaultParam(&param);
        param.version = row.version;
        param.device_index = row.index;
        param.is_bin = row.isBin;
        handle = reinterpret_cast<ZentroxHandle>(0x1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(ZentroxOpenCamera(&handle, &param), row.result) << row.name;
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(handle, nullptr) << row.name;
        EXPECT_NE(said.find(row.message), std::string::npos) << row.name << ": " << said;
    }
}

TEST(KitLifecycle, CallsOutOfOrderAreRefused) {
    Kit kit(nullptr);
    ASSERT_EQ(kit.openResult, ZENTROX_EVK_OK);
    ZentroxImage image;
    EXPECT_EQ(ZentroxStartCamera(kit.handle), ZENTROX_EVK_BAD_STATE);  // not initialised
    EXPECT_EQ(ZentroxCaptureImage(kit.handle, &image, 0), ZENTROX_EVK_BAD_STATE);
    EXPECT_EQ(kit.config().width, 240u);  // the configuration is known from the open on
    ASSERT_EQ(ZentroxInitCamera(kit.handle), ZENTROX_EVK_OK);
    EXPECT_EQ(ZentroxInitCamera(kit.handle), ZENTROX_EVK_OK);  // once is enough, twice does no harm
    EXPECT_EQ(ZentroxCaptureImage(kit.handle, &image, 0), ZENTROX_EVK_BAD_STATE);  // not started
    ASSERT_EQ(ZentroxStartCamera(kit.handle), ZENTROX_EVK_OK);
    EXPECT_EQ(ZentroxStartCamera(kit.handle), ZENTROX_EVK_BAD_STATE);
    EXPECT_EQ(ZentroxCaptureImage(kit.handle, nullptr, 0), ZENTROX_EVK_INVALID_ARGUMENT);
    EXPECT_EQ(ZentroxGetCameraConfig(kit.handle, nullptr), ZENTROX_EVK_INVALID_ARGUMENT);
    EXPECT_EQ(ZentroxStopCamera(kit.handle), ZENTROX_EVK_OK);
    EXPECT_EQ(ZentroxStopCamera(kit.handle), ZENTROX_EVK_OK);
    EXPECT_EQ(ZentroxCaptureImage(kit.handle, &image, 0), ZENTROX_EVK_BAD_STATE);
    // Restarting begins a new stream.
    ASSERT_EQ(ZentroxStartCamera(kit.handle), ZENTROX_EVK_OK);
    ASSERT_EQ(ZentroxCaptureImage(kit.handle, &image, 2000), ZENTROX_EVK_OK);
    EXPECT_EQ(image.sequence, 0u);
    EXPECT_EQ(ZentroxFreeImage(kit.handle, image), ZENTROX_EVK_OK);

    EXPECT_EQ(ZentroxCloseCamera(kit.handle), ZENTROX_EVK_OK);
    EXPECT_EQ(ZentroxCloseCamera(kit.handle), ZENTROX_EVK_INVALID_ARGUMENT);  // closed already
    EXPECT_EQ(ZentroxStartCamera(kit.handle), ZENTROX_EVK_INVALID_ARGUMENT);
    EXPECT_EQ(ZentroxWriteSensorReg(kit.handle, 0x216C, 8), ZENTROX_EVK_INVALID_ARGUMENT);
    kit.handle = nullptr;
    for (ZentroxHandle bogus :
         {static_cast<ZentroxHandle>(nullptr), reinterpret_cast<ZentroxHandle>(&image)}) {
        EXPECT_EQ(ZentroxInitCamera(bogus), ZENTROX_EVK_INVALID_ARGUMENT);
        EXPECT_EQ(ZentroxStopCamera(bogus), ZENTROX_EVK_INVALID_ARGUMENT);
        EXPECT_EQ(ZentroxCloseCamera(bogus), ZENTROX_EVK_INVALID_ARGUMENT);
        EXPECT_EQ(ZentroxCaptureImage(bogus, &image, 0), ZENTROX_EVK_INVALID_ARGUMENT);
    }
}

TEST(KitLifecycle, ImageBuffersAreLentAndChecked) {
    ScratchDir dir;
    Kit kit(dir.write("fast.json", "{\"frame_rate\": 0}").c_str());
    ASSERT_TRUE(kit.stream());
    std::vector<ZentroxImage> held;
    for (int i = 0; i < 8; ++i) {
        ZentroxImage image;
        ASSERT_EQ(ZentroxCaptureImage(kit.handle, &image, 2000), ZENTROX_EVK_OK);
        held.push_back(image);
    }
    for (size_t i = 1; i < held.size(); ++i)
        EXPECT_NE(held[i].data, held[0].data);
    ZentroxImage extra;
    EXPECT_EQ(ZentroxCaptureImage(kit.handle, &extra, 2000), ZENTROX_EVK_NO_BUFFER);
    // Images stay valid across a stop until they are freed.
    EXPECT_EQ(ZentroxStopCamera(kit.handle), ZENTROX_EVK_OK);
    ZentroxImage forged = held[3];
    forged.data += 1;
    EXPECT_EQ(ZentroxFreeImage(kit.handle, forged), ZENTROX_EVK_INVALID_ARGUMENT);
    forged = held[3];
    forged.buffer = &forged;
    EXPECT_EQ(ZentroxFreeImage(kit.handle, forged), ZENTROX_EVK_INVALID_ARGUMENT);
    for (const ZentroxImage& image : held)
        EXPECT_EQ(ZentroxFreeImage(kit.handle, image), ZENTROX_EVK_OK);
    EXPECT_EQ(ZentroxFreeImage(kit.handle, held[0]), ZENTROX_EVK_INVALID_ARGUMENT);  // freed twice
    ASSERT_EQ(ZentroxStartCamera(kit.handle), ZENTROX_EVK_OK);
    EXPECT_EQ(ZentroxCaptureImage(kit.handle, &extra, 2000), ZENTROX_EVK_OK);
    EXPECT_EQ(ZentroxFreeImage(kit.handle, extra), ZENTROX_EVK_OK);
}

TEST(KitLifecycle, TimeOutWhenTheNextImageIsDueLater) {
    ScratchDir dir;
    Kit kit(dir.write("slow.json", "{\"frame_rate\": 2}").c_str());
    ASSERT_TRUE(kit.stream());
    std::vector<uint8_t> image;
    ZentroxImage first{};
    ASSERT_EQ(kit.capture(image, &first), ZENTROX_EVK_OK);
    for (int k = 1; k < 4; ++k)
        ASSERT_EQ(kit.capture(image), ZENTROX_EVK_OK);
    // The next frame is 0.5 s away: a 10 ms wait ends without it, and takes nothing from the stream.
    EXPECT_EQ(kit.capture(image, nullptr, 10), ZENTROX_EVK_TIMEOUT);
    EXPECT_EQ(kit.capture(image, nullptr, 0), ZENTROX_EVK_TIMEOUT);
    ZentroxImage next{};
    ASSERT_EQ(kit.capture(image, &next, 5000), ZENTROX_EVK_OK);
    EXPECT_EQ(next.sequence, 4u);
    EXPECT_GE(next.timestamp - first.timestamp, 500u);
}

TEST(KitLifecycle, StopAndCloseFromAnotherThreadEndAWaitingCapture) {
    ScratchDir dir;
    const std::string slow = dir.write("slow.json", "{\"frame_rate\": 0.2}");
    for (bool closing : {false, true}) {
        Kit kit(slow.c_str());
        ASSERT_TRUE(kit.stream());
        std::vector<uint8_t> image;
        for (int k = 0; k < 4; ++k)
            ASSERT_EQ(kit.capture(image), ZENTROX_EVK_OK);
        std::atomic<int> result{1};
        std::thread capturer([&] {
            ZentroxImage next{};
            result = ZentroxCaptureImage(kit.handle, &next, -1);  // the next frame is 5 s away
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (closing) {
            EXPECT_EQ(ZentroxCloseCamera(kit.handle), ZENTROX_EVK_OK);
            kit.handle = nullptr;
        } else {
            EXPECT_EQ(ZentroxStopCamera(kit.handle), ZENTROX_EVK_OK);
        }
        capturer.join();
        // Either the capture was waiting and learnt that the stream ended, or it began after the
        // close and found no kit.
        EXPECT_TRUE(result == ZENTROX_EVK_BAD_STATE || (closing && result == ZENTROX_EVK_INVALID_ARGUMENT))
            << result;
    }
}

TEST(KitLifecycle, RegisterWritesWhileCapturingOnAnotherThread) {
    ScratchDir dir;
    Kit kit(dir.write("fast.json", "{\"frame_rate\": 0, \"width\": 32, \"height\": 24}").c_str());
    ASSERT_TRUE(kit.stream());
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint32_t i = 0; !done; ++i) {
            const bool near = i % 2;
            ZentroxWriteSensorReg(kit.handle, 0x216C, near ? 0x08 : 0x10);
            ZentroxWriteSensorReg(kit.handle, 0x2179, near ? 0x0A : 0x0E);
            ZentroxWriteSensorReg(kit.handle, 0x217A, near ? 0x0E : 0x16);
            ZentroxWriteSensorReg(kit.handle, 0x217B, near ? 0x12 : 0x1E);
        }
    });
    std::vector<uint8_t> image;
    int captured = 0;
    for (int i = 0; i < 400; ++i)
        captured += kit.capture(image) == ZENTROX_EVK_OK;
    done = true;
    writer.join();
    EXPECT_EQ(captured, 400);
}

TEST(KitFaults, InjectedFaultsGiveTheirCodes) {
    ScratchDir dir;
    {
        Kit kit(dir.write("open.json", "{\"faults\": {\"fail_open\": true}}").c_str());
        EXPECT_EQ(kit.openResult, ZENTROX_EVK_ERROR);
        EXPECT_EQ(kit.handle, nullptr);
        EXPECT_NE(kit.stderrText.find("open fails"), std::string::npos) << kit.stderrText;
        EXPECT_EQ(kit.stderrText.find("emulated evaluation kit"), std::string::npos);
    }
    {
        Kit kit(dir.write("init.json", "{\"faults\": {\"fail_init\": true}}").c_str());
        ASSERT_EQ(kit.openResult, ZENTROX_EVK_OK);
        testing::internal::CaptureStderr();
        EXPECT_EQ(ZentroxInitCamera(kit.handle), ZENTROX_EVK_ERROR);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("initialisation fails"), std::string::npos);
        EXPECT_EQ(ZentroxStartCamera(kit.handle), ZENTROX_EVK_BAD_STATE);
    }
    {
        Kit kit(dir.write("start.json", "{\"faults\": {\"fail_start\": true}}").c_str());
        ASSERT_EQ(ZentroxInitCamera(kit.handle), ZENTROX_EVK_OK);
        testing::internal::CaptureStderr();
        EXPECT_EQ(ZentroxStartCamera(kit.handle), ZENTROX_EVK_ERROR);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("start fails"), std::string::npos);
        ZentroxImage image;
        EXPECT_EQ(ZentroxCaptureImage(kit.handle, &image, 0), ZENTROX_EVK_BAD_STATE);
    }
}

TEST(KitFaults, TimeOutEveryNthImageAndWrongSizeAtTheNth) {
    ScratchDir dir;
    Kit kit(dir.write("faults.json",
                      "{\"frame_rate\": 0, \"faults\": {\"timeout_every\": 3, \"wrong_size_at\": 5}}")
                .c_str());
    ASSERT_TRUE(kit.stream());
    for (int round = 0; round < 2; ++round) {  // the counts begin again with each start
        std::vector<int> results;
        std::vector<uint64_t> sequences;
        std::vector<uint32_t> sizes;
        std::vector<uint64_t> stamps;
        for (int attempt = 1; attempt <= 10; ++attempt) {
            std::vector<uint8_t> image;
            ZentroxImage record{};
            results.push_back(kit.capture(image, &record));
            if (results.back() == ZENTROX_EVK_OK) {
                sequences.push_back(record.sequence);
                sizes.push_back(record.data_size);
                stamps.push_back(record.timestamp);
            }
        }
        const std::vector<int> expected = {0, 0, ZENTROX_EVK_TIMEOUT, 0, 0, ZENTROX_EVK_TIMEOUT,
                                           0, 0, ZENTROX_EVK_TIMEOUT, 0};
        EXPECT_EQ(results, expected);
        // A lost image (2, 8, 14) or a short one (5) ends its frame: the rest of that frame is
        // dropped and the next capture takes the first image of the next frame.
        EXPECT_EQ(sequences, (std::vector<uint64_t>{0, 1, 4, 5, 12, 13, 16}));
        // Unpaced all the same, the frame after a fault begins after a pause that a host grouping
        // images by a gap of 6 ms or more sees; the images of one frame stay closer.
        ASSERT_EQ(stamps.size(), 7u);
        for (size_t i = 1; i < stamps.size(); ++i) {
            const bool newFrame = sequences[i] % 4 == 0;
            EXPECT_EQ(stamps[i] - stamps[i - 1] >= 6, newFrame) << "image " << sequences[i];
        }
        const uint32_t full = 240 * 180 * 2;
        EXPECT_EQ(sizes, (std::vector<uint32_t>{full, full, full, full - 480, full, full, full}));
        ASSERT_EQ(ZentroxStopCamera(kit.handle), ZENTROX_EVK_OK);
        ASSERT_EQ(ZentroxStartCamera(kit.handle), ZENTROX_EVK_OK);
    }
}

}  // namespace
