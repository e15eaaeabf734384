#include "tests/fakes/ModuleMemorySensor.h"

#include "tests/fakes/ReportGeometry.h"

#include <algorithm>
#include <cstring>

namespace Zentrox {

int RecordingVgaSensor::open(CameraInfo& out) {
    reportGeometry(info, out);
    return 0;
}

int RecordingVgaSensor::getFrame(uint8_t* data, uint64_t* timestamp) {
    if (frame.empty()) return -1;
    std::memcpy(data, frame.data(), frame.size());
    if (timestamp) *timestamp = 0;
    return 0;
}

int RecordingVgaSensor::setControl(CameraCtrl ctrl, int value) {
    sets.emplace_back(ctrl, value);
    auto it = setResults.find(ctrl);
    return it == setResults.end() ? 0 : it->second;
}

int RecordingVgaSensor::getControl(CameraCtrl ctrl, int* value) {
    ++getCalls;
    auto it = gets.find(ctrl);
    if (it == gets.end()) return 4;
    *value = it->second.second;
    return it->second.first;
}

ModuleMemorySensor::ModuleMemorySensor() : memory(65536, 0), buffer(kCalibrationCapacity, 0) {}

int ModuleMemorySensor::readDataBlock(uint16_t offset, uint8_t* dst) {
    reads.push_back(offset);
    if (failOffsets.count(offset)) return -2;
    const size_t available = std::min<size_t>(kBlockSize, memory.size() - offset);
    std::memcpy(dst, memory.data() + offset, available);
    std::memset(dst + available, 0, kBlockSize - available);
    return 0;
}

void ModuleMemorySensor::store(const std::vector<uint8_t>& bytes, uint32_t offset) {
    std::copy(bytes.begin(), bytes.end(), memory.begin() + offset);
}

void ModuleMemorySensor::storeLength(uint16_t length) {
    memory[80] = uint8_t(length);
    memory[81] = uint8_t(length >> 8);
}

}  // namespace Zentrox
