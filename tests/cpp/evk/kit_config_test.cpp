// The kit's configuration file: what it selects, and how a malformed one is refused.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>

#include "EvkConfig.h"
#include "tests/cpp/evk/KitTestSupport.h"

using namespace Zentrox;
using namespace Zentrox::KitTest;

namespace {

TEST(KitConfig, EveryKeyReachesTheConfiguration) {
    EvkConfig config;
    std::string error;
    ASSERT_TRUE(parseEvkConfig(R"({
        "module": "hqvga", "width": 320, "height": 240, "bit_width": 10, "frame_rate": 12.5,
        "field_of_view": 55, "amplitude": 900, "ambient": -20, "noise": 0.5, "seed": 18446744073709551615,
        "subpixels": 3,
        "scene": {
            "planes": [{"distance": 1000}, {"normal": [0, 1, 0], "distance": 500, "reflectivity": 0.25}],
            "boxes": [{"min": [1, 2, 3], "max": [4, 5, 6], "reflectivity": 1}],
            "spheres": [{"center": [7, 8, 9], "radius": 10, "reflectivity": 0}]
        },
        "faults": {"fail_open": false, "fail_init": true, "fail_start": true, "timeout_every": 7,
                   "wrong_size_at": 11}
    })",
                               config, error))
        << error;
    EXPECT_EQ(config.module, "hqvga");
    EXPECT_EQ(config.width, 320u);
    EXPECT_EQ(config.height, 240u);
    EXPECT_EQ(config.bit_width, 10u);
    EXPECT_DOUBLE_EQ(config.frame_rate, 12.5);
    EXPECT_DOUBLE_EQ(config.field_of_view, 55.0);
    EXPECT_DOUBLE_EQ(config.amplitude, 900.0);
    EXPECT_DOUBLE_EQ(config.ambient, -20.0);
    EXPECT_DOUBLE_EQ(config.noise, 0.5);
    EXPECT_EQ(config.seed, 18446744073709551615ull);
    EXPECT_EQ(config.subpixels, 3u);
    ASSERT_EQ(config.scene.planes.size(), 2u);
    EXPECT_DOUBLE_EQ(config.scene.planes[0].distance, 1000.0);
    EXPECT_FLOAT_EQ(config.scene.planes[0].reflectivity, 0.5f);  // the default
    EXPECT_DOUBLE_EQ(config.scene.planes[0].normal.z, 1.0);
    EXPECT_DOUBLE_EQ(config.scene.planes[1].normal.y, 1.0);
    EXPECT_FLOAT_EQ(config.scene.planes[1].reflectivity, 0.25f);
    ASSERT_EQ(config.scene.boxes.size(), 1u);
    EXPECT_DOUBLE_EQ(config.scene.boxes[0].min.y, 2.0);
    EXPECT_DOUBLE_EQ(config.scene.boxes[0].max.z, 6.0);
    ASSERT_EQ(config.scene.spheres.size(), 1u);
    EXPECT_DOUBLE_EQ(config.scene.spheres[0].center.x, 7.0);
    EXPECT_DOUBLE_EQ(config.scene.spheres[0].radius, 10.0);
    EXPECT_FLOAT_EQ(config.scene.spheres[0].reflectivity, 0.0f);
    EXPECT_FALSE(config.faults.fail_open);
    EXPECT_TRUE(config.faults.fail_init);
    EXPECT_TRUE(config.faults.fail_start);
    EXPECT_EQ(config.faults.timeout_every, 7u);
    EXPECT_EQ(config.faults.wrong_size_at, 11u);
}

TEST(KitConfig, AnEmptyObjectKeepsTheDefaults) {
    EvkConfig config;
    std::string error;
    ASSERT_TRUE(parseEvkConfig("{}", config, error)) << error;
    const EvkConfig defaults;
    EXPECT_EQ(config.width, 240u);
    EXPECT_EQ(config.height, 180u);
    EXPECT_EQ(config.bit_width, 12u);
    EXPECT_DOUBLE_EQ(config.frame_rate, 30.0);
    EXPECT_GT(config.noise, 0.0);  // a little noise, as a camera has
    EXPECT_EQ(config.scene.planes.size(), defaults.scene.planes.size());
    EXPECT_EQ(config.scene.boxes.size(), 1u);
    EXPECT_EQ(config.scene.spheres.size(), 1u);
    ASSERT_TRUE(parseEvkConfig(R"({"scene": "built-in"})", config, error)) << error;
    EXPECT_EQ(config.scene.spheres.size(), 1u);
    ASSERT_TRUE(parseEvkConfig(R"({"scene": {}})", config, error)) << error;
    EXPECT_TRUE(config.scene.planes.empty());
}

