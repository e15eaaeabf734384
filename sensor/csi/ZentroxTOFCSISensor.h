// The sensor transport for a camera module on a MIPI CSI-2 port: Video4Linux2 capture through
// memory-mapped buffers, formats on the capture path's sub-devices, driver controls on the sensor's
// sub-device and the module's controller on the sensor's I2C bus. Every system call goes through
// the kernel seam.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "FrameConverters.h"
#include "KernelFd.h"
#include "MediaDiscovery.h"
#include "ZentroxModuleMemory.h"
#include "ZentroxTOFSensor.h"

struct v4l2_buffer;
struct v4l2_plane;

namespace Zentrox {

class ZentroxTOFCSISensor final : public ZentroxTOFSensor, public ZentroxModuleMemory {
  public:
    static constexpr int kBufferCount = 8;
    static constexpr uint16_t kModuleAddressDefault = 0x0c;

    ZentroxTOFCSISensor(const char* devicePath, int platform);
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

    // An ioctl made up to 5 times, retried only after EINTR, EAGAIN or ETIMEDOUT; 0 or -1.
    static int xioctl(int fd, unsigned long request, void* arg);

    // What the transport holds, for diagnostics.
    int videoDescriptor() const { return videoFd.get(); }
    int i2cDescriptor() const { return i2cFd.get(); }
    uint16_t i2cChipAddress() const { return i2cAddress; }
    const CsiPipeline& pipeline() const { return media; }
    uint32_t bufferType() const { return bufType; }
    FrameConverter frameConverter() const { return converter; }
    const char* path() const { return devicePath; }
    int mappedBuffers() const;

  private:
    // Waits (bounded) until the driver has a filled buffer to hand back; false otherwise.
    bool waitForBuffer();
    int configureFormat();
    int openI2cBus();
    // Unmaps every mapped buffer; the number of munmap calls that failed.
    int unmapBuffers();
    // Gives the driver's buffers back (count 0); the mappings must be gone first.
    int releaseDriverBuffers();
    void describeBuffer(::v4l2_buffer& buf, ::v4l2_plane* plane, uint32_t index) const;

    KernelFd videoFd;
    CsiPipeline media;
    KernelFd i2cFd;
    uint16_t i2cAddress = 0;
    std::unique_ptr<uint8_t[]> caliBuffer;
    std::atomic<int> frameRate{0};
    int inputIndex = 0;
    int platform;
    char devicePath[80] = {};
    uint32_t bufType;
    KernelMapping buffers[kBufferCount];
    CameraInfo info{};
    FrameConverter converter = copyFrame;
    // Geometry of the running stream, fixed by start: the camera sizes its frame buffer from it.
    uint32_t streamWidth = 0;
    uint32_t streamHeight = 0;
};

}  // namespace Zentrox
