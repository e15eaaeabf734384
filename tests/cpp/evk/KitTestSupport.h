// Helpers of the kit's tests: kits opened from configuration texts and closed at the end of a test,
// and the depth that the transport and device would make of an image group. The scratch directory
// and the wall's configuration text are shared with other suites.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fakes/HqvgaPhaseDecode.h"
#include "tests/fakes/ScratchDir.h"
#include "tests/fakes/WallScene.h"
#include "zentrox_evk_sdk.h"

namespace Zentrox {
namespace KitTest {

// An opened kit, closed when the test ends.
struct Kit {
    ZentroxHandle handle = nullptr;
    int openResult = ZENTROX_EVK_ERROR;
    std::string stderrText;

    Kit() = default;
    // Opens with `path` (nullptr: no file), capturing what the kit says on standard error.
    explicit Kit(const char* path, bool recording = false) { open(path, recording); }
    ~Kit() {
        if (handle) ZentroxCloseCamera(handle);
    }
    Kit(const Kit&) = delete;
    Kit& operator=(const Kit&) = delete;

    int open(const char* path, bool recording = false) {
        ZentroxOpenParam param;
        ZentroxDefaultParam(&param);
        param.path = path;
        param.is_bin = recording ? 1 : 0;
        testing::internal::CaptureStderr();
        openResult = ZentroxOpenCamera(&handle, &param);
        stderrText = testing::internal::GetCapturedStderr();
        return openResult;
    }
    // Open, init and start; false if any step failed.
    bool stream() {
        return openResult == ZENTROX_EVK_OK && ZentroxInitCamera(handle) == ZENTROX_EVK_OK &&
               ZentroxStartCamera(handle) == ZENTROX_EVK_OK;
    }
    ZentroxCameraConfig config() {
        ZentroxCameraConfig c{};
        ZentroxGetCameraConfig(handle, &c);
        return c;
    }
    // Captures one image and copies it out; the capture's result.
    int capture(std::vector<uint8_t>& bytes, ZentroxImage* record = nullptr, int32_t timeout = 2000) {
        ZentroxImage image;
        const int result = ZentroxCaptureImage(handle, &image, timeout);
        if (result != ZENTROX_EVK_OK) return result;
        bytes.assign(image.data, image.data + image.data_size);
        if (record) *record = image;
        ZentroxFreeImage(handle, image);
        return result;
    }
    // The next four images as one group.
    std::vector<std::vector<uint8_t>> group(std::vector<ZentroxImage>* records = nullptr) {
        std::vector<std::vector<uint8_t>> images(4);
        for (auto& image : images) {
            ZentroxImage record{};
            EXPECT_EQ(capture(image, &record), ZENTROX_EVK_OK);
            if (records) records->push_back(record);
        }
        return images;
    }
};

// Depth (mm) of pixel i of a four-image group, as transport and device compute it.
inline double groupDepth(const std::vector<std::vector<uint8_t>>& images, size_t i, unsigned bits,
                         int range) {
    int32_t p[4];
    for (int k = 0; k < 4; ++k) {
        p[k] = Reference::decodeSample(
            Reference::normaliseTo12(Reference::wordAt(images[k].data(), i, bits), bits));
    }
    return Reference::pixelDepth(p, range).depth;
}

}  // namespace KitTest
}  // namespace Zentrox
