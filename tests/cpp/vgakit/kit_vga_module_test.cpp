// The emulated kit's VGA module: which configurations select it, the geometry it reports and the raw
// images it delivers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EvkConfig.h"
#include "VgaRenderer.h"
#include "si4c_format.h"
#include "tests/fakes/StderrCapture.h"
#include "tests/fakes/TempWorkDir.h"
#include "zentrox_evk_sdk.h"

using namespace Zentrox;

namespace {

struct OpenKit {
    explicit OpenKit(const std::string& path) {
        ZentroxOpenParam param;
        ZentroxDefaultParam(&param);
        param.path = path.c_str();
        StderrCapture capture;
        result = ZentroxOpenCamera(&handle, &param);
        said = capture.text();
    }
    ~OpenKit() {
        if (handle) ZentroxCloseCamera(handle);
    }
    ZentroxCameraConfig config() {
        ZentroxCameraConfig c{};
        ZentroxGetCameraConfig(handle, &c);
        return c;
    }
    ZentroxHandle handle = nullptr;
    int result = -1;
    std::string said;
};

}  // namespace

TEST(KitVgaConfig, SelectsSizeAndFrequencyMode) {
    const struct {
        const char* text;
        uint32_t width, height;
        bool single;
        double offset0, offset1;
    } rows[] = {
        {R"({"module": "vga"})", 640, 480, true, 0, 0},
        {R"({"module": "vga", "width": 320, "height": 240})", 320, 240, true, 0, 0},
        {R"({"module": "vga", "frequency_mode": "double"})", 640, 480, false, 0, 0},
        {R"({"module": "vga", "width": 640, "height": 480, "frequency_mode": "single", "phase_offsets": [0.5]})",
         640, 480, true, 0.5, 0},
        {R"({"module": "vga", "frequency_mode": "double", "phase_offsets": [-0.25, 1.5], "bit_width": 12})",
         640, 480, false, -0.25, 1.5},
    };
    for (const auto& r : rows) {
        EvkConfig config;
        std::string error;
        ASSERT_TRUE(parseEvkConfig(r.text, config, error)) << r.text << ": " << error;
        EXPECT_EQ(config.module, "vga");
        EXPECT_EQ(config.width, r.width) << r.text;
        EXPECT_EQ(config.height, r.height) << r.text;
        EXPECT_EQ(config.single_frequency, r.single) << r.text;
        EXPECT_EQ(config.phase_offsets[0], r.offset0) << r.text;
        EXPECT_EQ(config.phase_offsets[1], r.offset1) << r.text;
        EXPECT_EQ(vgaRawHeight(config), (r.height + 1) * (r.single ? 5 : 10));
    }
}

TEST(KitVgaConfig, RefusesWhatTheModuleCannotBe) {
    const struct {
        const char* text;
        const char* names;  // part of the error text
    } rows[] = {
        {R"({"module": "vga", "width": 800, "height": 600})", "640 x 480 or 320 x 240"},
        {R"({"module": "vga", "width": 640, "height": 240})", "640 x 480 or 320 x 240"},
        {R"({"module": "vga", "width": 320})", "640 x 480 or 320 x 240"},
        {R"({"module": "vga", "bit_width": 10})", "must be 12"},
        {R"({"module": "vga", "frequency_mode": "triple"})", "\"single\" or \"double\""},
        {R"({"module": "vga", "frequency_mode": 1})", "\"single\" or \"double\""},
        {R"({"module": "vga", "phase_offsets": []})", "one or two numbers"},
        {R"({"module": "vga", "phase_offsets": [0.1, 0.2, 0.3]})", "one or two numbers"},
        {R"({"module": "vga", "phase_offsets": ["x"]})", "must be a number"},
        {R"({"module": "vga", "phase_offsets": [7.0]})", "must lie between"},
        {R"({"frequency_mode": "double"})", "\"vga\" module only"},
        {R"({"module": "hqvga", "phase_offsets": [0.1]})", "\"vga\" module only"},
        {R"({"module": "qvga"})", "\"hqvga\" or \"vga\""},
    };
    for (const auto& r : rows) {
        EvkConfig config;
        std::string error;
        EXPECT_FALSE(parseEvkConfig(r.text, config, error)) << r.text;
        EXPECT_NE(error.find(r.names), std::string::npos) << r.text << ": " << error;
        EXPECT_EQ(config.module, "hqvga") << "a refused text leaves the configuration alone";
    }
}

TEST(KitVgaImages, GeometryAndRawLayoutOfBothModes) {
    TempWorkDir dir;
    for (bool single : {true, false}) {
        SCOPED_TRACE(single ? "single" : "double");
        const std::string path = dir.path() + "/kit.json";
        ASSERT_TRUE(dir.write("kit.json", std::string(R"({"module": "vga", "width": 320, "height": 240, )") +
                                              R"("frame_rate": 0, "noise": 0, "frequency_mode": ")" +
                                              (single ? "single" : "double") + "\"}"));
        OpenKit kit(path);
        ASSERT_EQ(kit.result, 0) << kit.said;
        EXPECT_NE(kit.said.find("vga module"), std::string::npos) << kit.said;
        const uint32_t rawHeight = single ? 1205 : 2410;
        EXPECT_EQ(kit.config().height, rawHeight) << "before init";
        ASSERT_EQ(ZentroxInitCamera(kit.handle), 0);
        const ZentroxCameraConfig c = kit.config();
        EXPECT_EQ(c.width, 320u);
        EXPECT_EQ(c.height, rawHeight);
        EXPECT_EQ(c.bit_width, 12);
        EXPECT_EQ(c.images_per_frame, 1);
        ASSERT_EQ(ZentroxStartCamera(kit.handle), 0);
        const si4c::RawLayout layout{320, 240, single};
        for (uint32_t frame = 0; frame < 3; ++frame) {
            ZentroxImage image{};
            ASSERT_EQ(ZentroxCaptureImage(kit.handle, &image, 2000), 0);
            EXPECT_EQ(image.width, 320u);
            EXPECT_EQ(image.height, rawHeight);
            ASSERT_EQ(image.data_size, layout.bytes());
            std::vector<uint16_t> words(layout.samples());
            for (size_t i = 0; i < words.size(); ++i)
                words[i] = uint16_t(image.data[2 * i] | image.data[2 * i + 1] << 8);
            for (int block = 0; block < layout.blocks(); ++block) {
                uint32_t counter = 99;
                EXPECT_TRUE(
                    si4c::checkMetadata(&words[layout.metadataOffset(block)], layout, block, &counter))
                    << "block " << block;
                EXPECT_EQ(counter, frame);
            }
            for (size_t i = 0; i < words.size(); ++i)
                ASSERT_LE(words[i], 0xFFF) << i;
            ZentroxFreeImage(kit.handle, image);
        }
        ZentroxStopCamera(kit.handle);
    }
}
