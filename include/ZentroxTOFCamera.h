// ZentroxTOFCamera: the one class through which client code drives a Zentrox time-of-flight camera.
//
//   Zentrox::ZentroxTOFCamera cam;
//   cam.open(Zentrox::Connection::USB, 0);
//   cam.start(Zentrox::FrameType::DEPTH);
//   Zentrox::ZentroxFrameBuffer* frame = cam.requestFrame(200);
//   ... frame->getData(Zentrox::FrameType::DEPTH) ...
//   cam.releaseFrame(frame);
//   cam.stop();
//   cam.close();
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "ZentroxTypes.h"

namespace Zentrox {

class ZentroxTOFSensor;
class ZentroxDevice;
class FramePool;
struct LinkNode;
class CameraClock;

// Size record of one output, filled by the device.
struct OutputGeometry {
    uint32_t tag;
    uint32_t width;
    uint32_t height;
};

// Abstract frame buffer handed to the caller by requestFrame. The pool owns it.
class ZENTROX_API ZentroxFrameBuffer {
  public:
    virtual ~ZentroxFrameBuffer();
    virtual void setTimestamp(uint64_t timestamp) = 0;
    virtual void* getData(FrameType type) = 0;
    virtual int getFormat(FrameType type, FrameDataFormat& out) = 0;
};

class ZENTROX_API ZentroxTOFCamera {
  public:
    ZentroxTOFCamera();
    ~ZentroxTOFCamera();
    ZentroxTOFCamera(const ZentroxTOFCamera&) = delete;
    ZentroxTOFCamera& operator=(const ZentroxTOFCamera&) = delete;

    // Opening and device selection.
    int open(Connection connection, int index);
    int openWithFile(const char* path, int index);
    int openPostHandle();

    // Lifecycle.
    int start(FrameType type);
    int setOutputType(FrameType type);
    int stop();
    int close();
    CameraInfo getCameraInfo() const;

    // Frame hand-off.
    ZentroxFrameBuffer* requestFrame(short timeout);
    int releaseFrame(ZentroxFrameBuffer* buffer);
    bool getRawImages(uint8_t* cache, int16_t* raw);
    bool getPhaseImage(uint8_t* cache, float* depth, float* amplitude, float* confidence);

    // Controls.
    int setControl(CameraCtrl ctrl, int value);
    int getControl(CameraCtrl ctrl, int* value);
    int setControlExt(CameraCtrl ctrl, const char* value);
    int getControlExt(CameraCtrl ctrl, const char** value);

  private:
    friend class CameraTestAccess;  // defined by the unit tests only

    void captureThread();
    int analysisFrame(uint8_t* cache, LinkNode* node);
    bool skipThisFrame();
    void updateFps();
    void adjustFrameRate();
    // A sensor and a device exist and the latest open succeeded (and no close came since).
    bool hasBackend() const;
    int nodeIndex(const ZentroxFrameBuffer* buffer) const;

    CameraInfo info{};
    OutputGeometry rawGeometry{};
    OutputGeometry depthGeometry{};
    std::unique_ptr<ZentroxTOFSensor> sensor;
    std::unique_ptr<ZentroxDevice> device;
    std::unique_ptr<FramePool> pool;
    std::thread worker;
    std::atomic<bool> stopped{true};
    // Set by open/openWithFile: true only when the latest open opened both sensor and device;
    // close clears it. Every operation that uses the sensor or the device refuses with -1 without it.
    std::atomic<bool> opened{false};
    // One bit per node of the current pool: set while the caller holds that node's buffer
    // (requestFrame to releaseFrame), so a second release cannot free a node that is being filled.
    std::atomic<uint32_t> callerHeld{0};
    // requestFrame calls waiting for a frame now; guarded by pool->mutex.
    int requestWaiters = 0;
    CameraClock* clock;  // not owned; the system clocks unless a test installs another
    int platform = 0;
    std::atomic<int> skipFrame{0};
    std::atomic<int> skipFrameLoop{1};
    int frameIndex = 0;
    float frameInterval = 0.0f;
    float smoothing = 0.1f;
    std::atomic<float> fps{0.0f};
    int fpsSamples = 0;
    int64_t lastFrameTime = 0;
    std::atomic<bool> autoFrameRate{true};
};

}  // namespace Zentrox
