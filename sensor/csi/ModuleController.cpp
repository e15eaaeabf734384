#include "sensor/csi/ModuleController.h"

#include <linux/i2c.h>

#include <cstdio>

#include "sensor/csi/I2cAccess.h"
#include "system/KernelStatus.h"
#include "system/Sleep.h"

namespace Zentrox {

int ModuleController::open(const char* busText) {
    int bus = i2c_find_bus(busText, seam);
    if (bus < 0) return -2;
    char name[20];
    fd = KernelFd(openI2cDevice(seam, bus, name, sizeof name, 0), seam);
    if (!fd.valid()) return -2;
    unsigned long funcs = 0;
    if (int r = queryFunctionality(seam, fd.get(), &funcs); r < 0)
        return statusFromErrno(r, KernelRequest::DEVICE);
    if (!(funcs & I2C_FUNC_I2C)) {
        std::fprintf(stderr, "Error: Adapter does not have %s capability\n", "I2C transfers");
        return -2;
    }
    chip = uint16_t(i2c_parse_chip_address("0x0c"));
    return 0;
}

int ModuleController::setFrameRate(uint32_t frameRate) {
    return statusFromErrno(ModuleCommand::setFrameRate(fd.get(), chip, frameRate, seam),
                           KernelRequest::DEVICE);
}

int ModuleController::readBlock(uint16_t offset, uint8_t* dst) {
    if (!dst) return -2;
    if (int r = ModuleCommand::requestDataBlock(fd.get(), chip, offset, seam); r != 0)
        return statusFromErrno(r, KernelRequest::DEVICE);
    sleepFully(timespec{0, 100 * 1000 * 1000}, seam);
    return ModuleCommand::readDataBlock(fd.get(), chip, dst, seam);
}

}  // namespace Zentrox
