// Board profiles: everything the CSI transport meets on a Jetson, a Raspberry Pi, a Raspberry Pi 5,
// a Radxa ROCK or an unknown board, built into a fake kernel: device-tree model, capture node,
// media graph with the board's receiver and the module's sensor sub-device, the sysfs links the
// kernel writes, the I2C adapters with the module's controller at 0x0c, and /proc/mounts.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ZentroxPhaseEncoding.h"
#include "ZentroxScene.h"
#include "tests/fakes/FakeCaptureNode.h"
#include "tests/fakes/FakeI2c.h"
#include "tests/fakes/FakeKernel.h"
#include "tests/fakes/FakeMediaGraph.h"

namespace Zentrox {

struct BoardOptions {
    int videoIndex = 0;
    bool captureNode = true;        // false: the capture node is provided by another seam
    bool legacyProcBusI2c = false;  // also describe the adapters in /proc/bus/i2c
    bool classNameFiles = true;     // class/i2c-dev/i2c-N/name present
    std::string sensorName;         // replaces the profile's sensor entity name
    uint32_t width = 240, height = 180;
    Scene scene = Scene::builtIn();  // what the module looks at
    double fieldOfView = 70.0;       // horizontal, degrees
};

// The camera module's own state, shared by its sub-device, its controller and the frames.
struct FakeModuleState {
    bool shortRange = false;  // range control 1: 2 m at 75 MHz
    int32_t exposure = 500;
    uint32_t frameRate = 0;
};

struct FakeBoard {
    FakeBoard(FakeKernel& kernel, int platform, BoardOptions options = {});
    // The nodes' callbacks refer to this board.
    FakeBoard(const FakeBoard&) = delete;
    FakeBoard& operator=(const FakeBoard&) = delete;

    // The range and exposure controls of the sensor sub-device.
    static constexpr uint32_t kRangeControl = 0x00981901;

    FakeKernel& kernel;
    int platform;
    BoardOptions options;
    std::string model;      // device-tree model text, empty for none
    std::string videoPath;  // /dev/videoN
    std::string mediaPath;  // /dev/mediaN
    std::string sensorEntity;
    std::string busText;  // the bus part of the sensor entity's name
    int bus = -1;         // the sensor's I2C bus number
    std::shared_ptr<FakeCaptureNode> capture;
    std::shared_ptr<FakeMediaDevice> media;
    std::shared_ptr<FakeSubdevice> sensor;
    std::shared_ptr<FakeSubdevice> receiver;  // null on boards without one
    std::vector<std::shared_ptr<FakeSubdevice>> otherSubdevices;
    std::shared_ptr<FakeI2cAdapter> i2c;  // the sensor's bus
    std::vector<std::shared_ptr<FakeI2cAdapter>> otherAdapters;
    std::shared_ptr<FakeModuleController> controller;
    FakeModuleState module;
    // The scene as the module's 240 x 180 pixels see it, and its phase images for both ranges.
    struct RenderedScene {
        SceneMap map;
        PhaseEncoder encoders[2];  // [0] 4 m, [1] 2 m
    };
    std::shared_ptr<const RenderedScene> rendered;
    const SceneMap& sceneMap() const { return rendered->map; }
    const PhaseEncoder& encoder(bool shortRange) const { return rendered->encoders[shortRange ? 1 : 0]; }

    // Adds an I2C adapter: /dev/i2c-N, its sysfs directory and class/i2c-dev entry.
    std::shared_ptr<FakeI2cAdapter> addAdapter(int number, const std::string& name, unsigned long funcs,
                                               const std::string& parent);
    // Rewrites /proc/bus/i2c from the adapters added so far (legacy kernels).
    void writeProcBusI2c();

  private:
    struct AdapterRecord {
        int number;
        std::string name;
        unsigned long funcs;
    };
    void addSubdevNode(uint32_t minor, const std::string& sysfsDir, int index,
                       std::shared_ptr<FakeSubdevice> node);
    void addVideoNode(uint32_t minor, const std::string& deviceDir,
                      const std::vector<std::string>& deviceEntries);
    void wireCapture();
    std::vector<AdapterRecord> adapters;
    std::vector<uint8_t> scratch;
};

const char* platformName(int platform);

}  // namespace Zentrox
