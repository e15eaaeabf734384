// The I2C bus text (a number or an adapter name) and the chip address text: any bytes. A name is
// looked up in a /proc/bus/i2c made of the rest of the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzKernel.h"
#include "sensor/csi/I2cAccess.h"

using namespace Zentrox;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    std::string busText = input.ConsumeRandomLengthString(64);
    std::string chipText = input.ConsumeRandomLengthString(32);
    Fuzz::FuzzKernel fake;
    fake.files["/proc/bus/i2c"] = input.ConsumeRemainingBytesAsString();

    ScopedKernel scope(fake);
    const int bus = i2c_find_bus(busText.c_str());
    // A bus number is never above 0xFFFFF; failures are the four documented codes.
    if (bus > 0xFFFFF || bus < -4) __builtin_trap();
    const int address = i2c_parse_chip_address(chipText.c_str());
    if (!(address == -1 || address == -2 || (address >= 0x03 && address <= 0x77))) __builtin_trap();
    fake.requireNoLeaks();
    return 0;
}
