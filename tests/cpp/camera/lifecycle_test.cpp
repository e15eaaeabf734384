#include <gtest/gtest.h>

#include <string>
#include <system_error>
#include <vector>

#include "tests/cpp/camera/CameraRig.h"

using namespace Zentrox;

namespace {

using Entries = std::vector<std::string>;

bool contains(const Entries& entries, const std::string& entry) {
    for (const auto& e : entries) {
        if (e == entry) return true;
    }
    return false;
}

// Every operation that needs a sensor and a device, on a camera that has none, one whose latest open
// failed, and one that was closed: each refuses and nothing reaches the doubles.
TEST(CameraGuards, OperationsWithoutASuccessfulOpenRefuse) {
    enum class Situation { NEVER_OPENED, OPEN_FAILED, CLOSED };
    for (Situation situation : {Situation::NEVER_OPENED, Situation::OPEN_FAILED, Situation::CLOSED}) {
        SCOPED_TRACE(int(situation));
        Rig rig;
        ZentroxTOFCamera bare;
        ZentroxTOFCamera* cam = rig.cam.get();
        if (situation == Situation::NEVER_OPENED) cam = &bare;
        if (situation == Situation::OPEN_FAILED) CameraTestAccess::setOpened(*rig.cam, false);
        if (situation == Situation::CLOSED) {
            ASSERT_EQ(rig.cam->close(), 0);
        }
        int sensorCloses = rig.sensor->closes;
        int deviceCloses = rig.device->closes;

        EXPECT_EQ(cam->start(FrameType::DEPTH), -1);
        EXPECT_EQ(cam->start(FrameType::RAW), -1);
        EXPECT_EQ(cam->setOutputType(FrameType::RAW), -1);
        EXPECT_EQ(cam->close(), -1);
        EXPECT_EQ(cam->setControl(CameraCtrl::RANGE, 1), -1);
        EXPECT_EQ(cam->setControl(CameraCtrl::FRAME_RATE, 10), -1);
        int value = 77;
        EXPECT_EQ(cam->getControl(CameraCtrl::RANGE, &value), -1);
        EXPECT_EQ(cam->getControl(CameraCtrl::SKIP_FRAME, &value), -1);
        EXPECT_EQ(value, 77);
        EXPECT_EQ(cam->setControlExt(CameraCtrl::CONFIG_DIR_EXT, "/tmp"), -1);
        uint8_t cache[64] = {};
        int16_t raw[16];
        float planes[3][16];
        EXPECT_FALSE(cam->getRawImages(cache, raw));
        EXPECT_FALSE(cam->getPhaseImage(cache, planes[0], planes[1], planes[2]));
        // No pool either: nothing to hand out or take back.
        EXPECT_EQ(cam->requestFrame(0), nullptr);
        EXPECT_EQ(cam->requestFrame(5), nullptr);
        DepthData stranger(4, 4);
        EXPECT_EQ(cam->releaseFrame(&stranger), -1);
        EXPECT_EQ(cam->releaseFrame(nullptr), -1);
        // Stopping without a capture thread fails in the join, whatever the state.
        EXPECT_THROW(cam->stop(), std::system_error);

        // What the camera answers itself keeps working.
        EXPECT_EQ(cam->setControl(CameraCtrl::SKIP_FRAME, 1), 0);
        EXPECT_EQ(cam->setControl(CameraCtrl::SKIP_FRAME_LOOP, 2), 0);
        EXPECT_EQ(cam->setControl(CameraCtrl::AUTO_FRAME_RATE, 0), 0);
        EXPECT_EQ(cam->getControl(CameraCtrl::AUTO_FRAME_RATE, &value), 0);
        EXPECT_EQ(value, 0);
        const char* text = "kept";
        EXPECT_EQ(cam->getControlExt(CameraCtrl::CONFIG_DIR_EXT, &text), 0);
        EXPECT_STREQ(text, "kept");

        EXPECT_EQ(rig.device->prepares, 0);
        EXPECT_EQ(rig.device->starts, 0);
        EXPECT_EQ(rig.device->stops, 0);
        EXPECT_EQ(rig.device->closes, deviceCloses);
        EXPECT_EQ(rig.device->rawConversions + rig.device->phaseConversions, 0);
        EXPECT_TRUE(rig.device->controlWrites().empty());
        EXPECT_TRUE(rig.device->controlReadsOf().empty());
        EXPECT_TRUE(rig.device->textWrites().empty());
        EXPECT_EQ(rig.sensor->starts, 0);
        EXPECT_EQ(rig.sensor->stops, 0);
        EXPECT_EQ(rig.sensor->closes, sensorCloses);
        EXPECT_EQ(CameraTestAccess::pool(*cam), nullptr);
    }
}

TEST(CameraLifecycle, InfoIsZeroBeforeOpen) {
    ZentroxTOFCamera cam;
    CameraInfo info = cam.getCameraInfo();
    EXPECT_EQ(info.index, 0u);
    EXPECT_EQ(info.width, 0u);
    EXPECT_EQ(info.height, 0u);
    EXPECT_EQ(info.bpp, 0u);
}

TEST(CameraLifecycle, StartStopCloseDriveDeviceAndSensorInOrder) {
    Rig rig;
    rig.device->setControlValue(CameraCtrl::RANGE, 2);
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    EXPECT_TRUE(CameraTestAccess::streaming(*rig.cam));
    EXPECT_FALSE(CameraTestAccess::stopped(*rig.cam));
    // The current range is read and written back before streaming.
    auto writes = rig.device->controlWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].first, CameraCtrl::RANGE);
    EXPECT_EQ(writes[0].second, 2);
    EXPECT_EQ((Entries{"device.prepare", "sensor.start", "device.start"}), rig.log->entries());
    rig.log->clear();

    rig.sensor->stopResult = 6;
    EXPECT_EQ(rig.cam->stop(), 6);
    EXPECT_FALSE(CameraTestAccess::streaming(*rig.cam));
    EXPECT_EQ((Entries{"device.stop", "sensor.stop"}), rig.log->entries());
    rig.log->clear();

    rig.sensor->closeResult = 3;
    EXPECT_EQ(rig.cam->close(), 3);
    EXPECT_EQ((Entries{"device.close", "sensor.close"}), rig.log->entries());
    EXPECT_FALSE(CameraTestAccess::opened(*rig.cam));
}

