// A scriptable device double. Geometry, the result of every operation and of both conversions can be
// set; every call is counted and control writes are recorded. Both conversions read the whole raw
// frame (raw geometry x 2 bytes) from the camera's cache, as real devices do, so a cache that is too
// small shows up under AddressSanitizer. The depth conversion fills each of the three planes with its
// own value of the frame's timestamp (the first eight bytes the fake sensor writes; planeValue), so
// that a swap of planes shows; the raw conversion copies the frame. Script and record live in a
// FakeDeviceState shared with the test.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device/ZentroxDevice.h"
#include "tests/fakes/FakePartState.h"

namespace Zentrox {

// Controls and the call log are FakePartState's; lifecycle calls are logged as "device.<op>".
class FakeDeviceState : public FakePartState {
  public:
    FakeDeviceState() : FakePartState("device") {}
    void setGeometry(OutputGeometry raw, OutputGeometry depth);

    std::vector<std::pair<CameraCtrl, std::string>> textWrites() const;
    // Forgets the recorded control writes, control reads and text writes.
    void clearRecords();

    // The depth conversion fails for frames with this timestamp.
    void failPhaseAt(uint64_t timestamp);

    std::atomic<int> openResult{0}, closeResult{0}, prepareResult{0}, startResult{0}, stopResult{0};
    std::atomic<int> textResult{0};
    std::atomic<bool> rawResult{true}, phaseResult{true};
    std::atomic<int> opens{0}, closes{0}, prepares{0}, starts{0}, stops{0}, frameFormats{0};
    std::atomic<int> rawConversions{0}, phaseConversions{0}, textReads{0};
    std::atomic<uint64_t> lastConvertedStamp{0};
    std::atomic<uint32_t> lastChecksum{0};  // byte sum of the last frame the depth conversion read
    std::atomic<bool> destroyed{false};
    std::atomic<ZentroxTOFSensor*> boundSensor{nullptr};

  private:
    friend class FakeDevice;

    mutable std::mutex mutex;
    OutputGeometry raw{2, 240, 720};
    OutputGeometry depth{2, 240, 180};
    std::vector<std::pair<CameraCtrl, std::string>> texts;
    std::set<uint64_t> failingStamps;
};

class FakeDevice final : public ZentroxDevice {
  public:
    explicit FakeDevice(std::shared_ptr<FakeDeviceState> state = std::make_shared<FakeDeviceState>(),
                        int platform = 0);
    ~FakeDevice() override;
    std::shared_ptr<FakeDeviceState> state() const { return shared; }

    // What the depth conversion writes into every element of `plane` for a frame with this
    // timestamp: the timestamp in the depth plane, distinct values in the two others.
    static float planeValue(FrameType plane, uint64_t stamp);

    DeviceType getDeviceType() override { return HQVGA; }
    void getFrameFormat(OutputGeometry& raw, OutputGeometry& depth) override;
    int open(ZentroxTOFSensor* sensor) override;
    int close() override { return shared->lifecycle(shared->closes, "close", shared->closeResult); }
    int prepare() override { return shared->lifecycle(shared->prepares, "prepare", shared->prepareResult); }
    int start() override { return shared->lifecycle(shared->starts, "start", shared->startResult); }
    int stop() override { return shared->lifecycle(shared->stops, "stop", shared->stopResult); }
    int setControl(CameraCtrl ctrl, int value) override { return shared->storeControl(ctrl, value); }
    int setControlExt(CameraCtrl ctrl, const char* value) override;
    int getControl(CameraCtrl ctrl, int* value) override { return shared->readControl(ctrl, value); }
    int getControlExt(CameraCtrl ctrl, const char** value) override;
    bool getRawImages(const uint8_t* frame, int16_t* raw) override;
    bool getPhaseImage(const uint8_t* frame, float* depth, float* amplitude, float* confidence) override;

  private:
    std::shared_ptr<FakeDeviceState> shared;
};

}  // namespace Zentrox
