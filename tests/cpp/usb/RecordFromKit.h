// Recordings for the end-to-end tests, made straight from the emulated kit.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "ZentroxEvkRecording.h"
#include "tests/fakes/StderrCapture.h"
#include "zentrox_evk_sdk.h"

namespace Zentrox {

// Opens the kit with the configuration file `config` and records its next `images` images into
// `recording`, as 240 x 180 12-bit images in groups of four; a fatal failure when a step fails.
inline void recordFromKit(const std::string& config, const std::string& recording, int images) {
    ZentroxOpenParam param;
    ZentroxDefaultParam(&param);
    param.path = config.c_str();
    ZentroxHandle kit = nullptr;
    StderrCapture quiet;
    ASSERT_EQ(ZentroxOpenCamera(&kit, &param), 0);
    ASSERT_EQ(ZentroxInitCamera(kit), 0);
    ASSERT_EQ(ZentroxStartCamera(kit), 0);
    RecordingWriter writer;
    ASSERT_TRUE(writer.open(recording, 240, 180, 12, 4)) << writer.error();
    for (int i = 0; i < images; ++i) {
        ZentroxImage image;
        ASSERT_EQ(ZentroxCaptureImage(kit, &image, 2000), 0);
        ASSERT_TRUE(writer.append(image.timestamp, image.data, image.data_size)) << writer.error();
        ZentroxFreeImage(kit, image);
    }
    ASSERT_TRUE(writer.finish());
    ZentroxCloseCamera(kit);
}

}  // namespace Zentrox