TEST(CameraLifecycle, AFailedRangeReadReappliesZero) {
    Rig rig;
    rig.device->getControlResult(CameraCtrl::RANGE, 1);
    ASSERT_EQ(rig.cam->start(FrameType::RAW), 0);
    auto writes = rig.device->controlWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], std::make_pair(CameraCtrl::RANGE, 0));
    rig.cam->stop();
}

TEST(CameraLifecycle, StartRefreshesTheSensorGeometryAndKeepsTheRest) {
    Rig rig;
    CameraInfo before = rig.cam->getCameraInfo();
    rig.sensor->setGeometry(8, 4, 10, 1);
    ASSERT_EQ(rig.cam->start(FrameType::RAW), 0);
    CameraInfo after = rig.cam->getCameraInfo();
    EXPECT_EQ(after.bit_width, 10u);
    EXPECT_EQ(after.bpp, 1u);
    EXPECT_EQ(after.type, FrameType::RAW);
    EXPECT_EQ(after.index, before.index);
    EXPECT_EQ(after.connect, before.connect);
    EXPECT_EQ(after.device_type, before.device_type);
    rig.cam->stop();
}

// A failing step of start returns its code unchanged, skips the later steps, starts no thread, and
// stops every step it had begun, latest first, so that a later start finds nothing streaming.
TEST(CameraLifecycle, AFailingStartStepReturnsItsCodeAndStopsWhatItStarted) {
    struct Case {
        const char* step;
        int code;
        Entries calls;
    };
    const Case cases[] = {
        {"prepare", 7, {"device.prepare"}},
        {"prepare", -1, {"device.prepare"}},
        {"sensor start", -2, {"device.prepare", "sensor.start", "sensor.stop"}},
        {"sensor start", 1, {"device.prepare", "sensor.start", "sensor.stop"}},
        {"device start",
         -1,
         {"device.prepare", "sensor.start", "device.start", "device.stop", "sensor.stop"}},
        {"device start", 4, {"device.prepare", "sensor.start", "device.start", "device.stop", "sensor.stop"}},
        // Refused by setOutputType: an output that is not RAW or DEPTH, a raw frame the cache cannot hold.
        {"output", -1, {"device.prepare", "sensor.start", "device.start", "device.stop", "sensor.stop"}},
        {"geometry", -1, {"device.prepare", "sensor.start", "device.start", "device.stop", "sensor.stop"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.step) + " " + std::to_string(c.code));
        Rig rig;
        std::string step = c.step;
        if (step == "prepare") rig.device->prepareResult = c.code;
        if (step == "sensor start") rig.sensor->startResult = c.code;
        if (step == "device start") rig.device->startResult = c.code;
        if (step == "geometry") rig.device->setGeometry({2, 8, 5}, {2, 8, 4});
        EXPECT_EQ(rig.cam->start(step == "output" ? FrameType::CONFIDENCE : FrameType::DEPTH), c.code);
        EXPECT_EQ(c.calls, rig.log->entries());
        EXPECT_FALSE(CameraTestAccess::streaming(*rig.cam));
        EXPECT_TRUE(CameraTestAccess::stopped(*rig.cam));
        EXPECT_EQ(CameraTestAccess::pool(*rig.cam), nullptr);
        // Only the steps after a successful device start read the output geometry.
        EXPECT_EQ(rig.device->frameFormats, step == "output" || step == "geometry" ? 1 : 0);
        EXPECT_THROW(rig.cam->stop(), std::system_error);
    }
}

