// What the sensor double and the device double share: a store of controls that a test can script and
// that records what the camera wrote and read, and lifecycle calls that are counted, appended to an
// optional call log and answer an injected result.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ZentroxTypes.h"
#include "tests/fakes/CallLog.h"

namespace Zentrox {

class FakePartState {
  public:
    explicit FakePartState(std::string logPrefix) : prefix(std::move(logPrefix)) {}

    // Controls: storeControl stores and records; readControl answers what was stored, 1 for a control
    // never set. A non-zero result injected for a control is returned instead (nothing is stored,
    // nothing is read out).
    void setControlValue(CameraCtrl ctrl, int value);
    int controlValue(CameraCtrl ctrl) const;  // -1 when never stored
    void setControlResult(CameraCtrl ctrl, int result);
    void getControlResult(CameraCtrl ctrl, int result);
    std::vector<std::pair<CameraCtrl, int>> controlWrites() const;
    std::vector<CameraCtrl> controlReadsOf() const;
    int readsOf(CameraCtrl ctrl) const;
    int writesOf(CameraCtrl ctrl) const;

    std::shared_ptr<CallLog> log;  // optional; lifecycle calls are appended as "<prefix>.<op>"

    // Called by the doubles.
    int storeControl(CameraCtrl ctrl, int value);
    int readControl(CameraCtrl ctrl, int* value);
    // Counts the call, logs it and answers the injected result.
    int lifecycle(std::atomic<int>& calls, const char* op, const std::atomic<int>& result);
    void note(const char* op);

  protected:
    void clearControlRecords();

  private:
    const std::string prefix;
    mutable std::mutex controlMutex;
    std::map<CameraCtrl, int> controls;
    std::map<CameraCtrl, int> setResults;
    std::map<CameraCtrl, int> getResults;
    std::vector<std::pair<CameraCtrl, int>> writes;
    std::vector<CameraCtrl> reads;
};

}  // namespace Zentrox
