// Sensor doubles for the VGA device: a transport that records the controls it is sent and answers
// from a table, and one that also has module memory (as only the CSI transport does), with a memory
// image, a log of block reads and failures on chosen offsets.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "sensor/ZentroxModuleMemory.h"
#include "sensor/ZentroxTOFSensor.h"

namespace Zentrox {

class RecordingVgaSensor : public ZentroxTOFSensor {
  public:
    int open(CameraInfo& info) override;
    int close() override { return 0; }
    int start() override { return 0; }
    int stop() override { return 0; }
    CameraInfo getCameraInfo() override { return info; }
    // Copies `frame` (when set) into data; -1 when there is none.
    int getFrame(uint8_t* data, uint64_t* timestamp) override;
    int setControl(CameraCtrl ctrl, int value) override;
    int getControl(CameraCtrl ctrl, int* value) override;

    CameraInfo info{};
    std::vector<uint8_t> frame;
    std::vector<std::pair<CameraCtrl, int>> sets;    // every setControl, in order
    std::map<CameraCtrl, int> setResults;            // result of setControl; 0 when absent
    std::map<CameraCtrl, std::pair<int, int>> gets;  // getControl: (result, value); 4 when absent
    int getCalls = 0;
};

class ModuleMemorySensor : public RecordingVgaSensor, public ZentroxModuleMemory {
  public:
    ModuleMemorySensor();
    int readDataBlock(uint16_t offset, uint8_t* dst) override;
    uint8_t* calibrationBuffer() override { return bufferAvailable ? buffer.data() : nullptr; }

    // Puts `bytes` into the memory image at `offset` (the calibration lives at 80).
    void store(const std::vector<uint8_t>& bytes, uint32_t offset = 80);
    // Writes only the little-endian length word at 80.
    void storeLength(uint16_t length);

    std::vector<uint8_t> memory;  // 64 KiB, addressed by 16-bit offsets
    std::vector<uint8_t> buffer;  // the 16384-byte calibration buffer
    bool bufferAvailable = true;
    std::vector<uint16_t> reads;     // offsets of every readDataBlock, in order
    std::set<uint16_t> failOffsets;  // reads at these offsets fail with -2
};

}  // namespace Zentrox