TEST(CameraLifecycle, StartWithAnOutputThatIsNotRawOrDepthIsRefused) {
    for (FrameType type : {FrameType::CONFIDENCE, FrameType::AMPLITUDE, FrameType::CACHE}) {
        SCOPED_TRACE(int(type));
        Rig rig;
        EXPECT_EQ(rig.cam->start(type), -1);
        EXPECT_EQ(rig.cam->getCameraInfo().type, type);
        EXPECT_EQ(rig.sensor->starts, 1);
        EXPECT_EQ(rig.device->starts, 1);
        EXPECT_FALSE(CameraTestAccess::streaming(*rig.cam));
        EXPECT_EQ(CameraTestAccess::pool(*rig.cam), nullptr);
        rig.log->clear();
        rig.sensor->closeResult = 9;
        EXPECT_EQ(rig.cam->close(), 9);
        EXPECT_EQ((Entries{"device.close", "sensor.close"}), rig.log->entries());
    }
}

TEST(CameraLifecycle, RestartingWithAnotherOutputReplacesThePool) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::RAW), 0);
    FramePool* rawPool = CameraTestAccess::pool(*rig.cam);
    ASSERT_NE(rawPool, nullptr);
    for (LinkNode* node : rawPool->queue->allNodes())
        EXPECT_NE(dynamic_cast<RawData*>(node->buffer), nullptr);
    rig.feedAndSettle(5);
    ZentroxFrameBuffer* raw = rig.take();
    ASSERT_NE(raw, nullptr);
    EXPECT_NE(dynamic_cast<RawData*>(raw), nullptr);
    EXPECT_EQ(stampOf(raw), 5u);
    EXPECT_EQ(rig.cam->releaseFrame(raw), 0);
    rig.cam->stop();

    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    FramePool* depthPool = CameraTestAccess::pool(*rig.cam);
    ASSERT_NE(depthPool, nullptr);
    for (LinkNode* node : depthPool->queue->allNodes()) {
        EXPECT_NE(dynamic_cast<DepthData*>(node->buffer), nullptr);
    }
    rig.feedAndSettle(6);
    ZentroxFrameBuffer* depth = rig.take();
    ASSERT_NE(depth, nullptr);
    ASSERT_NE(dynamic_cast<DepthData*>(depth), nullptr);
    EXPECT_EQ(stampOf(depth), 6u);
    // The device wrote each plane of the buffer that was handed out, and each where it belongs.
    for (FrameType plane : {FrameType::DEPTH, FrameType::AMPLITUDE, FrameType::CONFIDENCE}) {
        const float* data = static_cast<const float*>(depth->getData(plane));
        EXPECT_EQ(data[0], FakeDevice::planeValue(plane, 6)) << int(plane);
        EXPECT_EQ(data[8 * 4 - 1], FakeDevice::planeValue(plane, 6)) << int(plane);
    }
    EXPECT_EQ(rig.cam->releaseFrame(depth), 0);
    rig.cam->stop();
}

