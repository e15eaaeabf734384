// Faults of the emulated USB kit, injected through its configuration file: failing open, init and
// start, capture time-outs and images of the wrong size. Each gives its documented status, leaks
// no descriptor or mapping of the process, and a later close and open of a sound kit streams again.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ZentroxScene.h"
#include "ZentroxTOFCamera.h"
#include "device/ZentroxDeviceHQVGA.h"
#include "sensor/usb/ZentroxTOFUSBSensor.h"
#include "tests/cpp/stress/ProcessResources.h"
#include "tests/fakes/CameraTestAccess.h"

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

// A lost or short image costs its frame and nothing else: at every frame rate, unpaced included,
// every frame the camera returns decodes to the scene (a frame begun at the wrong phase image is off
// by a quarter or half of the range).
TEST(KitFaults, TimeOutsAndWrongSizesLoseFramesOnly) {
    const char* const faults[] = {
        R"("timeout_every": 5)", R"("timeout_every": 7)", R"("timeout_every": 6)",
        R"("wrong_size_at": 5)", R"("wrong_size_at": 1)", R"("wrong_size_at": 3, "timeout_every": 9)",
    };
    SceneMap expected;  // distance along every pixel's ray, as the kit renders it
    renderScene(Scene::flatWall(1500.0, 0.8f), PinholeCamera::fromFieldOfView(240, 180, 70.0), expected);
    for (const char* rate : {"0", "50", "1000"}) {
        for (const char* fault : faults) {
            SCOPED_TRACE(std::string("frame rate ") + rate + ", " + fault);
            KitFile file(std::string(R"({"noise": 0, "frame_rate": )") + rate +
                         R"(, "scene": {"planes": [{"distance": 1500, "reflectivity": 0.8}]}, "faults": {)" +
                         fault + "}}");
            ZentroxTOFCamera cam;
            ASSERT_EQ(openKit(cam, file.path), 0);
            ASSERT_EQ(cam.start(FrameType::DEPTH), 0);
            for (int k = 0; k < 8; ++k) {
                ZentroxFrameBuffer* frame = cam.requestFrame(5000);
                ASSERT_NE(frame, nullptr) << "frame " << k;
                const float* depth = static_cast<const float*>(frame->getData(FrameType::DEPTH));
                ASSERT_NE(depth, nullptr);
                double worst = 0;
                for (size_t i = 0; i < expected.distance.size(); ++i)
                    worst = std::max(worst, std::fabs(double(depth[i]) - expected.distance[i]));
                EXPECT_LT(worst, 5.0) << "frame " << k;
                EXPECT_EQ(cam.releaseFrame(frame), 0);
            }
            EXPECT_EQ(cam.stop(), 0);
        }
    }
    ZentroxTOFCamera cam;
    expectStreams(cam, "after the faults");
}

}  // namespace