TEST(KitConfig, MalformedFilesFailOpenWithAClearMessage) {
    ScratchDir dir;
    const struct {
        const char* text;
        const char* message;  // part of what the kit says
    } rows[] = {
        {"", "not valid JSON"},
        {"{\"width\": 240,", "not valid JSON"},
        {"{\"width\": 240} trailing", "not valid JSON"},
        {"[1, 2]", "top level must be an object"},
        {"{\"noize\": 1}", "\"noize\" is not a known key"},
        {"{\"width\": \"240\"}", "\"width\" must be a whole number"},
        {"{\"width\": 0}", "\"width\" must lie between 1 and 4096"},
        {"{\"height\": 100000}", "\"height\" must lie between 1 and 4096"},
        {"{\"width\": 24.5}", "\"width\" must be a whole number"},
        {"{\"bit_width\": 11}", "\"bit_width\" must be 8, 10, 12 or 14"},
        {"{\"bit_width\": 16}", "\"bit_width\" must lie between 8 and 14"},
        {"{\"frame_rate\": -1}", "\"frame_rate\" must lie between 0 and 1000"},
        {"{\"frame_rate\": null}", "\"frame_rate\" must be a number, not null"},
        {"{\"noise\": true}", "\"noise\" must be a number"},
        {"{\"ambient\": 5000}", "\"ambient\" must lie between"},
        {"{\"seed\": -3}", "\"seed\" must be a whole number not below 0"},
        {"{\"module\": \"tof9000\"}", "\"module\" must name a known module type"},
        {"{\"module\": 3}", "\"module\" must name a known module type"},
        {"{\"scene\": 3}", "\"scene\" must be \"built-in\" or an object"},
        {"{\"scene\": \"office\"}", "\"scene\" must be \"built-in\" or an object"},
        {"{\"scene\": {\"walls\": []}}", "\"scene.walls\" is not a known key"},
        {"{\"scene\": {\"planes\": {}}}", "\"scene.planes\" must be an array"},
        {"{\"scene\": {\"planes\": [{}]}}", "\"scene.planes[0].distance\" is missing"},
        {"{\"scene\": {\"planes\": [3]}}", "\"scene.planes[0]\" must be an object"},
        {"{\"scene\": {\"planes\": [{\"distance\": 1, \"normal\": [0, 0, 0]}]}}",
         "normal\" must not be zero"},
        {"{\"scene\": {\"planes\": [{\"distance\": 1, \"normal\": [0, 1]}]}}", "array of three numbers"},
        {"{\"scene\": {\"planes\": [{\"distance\": 1, \"reflectivity\": 2}]}}",
         "reflectivity\" must lie between 0 and 1"},
        {"{\"scene\": {\"boxes\": [{\"min\": [0, 0, 5], \"max\": [1, 1, 1]}]}}",
         "below \"max\" on every axis"},
        {"{\"scene\": {\"boxes\": [{\"min\": [0, 0, 0]}]}}", "\"scene.boxes[0].max\" is missing"},
        {"{\"scene\": {\"spheres\": [{\"center\": [0, 0, 1], \"radius\": 0}]}}",
         "\"scene.spheres[0].radius\" must lie between"},
        {"{\"scene\": {\"spheres\": [{\"center\": [0, \"a\", 1], \"radius\": 1}]}}",
         "center[1]\" must be a number"},
        {"{\"faults\": {\"fail_open\": 1}}", "\"faults.fail_open\" must be true or false"},
        {"{\"faults\": {\"timeout_every\": -1}}", "\"faults.timeout_every\" must be a whole number"},
        {"{\"faults\": {\"crash\": true}}", "\"faults.crash\" is not a known key"},
        {"{\"subpixels\": 0}", "\"subpixels\" must lie between 1 and 8"},
        {"{\"module\": \"vga\", \"subpixels\": 2}", "\"subpixels\" applies to the \"hqvga\" module only"},
        {"{\"width\": 4096, \"height\": 4096, \"subpixels\": 2}", "more than 16777216"},
    };
    for (const auto& row : rows) {
        const std::string path = dir.write("bad.json", row.text);
        Kit kit(path.c_str());
        EXPECT_EQ(kit.openResult, ZENTROX_EVK_CONFIG_ERROR) << row.text;
        EXPECT_EQ(kit.handle, nullptr) << row.text;
        EXPECT_NE(kit.stderrText.find("zentrox_evk_sdk: configuration file \"" + path + "\""),
                  std::string::npos)
            << kit.stderrText;
        EXPECT_NE(kit.stderrText.find(row.message), std::string::npos)
            << row.text << " -> " << kit.stderrText;
        EXPECT_EQ(kit.stderrText.find("emulated evaluation kit"), std::string::npos);
    }
    // Files that cannot be read at all.
    for (const std::string& path : {dir.path + "/missing.json", dir.path, std::string("/dev/zero")}) {
        Kit kit(path.c_str());
        EXPECT_EQ(kit.openResult, ZENTROX_EVK_CONFIG_ERROR) << path;
        EXPECT_NE(kit.stderrText.find("configuration file \"" + path + "\""), std::string::npos)
            << kit.stderrText;
    }
}

