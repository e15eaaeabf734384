#include "tests/fakes/FakeDevice.h"

#include <algorithm>
#include <cstring>

namespace Zentrox {

void FakeDeviceState::setGeometry(OutputGeometry rawSize, OutputGeometry depthSize) {
    std::lock_guard<std::mutex> lock(mutex);
    raw = rawSize;
    depth = depthSize;
}

std::vector<std::pair<CameraCtrl, std::string>> FakeDeviceState::textWrites() const {
    std::lock_guard<std::mutex> lock(mutex);
    return texts;
}

void FakeDeviceState::clearRecords() {
    clearControlRecords();
    std::lock_guard<std::mutex> lock(mutex);
    texts.clear();
}

void FakeDeviceState::failPhaseAt(uint64_t timestamp) {
    std::lock_guard<std::mutex> lock(mutex);
    failingStamps.insert(timestamp);
}

float FakeDevice::planeValue(FrameType plane, uint64_t stamp) {
    // Negative amplitude and a half-step confidence: neither can equal the depth, nor each other.
    if (plane == FrameType::AMPLITUDE) return -float(stamp) - 1.0f;
    if (plane == FrameType::CONFIDENCE) return float(stamp) + 0.5f;
    return float(stamp);
}

FakeDevice::FakeDevice(std::shared_ptr<FakeDeviceState> state, int platform)
    : ZentroxDevice(platform), shared(std::move(state)) {}

FakeDevice::~FakeDevice() {
    shared->note("destroy");
    shared->destroyed = true;
}

void FakeDevice::getFrameFormat(OutputGeometry& raw, OutputGeometry& depth) {
    ++shared->frameFormats;
    std::lock_guard<std::mutex> lock(shared->mutex);
    raw = shared->raw;
    depth = shared->depth;
}

int FakeDevice::open(ZentroxTOFSensor* bound) {
    sensor = bound;
    shared->boundSensor = bound;
    return shared->lifecycle(shared->opens, "open", shared->openResult);
}

int FakeDevice::setControlExt(CameraCtrl ctrl, const char* value) {
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->texts.emplace_back(ctrl, value ? value : "(null)");
    return shared->textResult;
}

int FakeDevice::getControlExt(CameraCtrl, const char**) {
    ++shared->textReads;
    return 1;
}

bool FakeDevice::getRawImages(const uint8_t* frame, int16_t* raw) {
    ++shared->rawConversions;
    OutputGeometry size;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        size = shared->raw;
    }
    std::memcpy(raw, frame, size_t(size.width) * size.height * 2);
    uint64_t stamp = 0;
    if (size_t(size.width) * size.height * 2 >= sizeof(stamp)) std::memcpy(&stamp, frame, sizeof(stamp));
    shared->lastConvertedStamp = stamp;
    return shared->rawResult;
}

bool FakeDevice::getPhaseImage(const uint8_t* frame, float* depth, float* amplitude, float* confidence) {
    ++shared->phaseConversions;
    OutputGeometry rawSize, depthSize;
    bool fail = false;
    uint64_t stamp = 0;
    size_t rawBytes = 0;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        rawSize = shared->raw;
        depthSize = shared->depth;
        rawBytes = size_t(rawSize.width) * rawSize.height * 2;
        if (rawBytes >= sizeof(stamp)) std::memcpy(&stamp, frame, sizeof(stamp));
        fail = shared->failingStamps.count(stamp) != 0;
    }
    // Read every raw byte, as a depth computation does.
    uint32_t sum = 0;
    for (size_t i = 0; i < rawBytes; ++i)
        sum += frame[i];
    shared->lastChecksum = sum;
    size_t n = size_t(depthSize.width) * depthSize.height;
    std::fill(depth, depth + n, planeValue(FrameType::DEPTH, stamp));
    std::fill(amplitude, amplitude + n, planeValue(FrameType::AMPLITUDE, stamp));
    std::fill(confidence, confidence + n, planeValue(FrameType::CONFIDENCE, stamp));
    shared->lastConvertedStamp = stamp;
    return shared->phaseResult && !fail;
}

}  // namespace Zentrox
