#include <errno.h>
#include <gtest/gtest.h>

#include <string>

#include "system/KernelSeam.h"
#include "system/Platform.h"

using namespace Zentrox;

namespace {

// A seam that knows one file: the device-tree model.
class ModelFileKernel : public LibcKernel {
public:
    explicit ModelFileKernel(std::string model, bool present = true) : model(std::move(model)), present(present) {}
    bool readFile(const char* path, std::string& content) override {
        reads.push_back(path);
        if (!present) {
            errno = ENOENT;
            return false;
        }
        content = model;
        return true;
    }
    std::string model;
    bool present;
    std::vector<std::string> reads;
};

int detectWith(const std::string& model) {
    ModelFileKernel fake(model);
    ScopedKernel installed(fake);
    return detectPlatform();
}

TEST(DetectPlatform, RuleTable) {
    using std::string;
    const struct {
        string model;
        int expected;
    } rows[] = {
        {string("NVIDIA Jetson Xavier NX Developer Kit") + '\0', Platform::JETSON},
        {string("NVIDIA Jetson Nano Xavier") + '\0', Platform::JETSON},
        {string("NVIDIA Jetson TX1") + '\0', Platform::JETSON_NANO},
        {string("NVIDIA Jetson Nano Developer Kit") + '\0', Platform::JETSON_NANO},
        {string("NVIDIA Jetson Orin Nano Developer Kit") + '\0', Platform::JETSON_NANO},
        {string("NVIDIA Jetson AGX") + '\0', Platform::JETSON},
        {string("NVIDIA Orin Developer Kit") + '\0', Platform::JETSON},
        {string("NVIDIA-Orin") + '\0', Platform::UNKNOWN},
        {string("Orin") + '\0', Platform::UNKNOWN},
        {string("Raspberry Pi 5 Model B Rev 1.0") + '\0', Platform::RASPBERRY_PI_5},
        {string("Raspberry Pi 4 Model B Rev 1.4") + '\0', Platform::RASPBERRY_PI},
        {string("Radxa ROCK 5B") + '\0', Platform::RADXA_ROCK},
        {string("Radxa rock 5B") + '\0', Platform::UNKNOWN},
        {string("jetson nano") + '\0', Platform::UNKNOWN},
        {string("Pine64 RockPro64") + '\0', Platform::UNKNOWN},
        {"", Platform::UNKNOWN},
        // Text after the property's NUL is not part of the model.
        {string("Generic board") + '\0' + "Raspberry", Platform::UNKNOWN},
        // Reading stops at a newline.
        {"Generic\nRaspberry Pi 5", Platform::UNKNOWN},
    };
    for (const auto& row : rows) EXPECT_EQ(detectWith(row.model), row.expected) << row.model;
}

TEST(DetectPlatform, OnlyTheFirst99CharactersCount) {
    std::string pad(93, 'x');
    // "Radxa ROCK" ends at character 99 or 100.
    EXPECT_EQ(detectWith(std::string(89, 'x') + "Radxa ROCK tail"), Platform::RADXA_ROCK);
    EXPECT_EQ(detectWith(std::string(90, 'x') + "Radxa ROCK tail"), Platform::UNKNOWN);
    EXPECT_EQ(detectWith(pad + "Jetson"), Platform::JETSON);  // 99 characters exactly
    EXPECT_EQ(detectWith(pad + "xJetson"), Platform::UNKNOWN);
}

TEST(DetectPlatform, MissingModelFileIsUnknownAndReadsTheDeviceTree) {
    ModelFileKernel fake("", false);
    ScopedKernel installed(fake);
    EXPECT_EQ(detectPlatform(), Platform::UNKNOWN);
    ASSERT_EQ(fake.reads.size(), 1u);
    EXPECT_EQ(fake.reads[0], "/sys/firmware/devicetree/base/model");
}

TEST(DetectPlatform, ThisMachineWithoutAFakeNeverFails) {
    int code = detectPlatform();
    EXPECT_TRUE(code == 0 || code == 2 || code == 3 || code == 5 || code == 6 || code == 7);
}

}  // namespace