// Runs `call` on a thread with a 1 MiB stack, as small as a thread of a small board may have.
void onSmallStack(std::function<void()> call) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 1 << 20);
    pthread_t thread;
    auto run = [](void* f) -> void* { return (*static_cast<std::function<void()>*>(f))(), nullptr; };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, &call), 0);
    pthread_join(thread, nullptr);
}

// Values nested tens of thousands deep (which once overflowed the stack while the message quoted
// them whole) or megabytes long; a scene of more objects than the kit's pixels allow.
TEST(KitConfig, DeepHugeOrCostlyValuesAreRefusedWithAShortMessage) {
    ScratchDir dir;
    const std::string deep = std::string(60000, '[') + std::string(60000, ']');
    std::string objects;
    for (int i = 0; i < 20000; ++i)
        objects += "{\"a\": ";
    objects += "1" + std::string(20000, '}');
    const std::string longText = "\"" + std::string(1 << 20, 'x') + "\"";
    auto planes = [](const char* size, int count) {
        std::string text = std::string("{") + size + "\"scene\": {\"planes\": [";
        for (int i = 0; i < count; ++i)
            text += std::string(i ? ", " : "") + "{\"distance\": " + std::to_string(1000 + i) + "}";
        return text + "]}}";
    };
    const char* const big = "\"width\": 4096, \"height\": 4096, ";
    const struct {
        std::string text;
        const char* message;  // empty: read, with every plane (not rendered here)
        int planes;
    } rows[] = {
        {"{\"width\": " + deep + "}", "nests arrays and objects more than 16 deep", 0},
        {"{\"scene\": {\"planes\": [{\"normal\": " + deep + "}]}}", "more than 16 deep", 0},
        {"{\"faults\": " + objects + "}", "more than 16 deep", 0},
        {"{\"width\": [[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]}", "more than 16 deep", 0},  // one level too many
        {"{\"width\": [[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]}", "\"width\" must be a whole number", 0},
        {"{\"module\": " + longText + "}", "(found \"xxxxxxxx", 0},
        {"{" + longText + ": 1}", "\"xxxxxxxx", 0},
        {"{\"width\": 240, " + longText + "}", "not valid JSON", 0},
        {planes("", 200000),
         "holds 200000 planes, boxes and spheres; a kit of 43200 pixels renders at most 256", 0},
        {planes("", 257), "holds 257 planes", 0},
        {planes(big, 9), "a kit of 16777216 pixels renders at most 8", 0},
        {planes("", 256), "", 256},
        {planes(big, 8), "", 8},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text.substr(0, 60));
        if (row.message[0] != '\0') {
            const std::string path = dir.write("kit.json", row.text);
            Kit kit;
            onSmallStack([&] { kit.open(path.c_str()); });
            EXPECT_EQ(kit.openResult, ZENTROX_EVK_CONFIG_ERROR);
            EXPECT_NE(kit.stderrText.find(row.message), std::string::npos) << kit.stderrText.substr(0, 400);
            EXPECT_LT(kit.stderrText.size(), 400u) << "the message quotes a short prefix only";
            continue;
        }
        EvkConfig config;
        std::string error;
        ASSERT_TRUE(parseEvkConfig(row.text, config, error)) << error;
        ASSERT_EQ(config.scene.planes.size(), size_t(row.planes));
        EXPECT_EQ(config.scene.planes.back().distance, 1000.0 + row.planes - 1);
    }
}

TEST(KitConfig, AnEmptyPathMeansNoFile) {
    Kit kit("");
    ASSERT_EQ(kit.openResult, ZENTROX_EVK_OK);
    EXPECT_NE(kit.stderrText.find("built-in scene"), std::string::npos) << kit.stderrText;
}

}  // namespace
