#include "FakeDevice.h"

#include <algorithm>
#include <cstring>

namespace Zentrox {

void FakeDeviceState::setGeometry(OutputGeometry rawSize, OutputGeometry depthSize) {
    std::lock_guard<std::mutex> lock(mutex);
    raw = rawSize;
    depth = depthSize;
}

void FakeDeviceState::setControlValue(CameraCtrl ctrl, int value) {
    std::lock_guard<std::mutex> lock(mutex);
    controls[ctrl] = value;
}

int FakeDeviceState::controlValue(CameraCtrl ctrl) const {
    std::lock_guard<std::mutex> lock(mutex);
    auto stored = controls.find(ctrl);
    return stored == controls.end() ? -1 : stored->second;
}

void FakeDeviceState::setControlResult(CameraCtrl ctrl, int result) {
    std::lock_guard<std::mutex> lock(mutex);
    setResults[ctrl] = result;
}

void FakeDeviceState::getControlResult(CameraCtrl ctrl, int result) {
    std::lock_guard<std::mutex> lock(mutex);
    getResults[ctrl] = result;
}

std::vector<std::pair<CameraCtrl, int>> FakeDeviceState::controlWrites() const {
    std::lock_guard<std::mutex> lock(mutex);
    return writes;
}

std::vector<CameraCtrl> FakeDeviceState::controlReadsOf() const {
    std::lock_guard<std::mutex> lock(mutex);
    return reads;
}

int FakeDeviceState::readsOf(CameraCtrl ctrl) const {
    std::lock_guard<std::mutex> lock(mutex);
    return int(std::count(reads.begin(), reads.end(), ctrl));
}

int FakeDeviceState::writesOf(CameraCtrl ctrl) const {
    std::lock_guard<std::mutex> lock(mutex);
    return int(
        std::count_if(writes.begin(), writes.end(), [ctrl](const auto& w) { return w.first == ctrl; }));
}

std::vector<std::pair<CameraCtrl, std::string>> FakeDeviceState::textWrites() const {
    std::lock_guard<std::mutex> lock(mutex);
    return texts;
}

void FakeDeviceState::clearRecords() {
    std::lock_guard<std::mutex> lock(mutex);
    writes.clear();
    reads.clear();
    texts.clear();
}

void FakeDeviceState::failPhaseAt(uint64_t timestamp) {
    std::lock_guard<std::mutex> lock(mutex);
    failingStamps.insert(timestamp);
}

void FakeDeviceState::note(const char* op) {
    if (log) log->add(std::string("device.") + op);
}

int FakeDeviceState::setControl(CameraCtrl ctrl, int value) {
    std::lock_guard<std::mutex> lock(mutex);
    writes.emplace_back(ctrl, value);
    auto injected = setResults.find(ctrl);
    if (injected != setResults.end() && injected->second != 0) return injected->second;
    controls[ctrl] = value;
    return 0;
}

int FakeDeviceState::getControl(CameraCtrl ctrl, int* value) {
    std::lock_guard<std::mutex> lock(mutex);
    reads.push_back(ctrl);
    auto injected = getResults.find(ctrl);
    if (injected != getResults.end() && injected->second != 0) return injected->second;
    auto stored = controls.find(ctrl);
    if (stored == controls.end()) return 1;
    *value = stored->second;
    return 0;
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
    ++shared->opens;
    shared->note("open");
    sensor = bound;
    shared->boundSensor = bound;
    return shared->openResult;
}

int FakeDevice::close() {
    ++shared->closes;
    shared->note("close");
    return shared->closeResult;
}

int FakeDevice::prepare() {
    ++shared->prepares;
    shared->note("prepare");
    return shared->prepareResult;
}

int FakeDevice::start() {
    ++shared->starts;
    shared->note("start");
    return shared->startResult;
}

int FakeDevice::stop() {
    ++shared->stops;
    shared->note("stop");
    return shared->stopResult;
}

int FakeDevice::setControl(CameraCtrl ctrl, int value) {
    return shared->setControl(ctrl, value);
}

int FakeDevice::setControlExt(CameraCtrl ctrl, const char* value) {
    std::lock_guard<std::mutex> lock(shared->mutex);
    shared->texts.emplace_back(ctrl, value ? value : "(null)");
    return shared->textResult;
}

int FakeDevice::getControl(CameraCtrl ctrl, int* value) {
    return shared->getControl(ctrl, value);
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
