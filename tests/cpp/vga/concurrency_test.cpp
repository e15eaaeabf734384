// Conversions and the automatic frame-rate adjustment run on the capture thread while the caller
// changes controls; nothing they share may race (ThreadSanitizer builds run this) and the stream
// keeps the geometry it started with.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "ZentroxTOFCamera.h"
#include "tests/cpp/vga/VgaTestSupport.h"
#include "tests/fakes/CameraTestAccess.h"
#include "tests/fakes/FakeSensor.h"
#include "tests/fakes/ManualClock.h"
#include "tests/fakes/TempWorkDir.h"

using namespace Zentrox;

TEST(VgaConcurrency, ControlsChangeWhileFramesConvert) {
    TempWorkDir dir;
    InstantSleepKernel sleeps;
    ScopedKernel seam(sleeps);
    RecordingVgaSensor sensor;
    ZentroxDeviceVGA device(0);
    ASSERT_EQ(device.open(&sensor), 0);
    device.setControl(CameraCtrl::FMT_WIDTH, 320);
    device.setControl(CameraCtrl::FMT_HEIGHT, 240);
    ASSERT_EQ(device.prepare(), 0);
    ASSERT_EQ(device.start(), 0);
    VgaScene scene(320, 240, true, 1000.0f);
    const std::vector<uint16_t> raw = scene.render();
    std::vector<int16_t> copy(raw.size());

    std::atomic<bool> done{false};
    std::atomic<int> converted{0}, failed{0};
    std::thread capture([&] {
        DepthPlanes out(scene.pixels());
        while (!done.load()) {
            const bool ok = convert(device, raw, out) &&
                            device.getRawImages(reinterpret_cast<const uint8_t*>(raw.data()), copy.data());
            (ok ? converted : failed).fetch_add(1);
        }
    });
    for (int i = 0; i < 200 && converted.load() < 5; ++i) {
        device.setControl(CameraCtrl::MODE, i % 2);
        device.setControl(CameraCtrl::FMT_WIDTH, i % 2 ? 640 : 320);
        int v = 0;
        device.getControl(CameraCtrl::RANGE, &v);
        device.getControl(CameraCtrl::MODE, &v);
        std::this_thread::yield();
    }
    while (converted.load() < 5)
        std::this_thread::yield();
    done = true;
    capture.join();
    EXPECT_EQ(failed.load(), 0) << "the running stream keeps the geometry it was started with";
    EXPECT_EQ(device.close(), 0);
}

// The capture thread adjusts the frame rate every 3 s through the device (reading the limit of the
// size and mode, then setting the rate), while the caller changes size and mode through the camera.
// What both sides read and write in the device must be guarded (ThreadSanitizer builds run this).
TEST(VgaConcurrency, ControlsChangeWhileTheCaptureThreadAdjustsTheFrameRate) {
    TempWorkDir dir;
    InstantSleepKernel sleeps;
    ScopedKernel seam(sleeps);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        auto sensor = std::make_shared<FakeSensorState>();
        sensor->setIdle(std::chrono::milliseconds(1));
        ManualClock clock;
        ZentroxTOFCamera camera;
        CameraTestAccess::setClock(camera, clock);
        CameraTestAccess::install(camera, std::make_unique<FakeSensor>(320, 1205, sensor),
                                  std::make_unique<ZentroxDeviceVGA>(0));
        ASSERT_EQ(camera.setControl(CameraCtrl::FMT_WIDTH, 320), 0);
        ASSERT_EQ(camera.setControl(CameraCtrl::FMT_HEIGHT, 240), 0);
        ASSERT_EQ(camera.start(FrameType::DEPTH), 0);

        std::atomic<bool> done{false};
        std::thread caller([&] {
            for (int i = 0; !done.load(); ++i) {
                camera.setControl(CameraCtrl::FMT_WIDTH, i % 2 ? 640 : 320);
                camera.setControl(CameraCtrl::FMT_HEIGHT, i % 2 ? 480 : 240);
                camera.setControl(CameraCtrl::MODE, (i / 2) % 2);
                int v = 0;
                camera.getControl(CameraCtrl::FRAME_RATE, &v);
                camera.getControl(CameraCtrl::MODE, &v);
            }
        });
        // No frame converts (the fake's frames are not the engine's), so the measured rate is 0 and
        // every adjustment aims at 1; one succeeds once it finds a size with a limit.
        auto rateWrites = [&] {
            std::vector<int> out;
            for (const auto& w : sensor->controlWrites())
                if (w.first == CameraCtrl::FRAME_RATE) out.push_back(w.second);
            return out;
        };
        for (int period = 0; period < 200 && rateWrites().empty(); ++period) {
            clock.advance(std::chrono::milliseconds(3100));
            const int calls = sensor->getFrameCalls;
            ASSERT_TRUE(sensor->waitFor([&] { return sensor->getFrameCalls > calls + 1; }));
        }
        done = true;
        caller.join();
        EXPECT_EQ(camera.stop(), 0);
        EXPECT_EQ(rateWrites(), std::vector<int>{1});
        int rate = 0;
        EXPECT_EQ(camera.getControl(CameraCtrl::FRAME_RATE, &rate), 0);
        EXPECT_EQ(rate, 1) << "once set, the rate is the sensor's";
    }
}
