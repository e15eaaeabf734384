#include "tests/fakes/FakeSensor.h"

#include "tests/fakes/ReportGeometry.h"

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

FakeSensor::FakeSensor(uint32_t width, uint32_t height, std::shared_ptr<FakeSensorState> state)
    : shared(std::move(state)) {
    shared->setGeometry(width, height);
}

FakeSensor::~FakeSensor() {
    shared->note("destroy");
    shared->destroyed = true;
}

int FakeSensor::open(CameraInfo& info) {
    int result = shared->lifecycle(shared->opens, "open", shared->openResult);
    if (result != 0) return result;
    std::lock_guard<std::mutex> lock(shared->mutex);
    reportGeometry(shared->info, info);
    shared->info = info;
    return 0;
}

}  // namespace Zentrox
