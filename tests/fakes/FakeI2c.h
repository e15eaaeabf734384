// An I2C adapter character device (/dev/i2c-N) with chips on its bus, and the camera module's
// controller: frame-rate command, and data blocks fetched from its memory image, ready 100 ms
// (on the fake clock) after they were requested.
#pragma once

#include <linux/i2c.h>
#include <sys/sysmacros.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "tests/fakes/FakeKernel.h"

namespace Zentrox {

// One message of a transfer as the chip saw it.
struct I2cMessage {
    uint16_t address;
    uint16_t flags;
    std::vector<uint8_t> bytes;  // written bytes, or the bytes a read returned
};

class FakeI2cChip {
  public:
    virtual ~FakeI2cChip() = default;
    // Serves the messages of one combined transfer; 0, or -errno (a NACK).
    virtual int transfer(i2c_msg* messages, uint32_t count) = 0;
};

class FakeI2cAdapter : public FakeNode {
  public:
    FakeI2cAdapter(dev_t rdev, unsigned long funcs) : device(rdev), funcs(funcs) {}
    dev_t rdev() const override { return device; }
    int ioctl(FakeFile& file, unsigned long request, void* arg) override;
    void closed(FakeFile& file) override { slaveAddress.erase(file.handle); }

    void attach(uint16_t address, std::shared_ptr<FakeI2cChip> chip, bool boundToDriver);
    unsigned long functionality() const { return funcs; }
    void setFunctionality(unsigned long f) { funcs = f; }
    unsigned long timeout() const { return adapterTimeout; }
    unsigned long retries() const { return adapterRetries; }
    // Every message of every transfer, in order (reads with what they returned).
    const std::vector<std::vector<I2cMessage>>& transfers() const { return log; }
    void clearLog() { log.clear(); }

  private:
    dev_t device;
    unsigned long funcs;
    std::map<uint16_t, std::shared_ptr<FakeI2cChip>> chips;
    std::set<uint16_t> bound;
    std::map<uint64_t, uint16_t> slaveAddress;
    unsigned long adapterTimeout = 100, adapterRetries = 0;
    std::vector<std::vector<I2cMessage>> log;
};

class FakeModuleController : public FakeI2cChip {
  public:
    static constexpr uint64_t kFetchNs = 100ull * 1000 * 1000;

    explicit FakeModuleController(const FakeKernel& kernel, size_t memorySize = 65536);
    int transfer(i2c_msg* messages, uint32_t count) override;

    std::vector<uint8_t>& memory() { return image; }
    // Stores calibration data verbatim at offset 80, where the transport reads it from. Its first
    // two bytes are its total length, little-endian (see calibrationBlob).
    void storeCalibration(const std::vector<uint8_t>& blob);
    // A deterministic blob of `total` bytes (at least 2) that starts with its own length.
    static std::vector<uint8_t> calibrationBlob(size_t total);
    uint32_t frameRate() const { return rate; }
    void setFrameRateListener(std::function<void(uint32_t)> listener) { onFrameRate = std::move(listener); }
    int requests() const { return blockRequests; }
    int earlyReads() const { return tooEarly; }

  private:
    const FakeKernel& kernel;
    std::vector<uint8_t> image;
    uint32_t rate = 0;
    bool pending = false;
    uint16_t pendingOffset = 0, pendingLength = 0;
    uint64_t readyAtNs = 0;
    int blockRequests = 0;
    int tooEarly = 0;
    std::function<void(uint32_t)> onFrameRate;
};

}  // namespace Zentrox
