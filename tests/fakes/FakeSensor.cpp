#include "FakeSensor.h"

#include <cstring>

namespace Zentrox {

void FakeSensorState::setGeometry(uint32_t width, uint32_t height, uint32_t bitWidth, uint32_t bpp) {
    std::lock_guard<std::mutex> lock(mutex);
    info.width = width;
    info.height = height;
    info.bit_width = bitWidth;
    info.bpp = bpp;
}

CameraInfo FakeSensorState::cameraInfo() const {
    std::lock_guard<std::mutex> lock(mutex);
    return info;
}

void FakeSensorState::feed(FakeFrame frame) {
    std::lock_guard<std::mutex> lock(mutex);
    frames.push_back(frame);
    idleEntriesAtFeed = idleEntries;
    fedCond.notify_all();
}

size_t FakeSensorState::pending() const {
    std::lock_guard<std::mutex> lock(mutex);
    return frames.size();
}

void FakeSensorState::setIdle(std::chrono::milliseconds timeout, int result) {
    std::lock_guard<std::mutex> lock(mutex);
    idleTimeout = timeout;
    idleResult = result;
}

bool FakeSensorState::waitUntilIdle(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex);
    return eventCond.wait_for(lock, limit,
                              [this] { return frames.empty() && idleEntries > idleEntriesAtFeed; });
}

bool FakeSensorState::waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        // Re-check at each getFrame event, and every few milliseconds: `done` may watch state that
        // the sensor does not own.
        std::unique_lock<std::mutex> lock(mutex);
        eventCond.wait_for(lock, std::chrono::milliseconds(5));
    }
    return true;
}

void FakeSensorState::setControlValue(CameraCtrl ctrl, int value) {
    std::lock_guard<std::mutex> lock(mutex);
    controls[ctrl] = value;
}

void FakeSensorState::setControlResult(CameraCtrl ctrl, int result) {
    std::lock_guard<std::mutex> lock(mutex);
    setResults[ctrl] = result;
}

void FakeSensorState::getControlResult(CameraCtrl ctrl, int result) {
    std::lock_guard<std::mutex> lock(mutex);
    getResults[ctrl] = result;
}

std::vector<std::pair<CameraCtrl, int>> FakeSensorState::controlWrites() const {
    std::lock_guard<std::mutex> lock(mutex);
    return writes;
}

void FakeSensorState::note(const char* op) {
    if (log) log->add(std::string("sensor.") + op);
}

int FakeSensorState::getFrame(int subFrameCount, uint8_t* data, uint64_t* timestamp) {
    std::unique_lock<std::mutex> lock(mutex);
    ++getFrameCalls;
    lastSubFrameCount = subFrameCount;
    if (frames.empty()) {
        ++idleEntries;
        eventCond.notify_all();
        auto ready = [this] { return !frames.empty(); };
        if (idleTimeout.count() <= 0) {
            fedCond.wait(lock, ready);
        } else if (!fedCond.wait_for(lock, idleTimeout, ready)) {
            ++idleTimeouts;
            return idleResult;
        }
    }
    FakeFrame frame = frames.front();
    frames.pop_front();
    size_t bytes = size_t(info.width) * info.height * size_t(subFrameCount > 0 ? subFrameCount : 0) * 2;
    lock.unlock();

    if (frame.result == 0) {
        std::memset(data, int(frame.timestamp & 0xff), bytes);
        if (bytes >= sizeof(frame.timestamp)) std::memcpy(data, &frame.timestamp, sizeof(frame.timestamp));
        *timestamp = frame.timestamp;
    }

    lock.lock();
    ++framesDelivered;
    eventCond.notify_all();
    return frame.result;
}

int FakeSensorState::setControl(CameraCtrl ctrl, int value) {
    std::lock_guard<std::mutex> lock(mutex);
    writes.emplace_back(ctrl, value);
    auto injected = setResults.find(ctrl);
    if (injected != setResults.end() && injected->second != 0) return injected->second;
    controls[ctrl] = value;
    return 0;
}

int FakeSensorState::getControl(CameraCtrl ctrl, int* value) {
    std::lock_guard<std::mutex> lock(mutex);
    ++controlReads;
    auto injected = getResults.find(ctrl);
    if (injected != getResults.end() && injected->second != 0) return injected->second;
    auto stored = controls.find(ctrl);
    if (stored == controls.end()) return 1;
    *value = stored->second;
    return 0;
}

FakeSensor::FakeSensor(uint32_t width, uint32_t height, std::shared_ptr<FakeSensorState> state)
    : shared(std::move(state)) {
    shared->setGeometry(width, height);
}

FakeSensor::~FakeSensor() {
    shared->note("destroy");
    shared->destroyed = true;
}

int FakeSensor::open(CameraInfo& info) {
    ++shared->opens;
    shared->note("open");
    int result = shared->openResult;
    if (result != 0) return result;
    std::lock_guard<std::mutex> lock(shared->mutex);
    info.width = shared->info.width;
    info.height = shared->info.height;
    info.bit_width = shared->info.bit_width;
    info.bpp = shared->info.bpp;
    shared->info = info;
    return 0;
}

int FakeSensor::close() {
    ++shared->closes;
    shared->note("close");
    return shared->closeResult;
}

int FakeSensor::start() {
    ++shared->starts;
    shared->note("start");
    return shared->startResult;
}

int FakeSensor::stop() {
    ++shared->stops;
    shared->note("stop");
    return shared->stopResult;
}

CameraInfo FakeSensor::getCameraInfo() {
    return shared->cameraInfo();
}

int FakeSensor::getFrame(uint8_t* data, uint64_t* timestamp) {
    return shared->getFrame(subFrameCount, data, timestamp);
}

int FakeSensor::setControl(CameraCtrl ctrl, int value) {
    return shared->setControl(ctrl, value);
}

int FakeSensor::getControl(CameraCtrl ctrl, int* value) {
    return shared->getControl(ctrl, value);
}

}  // namespace Zentrox
