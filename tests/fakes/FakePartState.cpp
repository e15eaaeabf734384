#include "tests/fakes/FakePartState.h"

#include <algorithm>

namespace Zentrox {

void FakePartState::setControlValue(CameraCtrl ctrl, int value) {
    std::lock_guard<std::mutex> lock(controlMutex);
    controls[ctrl] = value;
}

int FakePartState::controlValue(CameraCtrl ctrl) const {
    std::lock_guard<std::mutex> lock(controlMutex);
    auto stored = controls.find(ctrl);
    return stored == controls.end() ? -1 : stored->second;
}

void FakePartState::setControlResult(CameraCtrl ctrl, int result) {
    std::lock_guard<std::mutex> lock(controlMutex);
    setResults[ctrl] = result;
}

void FakePartState::getControlResult(CameraCtrl ctrl, int result) {
    std::lock_guard<std::mutex> lock(controlMutex);
    getResults[ctrl] = result;
}

std::vector<std::pair<CameraCtrl, int>> FakePartState::controlWrites() const {
    std::lock_guard<std::mutex> lock(controlMutex);
    return writes;
}

std::vector<CameraCtrl> FakePartState::controlReadsOf() const {
    std::lock_guard<std::mutex> lock(controlMutex);
    return reads;
}

int FakePartState::readsOf(CameraCtrl ctrl) const {
    std::lock_guard<std::mutex> lock(controlMutex);
    return int(std::count(reads.begin(), reads.end(), ctrl));
}

int FakePartState::writesOf(CameraCtrl ctrl) const {
    std::lock_guard<std::mutex> lock(controlMutex);
    return int(
        std::count_if(writes.begin(), writes.end(), [ctrl](const auto& w) { return w.first == ctrl; }));
}

int FakePartState::storeControl(CameraCtrl ctrl, int value) {
    std::lock_guard<std::mutex> lock(controlMutex);
    writes.emplace_back(ctrl, value);
    auto injected = setResults.find(ctrl);
    if (injected != setResults.end() && injected->second != 0) return injected->second;
    controls[ctrl] = value;
    return 0;
}

int FakePartState::readControl(CameraCtrl ctrl, int* value) {
    std::lock_guard<std::mutex> lock(controlMutex);
    reads.push_back(ctrl);
    auto injected = getResults.find(ctrl);
    if (injected != getResults.end() && injected->second != 0) return injected->second;
    auto stored = controls.find(ctrl);
    if (stored == controls.end()) return 1;
    *value = stored->second;
    return 0;
}

int FakePartState::lifecycle(std::atomic<int>& calls, const char* op, const std::atomic<int>& result) {
    ++calls;
    note(op);
    return result;
}

void FakePartState::note(const char* op) {
    if (log) log->add(prefix + "." + op);
}

void FakePartState::clearControlRecords() {
    std::lock_guard<std::mutex> lock(controlMutex);
    writes.clear();
    reads.clear();
}

}  // namespace Zentrox