TEST(CameraLifecycle, ASecondStartWhileStreamingTouchesNothing) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    FramePool* pool = CameraTestAccess::pool(*rig.cam);
    rig.log->clear();
    rig.device->clearRecords();
    EXPECT_EQ(rig.cam->start(FrameType::DEPTH), -1);
    EXPECT_EQ(rig.cam->start(FrameType::RAW), -1);
    EXPECT_TRUE(rig.log->entries().empty());
    EXPECT_TRUE(rig.device->controlWrites().empty());
    EXPECT_TRUE(rig.device->controlReadsOf().empty());
    EXPECT_EQ(rig.device->frameFormats, 1);
    EXPECT_EQ(CameraTestAccess::pool(*rig.cam), pool);
    EXPECT_EQ(rig.cam->getCameraInfo().type, FrameType::DEPTH);
    // Streaming goes on.
    rig.feedAndSettle(3);
    ZentroxFrameBuffer* frame = rig.take();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(stampOf(frame), 3u);
    rig.cam->releaseFrame(frame);
    EXPECT_EQ(rig.cam->stop(), 0);
}

TEST(CameraLifecycle, SetOutputTypeWhileStreamingOrForAnotherTypeIsRefused) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    FramePool* pool = CameraTestAccess::pool(*rig.cam);
    EXPECT_EQ(rig.cam->setOutputType(FrameType::RAW), -1);
    EXPECT_EQ(CameraTestAccess::pool(*rig.cam), pool);
    EXPECT_EQ(rig.cam->getCameraInfo().type, FrameType::DEPTH);
    rig.cam->stop();

    EXPECT_EQ(rig.cam->setOutputType(FrameType::AMPLITUDE), -1);
    EXPECT_EQ(rig.cam->getCameraInfo().type, FrameType::AMPLITUDE);
    EXPECT_EQ(CameraTestAccess::pool(*rig.cam), pool);
    EXPECT_EQ(rig.cam->setOutputType(FrameType::RAW), 0);
    EXPECT_NE(CameraTestAccess::pool(*rig.cam), pool);
}

TEST(CameraLifecycle, ASecondStopRaisesTheJoinError) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::RAW), 0);
    EXPECT_EQ(rig.cam->stop(), 0);
    try {
        rig.cam->stop();
        ADD_FAILURE() << "the second stop returned";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::invalid_argument);
    }
    EXPECT_TRUE(CameraTestAccess::stopped(*rig.cam));
    EXPECT_EQ(rig.device->stops, 1);
    EXPECT_EQ(rig.sensor->stops, 1);
}

TEST(CameraLifecycle, CloseStopsAStreamingCameraFirst) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    rig.sensor->closeResult = -2;
    EXPECT_EQ(rig.cam->close(), -2);
    EXPECT_EQ((Entries{"device.prepare", "sensor.start", "device.start", "device.stop", "sensor.stop",
                       "device.close", "sensor.close"}),
              rig.log->entries());
    EXPECT_FALSE(CameraTestAccess::streaming(*rig.cam));
    // Closed: streaming again needs a new open.
    EXPECT_EQ(rig.cam->start(FrameType::DEPTH), -1);
    EXPECT_EQ(rig.sensor->starts, 1);
}

