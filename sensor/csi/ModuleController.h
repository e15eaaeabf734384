// The module's controller on the sensor's I2C bus: the bus opened once, the chip address, and the
// commands the transport sends it (frame rate, blocks of the module's memory).
#pragma once

#include <cstdint>

#include "system/KernelFd.h"

namespace Zentrox {

class ModuleController {
  public:
    explicit ModuleController(KernelSeam& seam) : seam(seam) {}
    ModuleController(const ModuleController&) = delete;
    ModuleController& operator=(const ModuleController&) = delete;

    // Opens the bus named by `busText` (a number or an adapter name) and checks that it carries
    // plain I2C transfers; 0, or -2 after a message.
    int open(const char* busText);
    void close() { fd.reset(); }
    int descriptor() const { return fd.get(); }
    uint16_t address() const { return chip; }

    // 0, or -2 when the transfer did not complete.
    int setFrameRate(uint32_t frameRate);
    // Asks for the 512-byte block at `offset`, waits the 100 ms the controller needs to fetch it
    // from its memory, and reads it into `dst`; 0, or -2.
    int readBlock(uint16_t offset, uint8_t* dst);

  private:
    KernelSeam& seam;
    KernelFd fd;
    uint16_t chip = 0;
};

}  // namespace Zentrox
