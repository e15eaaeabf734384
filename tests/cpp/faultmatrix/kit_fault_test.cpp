// Faults of the emulated USB kit, injected through its configuration file: failing open, init and
// start, capture time-outs and images of the wrong size. Each gives its documented status, leaks
// no descriptor or mapping of the process, and a later close and open of a sound kit streams again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "CameraTestAccess.h"
#include "ProcessResources.h"
#include "ZentroxDeviceHQVGA.h"
#include "ZentroxTOFCamera.h"
#include "ZentroxTOFUSBSensor.h"

using namespace Zentrox;

namespace {

struct KitFile {
    std::string path;
    explicit KitFile(const std::string& json) {
        path = "/tmp/zentrox-kit-fault-" + std::to_string(getpid()) + ".json";
        std::ofstream(path) << json;
    }
    ~KitFile() { std::remove(path.c_str()); }
};

// Opens the camera on the kit described by `json`, as openWithFile does.
int openKit(ZentroxTOFCamera& cam, const std::string& path) {
#ifdef ZENTROX_HAS_CAMERA_OPEN
    return cam.openWithFile(path.c_str(), 0);
#else
    auto sensor = std::make_unique<ZentroxTOFUSBSensor>(path, 0);
    CameraInfo probe{};
    const int result = sensor->open(probe);
    sensor->close();
    if (result != 0) return result;
    auto installed = std::make_unique<ZentroxTOFUSBSensor>(path, 0);
    installed->subFrameCount = 4;
    CameraTestAccess::install(cam, std::move(installed), std::make_unique<ZentroxDeviceHQVGA>(0));
    return 0;
#endif
}

const char* const kSound = R"({"frame_rate": 0, "noise": 0})";

void expectStreams(ZentroxTOFCamera& cam, const char* what) {
    KitFile sound(kSound);
    cam.close();
    ASSERT_EQ(openKit(cam, sound.path), 0) << what;
    ASSERT_EQ(cam.start(FrameType::DEPTH), 0) << what;
    ZentroxFrameBuffer* frame = cam.requestFrame(5000);
    ASSERT_NE(frame, nullptr) << what;
    EXPECT_EQ(cam.releaseFrame(frame), 0);
    EXPECT_EQ(cam.stop(), 0);
    EXPECT_EQ(cam.close(), 0);
}

TEST(KitFaults, FailingCallsGiveTheirStatusAndTheCameraComesBack) {
    struct Case {
        const char* what;
        const char* json;
        int openStatus;   // of the open
        int startStatus;  // of the start, when the open succeeded
    };
    const Case cases[] = {
        {"open fails", R"({"frame_rate": 0, "faults": {"fail_open": true}})", -1, 0},
        {"init fails", R"({"frame_rate": 0, "faults": {"fail_init": true}})", -1, 0},
        {"start fails", R"({"frame_rate": 0, "faults": {"fail_start": true}})", 0, -1},
    };
    int injected = 0;
    {
        ZentroxTOFCamera warm;
        expectStreams(warm, "warm-up");
    }
    const ProcessResources before = ProcessResources::now();
    for (int round = 0; round < 10; ++round) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            KitFile file(c.json);
            ZentroxTOFCamera cam;
            const int opened = openKit(cam, file.path);
            ++injected;
            EXPECT_EQ(opened, c.openStatus);
            if (opened == 0) {
                EXPECT_EQ(cam.start(FrameType::DEPTH), c.startStatus);
            }
            expectStreams(cam, c.what);
        }
    }
    const ProcessResources after = ProcessResources::now();
    printResources("kit faults", before, after);
    std::printf("kit faults: %d open/init/start faults injected\n", injected);
    EXPECT_EQ(after.descriptors, before.descriptors);
    if (kPlainAllocator) {
        EXPECT_LE(after.mappings, before.mappings);
    }
}

TEST(KitFaults, TimeOutsAndWrongSizesLoseFramesOnly) {
    struct Case {
        const char* what;
        const char* json;
    };
    const Case cases[] = {
        {"every fifth image times out", R"({"frame_rate": 0, "faults": {"timeout_every": 5}})"},
        {"the fifth image has a wrong size", R"({"frame_rate": 0, "faults": {"wrong_size_at": 5}})"},
        {"the first image has a wrong size", R"({"frame_rate": 0, "faults": {"wrong_size_at": 1}})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        KitFile file(c.json);
        ZentroxTOFCamera cam;
        ASSERT_EQ(openKit(cam, file.path), 0);
        ASSERT_EQ(cam.start(FrameType::DEPTH), 0);
        // Frames keep coming after the faulty images.
        for (int k = 0; k < 5; ++k) {
            ZentroxFrameBuffer* frame = cam.requestFrame(5000);
            ASSERT_NE(frame, nullptr) << "frame " << k;
            EXPECT_EQ(cam.releaseFrame(frame), 0);
        }
        EXPECT_EQ(cam.stop(), 0);
        expectStreams(cam, c.what);
    }
}

}  // namespace