// The device reads rawGeometry 16-bit samples from the cache, which holds one sensor frame of
// width x height x subFrameCount samples: a device asking for more is refused at start.
TEST(CameraLifecycle, StartRefusesARawFrameLargerThanTheCache) {
    struct Case {
        uint32_t width, height;
        int subFrames;
        OutputGeometry raw;
        FrameType type;
        int expected;
    };
    const Case cases[] = {
        {240, 180, 4, {2, 240, 720}, FrameType::RAW, 0},
        {240, 180, 4, {2, 240, 720}, FrameType::DEPTH, 0},
        {240, 180, 1, {2, 240, 720}, FrameType::RAW, -1},
        {240, 180, 1, {2, 240, 720}, FrameType::DEPTH, -1},
        {240, 180, 4, {2, 240, 721}, FrameType::DEPTH, -1},
        {640, 480, 1, {2, 640, 480}, FrameType::DEPTH, 0},
        {640, 480, 1, {2, 641, 480}, FrameType::RAW, -1},
        {640, 480, 1, {2, 320, 480}, FrameType::RAW, 0},
        {640, 480, 0, {2, 0, 0}, FrameType::RAW, -1},
        {640, 480, -4, {2, 640, 480}, FrameType::DEPTH, -1},
        {0x10000, 0x10000, 0x10000, {2, 1, 1}, FrameType::RAW, -1},
        // Sizes a transport may report whose cache byte count wraps in 64 bits, or is beyond the
        // bound of a pool (2^24 samples); the largest within it still streams.
        {0xFFFFFFFFu, 0x80000001u, 1, {2, 1, 1}, FrameType::RAW, -1},
        {0x80000000u, 0x80000000u, 2, {2, 1, 1}, FrameType::RAW, -1},
        {4096, 4097, 1, {2, 1, 1}, FrameType::RAW, -1},
        {1024, 4096, 4, {2, 1024, 16384}, FrameType::DEPTH, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + "x" +
                     std::to_string(c.subFrames) + " raw " + std::to_string(c.raw.width) + "x" +
                     std::to_string(c.raw.height) + " type " + std::to_string(int(c.type)));
        Rig rig(RigGeometry{c.width, c.height, c.subFrames, c.raw, {2, 4, 4}});
        EXPECT_EQ(rig.cam->start(c.type), c.expected);
        EXPECT_EQ(CameraTestAccess::streaming(*rig.cam), c.expected == 0);
        if (c.expected == 0) {
            // A whole frame flows: the fake device reads every raw byte from the cache.
            rig.feedAndSettle(11);
            ZentroxFrameBuffer* frame = rig.take();
            ASSERT_NE(frame, nullptr);
            EXPECT_EQ(stampOf(frame), 11u);
            rig.cam->releaseFrame(frame);
            rig.cam->stop();
        } else {
            EXPECT_EQ(CameraTestAccess::pool(*rig.cam), nullptr);
        }
    }
}

TEST(CameraLifecycle, ARefusedRestartKeepsThePreviousPool) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
    rig.feedAndSettle(1);
    rig.cam->stop();
    FramePool* pool = CameraTestAccess::pool(*rig.cam);
    rig.device->setGeometry({2, 8, 5}, {2, 8, 4});
    EXPECT_EQ(rig.cam->start(FrameType::DEPTH), -1);
    EXPECT_EQ(CameraTestAccess::pool(*rig.cam), pool);
    // The frame that was ready when the camera stopped can still be taken.
    rig.expectReady(1);
}

