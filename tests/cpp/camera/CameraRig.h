// A camera with a fake sensor, a fake device and (by default) a clock the test drives, installed as a
// successful open would leave them.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <thread>

#include "ZentroxTOFCamera.h"
#include "core/FrameBuffer.h"
#include "tests/fakes/CallLog.h"
#include "tests/fakes/CameraTestAccess.h"
#include "tests/fakes/FakeDevice.h"
#include "tests/fakes/FakeSensor.h"
#include "tests/fakes/ManualClock.h"

namespace Zentrox {

struct RigGeometry {
    uint32_t width;
    uint32_t height;
    int subFrames;
    OutputGeometry raw;
    OutputGeometry depth;
};

// A 240 x 180 module: four sub-frames per camera frame, a 240 x 720 raw image, 240 x 180 depth.
inline RigGeometry hqvgaGeometry() {
    return {240, 180, 4, {2, 240, 720}, {2, 240, 180}};
}
// A tiny module that keeps frame copies cheap.
inline RigGeometry smallGeometry() {
    return {8, 4, 1, {2, 8, 4}, {2, 8, 4}};
}

// Timestamp of a delivered frame of either output type.
inline uint64_t stampOf(ZentroxFrameBuffer* buffer) {
    FrameDataFormat format{};
    if (buffer->getFormat(FrameType::DEPTH, format) == 0) return format.timestamp;
    if (buffer->getFormat(FrameType::RAW, format) == 0) return format.timestamp;
    ADD_FAILURE() << "a frame buffer with neither a depth nor a raw plane";
    return 0;
}

class Rig {
  public:
    explicit Rig(RigGeometry geometry = smallGeometry(), bool manualClock = true) {
        sensor->log = log;
        device->log = log;
        auto fakeSensor = std::make_unique<FakeSensor>(geometry.width, geometry.height, sensor);
        fakeSensor->subFrameCount = geometry.subFrames;
        device->setGeometry(geometry.raw, geometry.depth);
        cam = std::make_unique<ZentroxTOFCamera>();
        if (manualClock) CameraTestAccess::setClock(*cam, clock);
        CameraTestAccess::install(*cam, std::move(fakeSensor), std::make_unique<FakeDevice>(device));
        log->clear();
    }
    ~Rig() { cam.reset(); }

    // The next ready frame, waiting generously; null only if none came.
    ZentroxFrameBuffer* take(short timeout = 20000) { return cam->requestFrame(timeout); }

    // Feeds one frame and waits until the camera has handled it.
    void feedAndSettle(uint64_t timestamp, int result = 0) {
        sensor->feed(timestamp, result);
        ASSERT_TRUE(sensor->waitUntilIdle())
            << "the capture thread did not come back for frame " << timestamp;
    }

    // Takes the frame ready now, which must be the one of `timestamp`, and gives it back.
    void expectReady(uint64_t timestamp) {
        ZentroxFrameBuffer* frame = cam->requestFrame(0);
        ASSERT_NE(frame, nullptr) << "no frame ready, expected " << timestamp;
        EXPECT_EQ(stampOf(frame), timestamp);
        EXPECT_EQ(cam->releaseFrame(frame), 0);
    }

    // Gives back buffers the caller holds (each must be taken back), then stops the camera.
    void releaseAndStop(std::initializer_list<ZentroxFrameBuffer*> frames) {
        for (ZentroxFrameBuffer* frame : frames)
            EXPECT_EQ(cam->releaseFrame(frame), 0);
        cam->stop();
    }

    // Starts the camera and waits until its capture thread asks the sensor for a frame (it has read
    // its start time by then).
    int startAndSettle(FrameType type) {
        int calls = sensor->getFrameCalls;
        int result = cam->start(type);
        if (result == 0) {
            EXPECT_TRUE(sensor->waitFor([&] { return sensor->getFrameCalls > calls; }));
        }
        return result;
    }

    // Runs `trigger` once a requestFrame on another thread waits for a frame; returns what that call
    // got. A caller holding two buffers gets a frame only by waiting for it: a ready frame nobody
    // waits for is taken back by the capture thread when it has no free buffer.
    template <typename Trigger>
    ZentroxFrameBuffer* requestWhile(Trigger trigger) {
        ZentroxFrameBuffer* got = nullptr;
        std::thread requester([&] { got = cam->requestFrame(20000); });
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (CameraTestAccess::requestWaiters(*cam) == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        trigger();
        requester.join();
        return got;
    }
    ZentroxFrameBuffer* feedToWaitingRequest(uint64_t timestamp) {
        return requestWhile([&] { sensor->feed(timestamp); });
    }

    // Feeds frames 1, 2, 3 to the started camera and takes each into the next slot, so that the
    // caller holds up to all three buffers; a fatal failure when one does not come. The third is fed
    // only once a request waits for it, as a caller holding two gets a frame only by waiting.
    void hold(std::initializer_list<ZentroxFrameBuffer**> slots) {
        uint64_t t = 0;
        for (ZentroxFrameBuffer** slot : slots) {
            if (++t < 3) sensor->feed(t);
            *slot = t < 3 ? take() : feedToWaitingRequest(t);
            ASSERT_NE(*slot, nullptr) << "frame " << t;
            EXPECT_EQ(stampOf(*slot), t);
        }
    }

    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    std::shared_ptr<FakeSensorState> sensor = std::make_shared<FakeSensorState>();
    std::shared_ptr<FakeDeviceState> device = std::make_shared<FakeDeviceState>();
    ManualClock clock;
    std::unique_ptr<ZentroxTOFCamera> cam;
};

}  // namespace Zentrox
