// The sensor transport for a camera module on a MIPI CSI-2 port, composed of the kernel nodes it
// drives: the capture node (Video4Linux2 capture through memory-mapped buffers), the sub-devices of
// the capture path found through the media graph (formats, and the sensor's driver controls) and
// the module's controller on the sensor's I2C bus. Every system call goes through one kernel seam,
// the process-wide one unless another is given.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "sensor/ZentroxModuleMemory.h"
#include "sensor/ZentroxTOFSensor.h"
#include "sensor/csi/CaptureNode.h"
#include "sensor/csi/FrameConverters.h"
#include "sensor/csi/MediaDiscovery.h"
#include "sensor/csi/ModuleController.h"

namespace Zentrox {

class ZentroxTOFCSISensor final : public ZentroxTOFSensor, public ZentroxModuleMemory {
  public:
    static constexpr int kBufferCount = CaptureNode::kBufferCount;
    static constexpr uint16_t kModuleAddressDefault = 0x0c;

    ZentroxTOFCSISensor(const char* devicePath, int platform, KernelSeam& seam = kernel());
    // Releases whatever `close` was not called for.
    ~ZentroxTOFCSISensor() override;

    int open(CameraInfo& info) override;
    int close() override;
    int start() override;
    int stop() override;
    CameraInfo getCameraInfo() override;
    int getFrame(uint8_t* data, uint64_t* timestamp) override;
    int setControl(CameraCtrl ctrl, int value) override;
    int getControl(CameraCtrl ctrl, int* value) override;

    int readDataBlock(uint16_t offset, uint8_t* dst) override;
    uint8_t* calibrationBuffer() override { return caliBuffer.get(); }

    // What the transport holds, for diagnostics.
    int videoDescriptor() const { return capture.descriptor(); }
    int i2cDescriptor() const { return module.descriptor(); }
    uint16_t i2cChipAddress() const { return module.address(); }
    const CsiPipeline& pipeline() const { return media; }
    uint32_t bufferType() const { return capture.bufferType(); }
    FrameConverter frameConverter() const { return converter; }
    const char* path() const { return devicePath; }
    int mappedBuffers() const { return capture.mappedBuffers(); }

  private:
    int configureFormat();

    KernelSeam& seam;
    CaptureNode capture;
    CsiPipeline media;
    ModuleController module;
    std::unique_ptr<uint8_t[]> caliBuffer;
    std::atomic<int> frameRate{0};
    int inputIndex = 0;
    int platform;
    char devicePath[80] = {};
    CameraInfo info{};
    FrameConverter converter = copyFrame;
    // Geometry of the running stream, fixed by start: the camera sizes its frame buffer from it.
    uint32_t streamWidth = 0;
    uint32_t streamHeight = 0;
};

}  // namespace Zentrox
