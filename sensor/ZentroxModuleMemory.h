// Access to the camera module's own memory (calibration data) over the CSI transport's side channel.
// Only the CSI transport implements it; a device asks for it with dynamic_cast on its sensor.
#pragma once

#include <cstdint>

namespace Zentrox {

class ZentroxModuleMemory {
public:
    static constexpr int kBlockSize = 512;
    static constexpr int kCalibrationCapacity = 16384;

    virtual ~ZentroxModuleMemory() = default;
    // Reads one 512-byte block of module data at `offset` into `dst`; 0, or -2 on a failed transfer.
    virtual int readDataBlock(uint16_t offset, uint8_t* dst) = 0;
    // The 16384-byte calibration buffer owned by the transport between open and close; null otherwise.
    virtual uint8_t* calibrationBuffer() = 0;
};

}  // namespace Zentrox
