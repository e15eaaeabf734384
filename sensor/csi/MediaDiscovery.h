// Walk from a capture node to its media-controller graph: open the receiver (on boards that put one
// in front of the capture node) and the sensor sub-devices, and find the sensor's I2C bus.
#pragma once

#include <cstdint>

#include "sensor/csi/SubDevice.h"
#include "system/KernelFd.h"

namespace Zentrox {

// What discovery found for one capture node. Slots are filled in the order entities are found.
struct CsiPipeline {
    static constexpr int kMaxSubdevices = 4;

    SubDevice subdevFds[kMaxSubdevices];
    uint8_t subdevIndex = 0;   // slot of the sensor's own sub-device
    uint8_t subdevCount = 0;   // filled slots
    bool sensorFound = false;  // the sensor's sub-device is open in slot subdevIndex
    char i2cBusName[8] = {};   // the sensor's I2C bus as text ("4", "10", or an adapter name)
    char mediaPath[80] = {};   // "/dev/mediaN" of the graph

    // The sensor's sub-device, -1 when it was not opened: slot 0 then holds a receiver, if anything,
    // which must not stand in for the sensor.
    int sensorFd() const { return sensorFound ? subdevFds[subdevIndex].get() : -1; }
    // The sensor's sub-device; one that holds nothing when it was not opened.
    SubDevice& sensor() { return sensorFound ? subdevFds[subdevIndex] : noSensor; }
    // Closes the sub-devices in slot order and forgets everything found.
    void reset();

  private:
    SubDevice noSensor;
};

// Fills `pipeline` from the graph of the capture node open on `videoFd`. Never fails as such:
// whatever could not be found keeps its initial value. The media node is closed on return.
// Every call goes through `seam`, and the descriptors found keep it.
void findSubdevices(CsiPipeline& pipeline, int videoFd, int platform, KernelSeam& seam = kernel());

}  // namespace Zentrox
