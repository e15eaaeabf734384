// The I2C side channel of the CSI transport: finding and opening the sensor's bus, the exported
// utility functions, and the commands of the module's controller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ZentroxTypes.h"
#include "system/KernelSeam.h"

namespace Zentrox {

// Exported with C linkage under these exact names. Failures print one line on standard error.
extern "C" {
// Writes "/dev/i2c-<bus>" into `filename` (at most `size` bytes) and opens it read-write.
ZENTROX_API int i2c_open_i2c_dev(int bus, char* filename, size_t size, int quiet);
// The adapter's functionality mask into *funcs; 0, or -errno.
ZENTROX_API int i2c_get_functionality(int fd, unsigned long* funcs);
// Binds a chip address to the descriptor (forcibly when `force` is non-zero); 0, or -errno.
ZENTROX_API int i2c_set_slave_addr(int fd, int address, int force);
// Adapter time-out in units of 10 ms (3 when `timeout` is 0); 0, or -errno.
ZENTROX_API int i2c_set_adapter_timeout(int fd, int timeout);
// Adapter retry count (2 when `retries` is 0); 0, or -errno.
ZENTROX_API int i2c_set_adapter_retries(int fd, int retries);
}

// The first two utilities through a given seam; the exported ones use the process-wide seam.
int openI2cDevice(KernelSeam& seam, int bus, char* filename, size_t size, int quiet);
int queryFunctionality(KernelSeam& seam, int fd, unsigned long* funcs);

// One adapter present on the system. A list ends with an entry whose `name` is null.
struct i2c_adapter_info {
    int bus;
    char* name;         // owned by the list
    const char* funcs;  // kind of adapter
    const char* algo;   // description of the kind
};

// Adapters from /proc/bus/i2c, or else from sysfs class/i2c-dev; null when memory runs out.
i2c_adapter_info* i2c_list_adapters(KernelSeam& seam = kernel());
void i2c_release_adapter_list(i2c_adapter_info* list);
// Bus number of a bus text: a number (decimal, 0x-hex, 0-octal) or an adapter name; negative
// (-1 no match, -2 out of range, -3 out of memory, -4 name not unique) after a message.
int i2c_find_bus(const char* text, KernelSeam& seam = kernel());
// A 7-bit chip address from text; -1 not a number, -2 outside 0x03..0x77, after a message.
int i2c_parse_chip_address(const char* text);

// Commands of the module's controller, each one I2C_RDWR transfer; 0, or -2 when the transfer
// did not complete.
namespace ModuleCommand {
constexpr uint16_t kBlockLength = 512;
int setFrameRate(int fd, uint16_t address, uint32_t frameRate, KernelSeam& seam = kernel());
int requestDataBlock(int fd, uint16_t address, uint16_t offset, KernelSeam& seam = kernel());
int readDataBlock(int fd, uint16_t address, uint8_t* dst, KernelSeam& seam = kernel());
}  // namespace ModuleCommand

}  // namespace Zentrox
