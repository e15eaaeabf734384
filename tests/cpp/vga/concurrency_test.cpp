// Conversions run on the capture thread while the caller changes controls; nothing they share may
// race (ThreadSanitizer builds run this) and the stream keeps the geometry it started with.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TempWorkDir.h"
#include "VgaTestSupport.h"

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
