#include "tests/fakes/FakeI2c.h"

#include <linux/i2c-dev.h>

#include <climits>
#include <cstring>

namespace Zentrox {

namespace {
constexpr uint32_t kMaxMessages = 42;  // I2C_RDWR_IOCTL_MAX_MSGS
constexpr uint16_t kMaxMessageLength = 8192;
}  // namespace

void FakeI2cAdapter::attach(uint16_t address, std::shared_ptr<FakeI2cChip> chip, bool boundToDriver) {
    chips[address] = std::move(chip);
    if (boundToDriver) bound.insert(address);
}

int FakeI2cAdapter::ioctl(FakeFile& file, unsigned long request, void* arg) {
    const unsigned long value = reinterpret_cast<uintptr_t>(arg);
    switch (request) {
        case I2C_FUNCS:
            *static_cast<unsigned long*>(arg) = funcs;
            return 0;
        case I2C_SLAVE:
        case I2C_SLAVE_FORCE:
            if (value > 0x7F) return -EINVAL;
            // A chip bound to a kernel driver is refused unless forced.
            if (request == I2C_SLAVE && bound.count(uint16_t(value))) return -EBUSY;
            slaveAddress[file.handle] = uint16_t(value);
            return 0;
        case I2C_TIMEOUT:
            if (value > INT_MAX) return -EINVAL;
            adapterTimeout = value;
            return 0;
        case I2C_RETRIES:
            if (value > INT_MAX) return -EINVAL;
            adapterRetries = value;
            return 0;
        case I2C_RDWR: {
            if (!(funcs & I2C_FUNC_I2C)) return -EOPNOTSUPP;
            auto* data = static_cast<i2c_rdwr_ioctl_data*>(arg);
            if (!data->msgs || data->nmsgs == 0 || data->nmsgs > kMaxMessages) return -EINVAL;
            for (uint32_t i = 0; i < data->nmsgs; ++i)
                if (data->msgs[i].len > kMaxMessageLength || !data->msgs[i].buf) return -EINVAL;
            uint16_t address = data->msgs[0].addr;
            for (uint32_t i = 1; i < data->nmsgs; ++i)
                if (data->msgs[i].addr != address) return -EREMOTEIO;  // one chip per transfer here
            auto chip = chips.find(address);
            int r = chip == chips.end() ? -ENXIO : chip->second->transfer(data->msgs, data->nmsgs);
            std::vector<I2cMessage> entry;
            for (uint32_t i = 0; i < data->nmsgs; ++i) {
                const i2c_msg& m = data->msgs[i];
                entry.push_back(I2cMessage{m.addr, m.flags, std::vector<uint8_t>(m.buf, m.buf + m.len)});
            }
            log.push_back(std::move(entry));
            return r < 0 ? r : int(data->nmsgs);
        }
        default:
            return -ENOTTY;
    }
}

FakeModuleController::FakeModuleController(const FakeKernel& k, size_t memorySize)
    : kernel(k), image(memorySize, 0xFF) {}

void FakeModuleController::storeCalibration(const std::vector<uint8_t>& blob) {
    if (image.size() < 80 + blob.size()) image.resize(80 + blob.size(), 0xFF);
    std::memcpy(image.data() + 80, blob.data(), blob.size());
}

std::vector<uint8_t> FakeModuleController::calibrationBlob(size_t total) {
    std::vector<uint8_t> blob(total < 2 ? 2 : total);
    for (size_t i = 2; i < blob.size(); ++i)
        blob[i] = uint8_t(i * 7 + 3);
    blob[0] = uint8_t(total);
    blob[1] = uint8_t(total >> 8);
    return blob;
}

int FakeModuleController::transfer(i2c_msg* m, uint32_t count) {
    if (m[0].flags & I2C_M_RD || m[0].len < 2 || m[0].buf[0] != 0x06) return -EREMOTEIO;
    const uint8_t* w = m[0].buf;
    const uint8_t command = w[1];
    if (count == 1 && command == 0x33 && m[0].len == 6) {
        rate = uint32_t(w[2]) << 24 | uint32_t(w[3]) << 16 | uint32_t(w[4]) << 8 | w[5];
        if (onFrameRate) onFrameRate(rate);
        return 0;
    }
    if (count == 1 && command == 0x31 && m[0].len == 6) {
        pending = true;
        pendingOffset = uint16_t(w[2] << 8 | w[3]);
        pendingLength = uint16_t(w[4] << 8 | w[5]);
        readyAtNs = kernel.clockNs() + kFetchNs;
        ++blockRequests;
        return 0;
    }
    if (count == 2 && command == 0x32 && m[0].len == 2 && (m[1].flags & I2C_M_RD)) {
        if (!pending) return -EREMOTEIO;
        if (kernel.clockNs() < readyAtNs) {
            // The controller is still fetching the block and does not answer.
            ++tooEarly;
            return -EREMOTEIO;
        }
        for (uint16_t i = 0; i < m[1].len; ++i) {
            size_t at = size_t(pendingOffset) + i;
            m[1].buf[i] = i < pendingLength && at < image.size() ? image[at] : 0xFF;
        }
        return 0;
    }
    return -EREMOTEIO;
}

}  // namespace Zentrox
