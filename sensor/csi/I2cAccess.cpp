#include "sensor/csi/I2cAccess.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "system/KernelIoctl.h"

namespace Zentrox {

namespace {

// Value arguments of the adapter ioctls travel in the argument word itself.
void* valueArgument(long value) {
    return reinterpret_cast<void*>(static_cast<intptr_t>(value));
}

// One I2C_RDWR call carrying `count` messages; 0 when all of them went through.
int transfer(KernelSeam& seam, int fd, i2c_msg* messages, uint32_t count) {
    if (fd < 0) return -2;
    i2c_rdwr_ioctl_data data{messages, count};
    int r = kernelIoctl(seam, fd, I2C_RDWR, &data, Retry::ONCE);
    return r >= 0 && uint32_t(r) >= count ? 0 : -2;
}

}  // namespace

int openI2cDevice(KernelSeam& seam, int bus, char* filename, size_t size, int quiet) {
    char fallback[20];
    if (!filename || size == 0) {
        filename = fallback;
        size = sizeof fallback;
    }
    std::snprintf(filename, size, "/dev/i2c-%d", bus);
    int fd = seam.open(filename, O_RDWR);
    if (fd < 0 && !quiet) {
        int error = errno;
        if (error == ENOENT) {
            std::fprintf(stderr, "Error: Could not open file `/dev/i2c-%d': %s\n", bus, std::strerror(error));
        } else {
            std::fprintf(stderr, "Error: Could not open file `%s': %s\n", filename, std::strerror(error));
            if (error == EACCES) std::fprintf(stderr, "Run as root?\n");
        }
        errno = error;
    }
    return fd;
}

int queryFunctionality(KernelSeam& seam, int fd, unsigned long* funcs) {
    if (int r = kernelIoctl(seam, fd, I2C_FUNCS, funcs, Retry::ONCE); r < 0) {
        std::fprintf(stderr, "Error: Could not get adapter functionality: %s\n", std::strerror(-r));
        return r;
    }
    return 0;
}

extern "C" {

int i2c_open_i2c_dev(int bus, char* filename, size_t size, int quiet) {
    return openI2cDevice(kernel(), bus, filename, size, quiet);
}

int i2c_get_functionality(int fd, unsigned long* funcs) {
    return queryFunctionality(kernel(), fd, funcs);
}

int i2c_set_slave_addr(int fd, int address, int force) {
    if (int r = kernelIoctl(kernel(), fd, force ? I2C_SLAVE_FORCE : I2C_SLAVE, valueArgument(address),
                            Retry::ONCE);
        r < 0) {
        int error = -r;
        std::fprintf(stderr, "Error: Could not set address to 0x%02x: %s\n", address, std::strerror(error));
        return -error;
    }
    return 0;
}

int i2c_set_adapter_timeout(int fd, int timeout) {
    if (int r = kernelIoctl(kernel(), fd, I2C_TIMEOUT, valueArgument(timeout ? timeout : 3), Retry::ONCE);
        r < 0) {
        int error = -r;
        std::fprintf(stderr, "Error: Could not set timeout to %d: %s\n", timeout, std::strerror(error));
        return -error;
    }
    return 0;
}

int i2c_set_adapter_retries(int fd, int retries) {
    if (int r = kernelIoctl(kernel(), fd, I2C_RETRIES, valueArgument(retries ? retries : 2), Retry::ONCE);
        r < 0) {
        int error = -r;
        std::fprintf(stderr, "Error: Could not set retries to %d: %s\n", retries, std::strerror(error));
        return -error;
    }
    return 0;
}

}  // extern "C"

namespace ModuleCommand {

int setFrameRate(int fd, uint16_t address, uint32_t frameRate, KernelSeam& seam) {
    uint8_t command[6] = {0x06,
                          0x33,
                          uint8_t(frameRate >> 24),
                          uint8_t(frameRate >> 16),
                          uint8_t(frameRate >> 8),
                          uint8_t(frameRate)};
    i2c_msg message{address, 0, sizeof command, command};
    return transfer(seam, fd, &message, 1);
}

int requestDataBlock(int fd, uint16_t address, uint16_t offset, KernelSeam& seam) {
    uint8_t command[6] = {
        0x06, 0x31, uint8_t(offset >> 8), uint8_t(offset), uint8_t(kBlockLength >> 8), uint8_t(kBlockLength)};
    i2c_msg message{address, 0, sizeof command, command};
    return transfer(seam, fd, &message, 1);
}

int readDataBlock(int fd, uint16_t address, uint8_t* dst, KernelSeam& seam) {
    uint8_t command[2] = {0x06, 0x32};
    i2c_msg messages[2] = {{address, 0, sizeof command, command}, {address, I2C_M_RD, kBlockLength, dst}};
    return transfer(seam, fd, messages, 2);
}

}  // namespace ModuleCommand

}  // namespace Zentrox
