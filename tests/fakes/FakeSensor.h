// A scriptable sensor double. The test feeds frames (with timestamps and optional read failures);
// getFrame blocks until one is fed or an idle time-out passes, like a transport waiting for data.
// Results of every operation can be injected and every call is counted. Script and record live in a
// FakeSensorState shared with the test, so they stay readable after the camera destroyed the sensor.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "sensor/ZentroxTOFSensor.h"
#include "tests/fakes/FakePartState.h"

namespace Zentrox {

struct FakeFrame {
    uint64_t timestamp = 0;
    int result = 0;  // what getFrame returns for this frame; non-zero is a failed read
};

// Controls and the call log are FakePartState's; lifecycle calls are logged as "sensor.<op>".
class FakeSensorState : public FakePartState {
  public:
    FakeSensorState() : FakePartState("sensor") {}
    // Geometry reported by open and getCameraInfo.
    void setGeometry(uint32_t width, uint32_t height, uint32_t bitWidth = 12, uint32_t bpp = 2);
    CameraInfo cameraInfo() const;

    // Frames handed out by getFrame, oldest first.
    void feed(FakeFrame frame);
    void feed(uint64_t timestamp, int result = 0) { feed(FakeFrame{timestamp, result}); }
    size_t pending() const;
    // How long getFrame waits for a fed frame before it gives up with idleResult; 0 waits without
    // limit (the camera can then not stop while no frame comes).
    void setIdle(std::chrono::milliseconds timeout, int result = -1);

    // True once every fed frame was taken and the camera came back to getFrame for another, i.e.
    // it finished handling everything fed so far. False after `limit`.
    bool waitUntilIdle(std::chrono::milliseconds limit = std::chrono::seconds(20));
    // Waits until `done()` holds, re-checked at each getFrame event; false after `limit`.
    bool waitFor(const std::function<bool()>& done,
                 std::chrono::milliseconds limit = std::chrono::seconds(20));

    std::atomic<int> openResult{0}, closeResult{0}, startResult{0}, stopResult{0};
    std::atomic<int> opens{0}, closes{0}, starts{0}, stops{0};
    std::atomic<int> getFrameCalls{0}, framesDelivered{0}, idleTimeouts{0};
    std::atomic<bool> destroyed{false};
    std::atomic<int> lastSubFrameCount{0};

  private:
    friend class FakeSensor;
    int getFrame(int subFrameCount, uint8_t* data, uint64_t* timestamp);

    mutable std::mutex mutex;
    std::condition_variable fedCond;    // a frame was fed
    std::condition_variable eventCond;  // getFrame began waiting or handed out a frame
    CameraInfo info{0, Connection::CSI, VGA, FrameType::RAW, 240, 180, 12, 2};
    std::deque<FakeFrame> frames;
    std::chrono::milliseconds idleTimeout{20};
    int idleResult = -1;
    uint64_t idleEntries = 0;  // getFrame calls that found no frame and began to wait
    uint64_t idleEntriesAtFeed = 0;
};

class FakeSensor final : public ZentroxTOFSensor {
  public:
    explicit FakeSensor(uint32_t width = 240, uint32_t height = 180,
                        std::shared_ptr<FakeSensorState> state = std::make_shared<FakeSensorState>());
    ~FakeSensor() override;
    std::shared_ptr<FakeSensorState> state() const { return shared; }

    int open(CameraInfo& info) override;
    int close() override { return shared->lifecycle(shared->closes, "close", shared->closeResult); }
    int start() override { return shared->lifecycle(shared->starts, "start", shared->startResult); }
    int stop() override { return shared->lifecycle(shared->stops, "stop", shared->stopResult); }
    CameraInfo getCameraInfo() override { return shared->cameraInfo(); }
    // Writes width x height x subFrameCount 16-bit samples: every byte holds the low byte of the
    // timestamp, and the first eight bytes hold the whole timestamp.
    int getFrame(uint8_t* data, uint64_t* timestamp) override {
        return shared->getFrame(subFrameCount, data, timestamp);
    }
    int setControl(CameraCtrl ctrl, int value) override { return shared->storeControl(ctrl, value); }
    int getControl(CameraCtrl ctrl, int* value) override { return shared->readControl(ctrl, value); }

  private:
    std::shared_ptr<FakeSensorState> shared;
};

}  // namespace Zentrox