// Planes beyond the pool's bound (their byte count would not even fit in size_t) are refused with a
// status before anything is allocated; the camera keeps the pool and the frame it had.
TEST(CameraLifecycle, APoolBeyondTheBoundIsRefusedAndLeavesTheCameraAsItWas) {
    for (OutputGeometry depth :
         {OutputGeometry{2, 0xFFFFFFFFu, 0xFFFFFFFFu}, OutputGeometry{2, 4097, 4096}}) {
        SCOPED_TRACE(std::to_string(depth.width) + "x" + std::to_string(depth.height));
        Rig rig;
        ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
        rig.feedAndSettle(1);
        rig.cam->stop();
        FramePool* pool = CameraTestAccess::pool(*rig.cam);
        rig.device->setGeometry({2, 8, 4}, depth);
        EXPECT_EQ(rig.cam->start(FrameType::DEPTH), -1);
        EXPECT_EQ(CameraTestAccess::pool(*rig.cam), pool);
        EXPECT_TRUE(CameraTestAccess::stopped(*rig.cam));
        EXPECT_FALSE(CameraTestAccess::streaming(*rig.cam));
        EXPECT_EQ(rig.sensor->stops, rig.sensor->starts);
        ASSERT_NO_FATAL_FAILURE(rig.expectReady(1));
        rig.device->setGeometry({2, 8, 4}, {2, 8, 4});
        EXPECT_EQ(rig.cam->start(FrameType::DEPTH), 0);
        rig.cam->stop();
    }
}

// Destroying a camera whose capture thread runs stops it as stop() does and releases what is open,
// then frees pool, device and sensor.
TEST(CameraLifetime, DestroyingAStreamingCameraEndsCleanly) {
    for (bool holdFrame : {false, true}) {
        SCOPED_TRACE(holdFrame);
        Rig rig(hqvgaGeometry(), false);
        ASSERT_EQ(rig.cam->start(FrameType::DEPTH), 0);
        rig.feedAndSettle(1);
        rig.feedAndSettle(2);
        if (holdFrame) {
            ASSERT_NE(rig.take(), nullptr);
        }
        rig.sensor->feed(3);  // possibly still in flight when the camera goes
        rig.log->clear();
        rig.cam.reset();
        EXPECT_EQ((Entries{"device.stop", "sensor.stop", "device.close", "sensor.close", "device.destroy",
                           "sensor.destroy"}),
                  rig.log->entries());
        EXPECT_TRUE(rig.sensor->destroyed);
        EXPECT_TRUE(rig.device->destroyed);
    }
}

TEST(CameraLifetime, DestructionClosesOnlyWhatIsStillOpen) {
    {
        Rig rig;  // opened, never started
        rig.cam.reset();
        EXPECT_EQ((Entries{"device.close", "sensor.close", "device.destroy", "sensor.destroy"}),
                  rig.log->entries());
    }
    {
        Rig rig;  // started, stopped, closed
        ASSERT_EQ(rig.cam->start(FrameType::RAW), 0);
        rig.cam->stop();
        rig.cam->close();
        rig.log->clear();
        rig.cam.reset();
        EXPECT_EQ((Entries{"device.destroy", "sensor.destroy"}), rig.log->entries());
    }
    {
        Rig rig;  // the latest open failed
        CameraTestAccess::setOpened(*rig.cam, false);
        rig.cam.reset();
        EXPECT_EQ((Entries{"device.destroy", "sensor.destroy"}), rig.log->entries());
    }
    {
        ZentroxTOFCamera cam;  // nothing at all
    }
}

TEST(CameraLifetime, ClosingAStoppedCameraKeepsItsReadyFrames) {
    Rig rig;
    ASSERT_EQ(rig.cam->start(FrameType::RAW), 0);
    rig.feedAndSettle(1);
    rig.feedAndSettle(2);
    EXPECT_EQ(rig.cam->close(), 0);
    EXPECT_FALSE(rig.log->entries().empty());
    EXPECT_TRUE(contains(rig.log->entries(), "sensor.close"));
    ZentroxFrameBuffer* first = rig.cam->requestFrame(0);
    ZentroxFrameBuffer* second = rig.cam->requestFrame(0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(stampOf(first), 1u);
    EXPECT_EQ(stampOf(second), 2u);
    EXPECT_EQ(rig.cam->requestFrame(0), nullptr);
    EXPECT_EQ(rig.cam->releaseFrame(first), 0);
    EXPECT_EQ(rig.cam->releaseFrame(second), 0);
}

}  // namespace
