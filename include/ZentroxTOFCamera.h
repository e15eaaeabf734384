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
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "ZentroxTypes.h"

namespace Zentrox {

class ZentroxTOFSensor;
class ZentroxDevice;
class FramePool;
struct LinkNode;
class CameraClock;

// Abstract frame buffer handed to the caller by requestFrame. The pool owns it.
class ZENTROX_API ZentroxFrameBuffer {
  public:
    virtual ~ZentroxFrameBuffer();
    virtual void setTimestamp(uint64_t timestamp) = 0;
    virtual void* getData(FrameType type) = 0;
    virtual int getFormat(FrameType type, FrameDataFormat& out) = 0;
};

// Lets a caller waiting in requestFrame end the wait early, for instance when a signal arrived or its
// process is shutting down. The camera calls it on the waiting thread, with none of its locks held.
class ZENTROX_API FrameWaitHook {
  public:
    virtual ~FrameWaitHook();
    // True ends the wait: requestFrame returns null.
    virtual bool stopWaiting() = 0;
    // How often, in milliseconds, stopWaiting is asked while the wait goes on. 0 or less: only when
    // the wait begins and whenever wakeRequests() is called.
    virtual int checkIntervalMs() { return 0; }
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

    // Frame hand-off. requestFrame and releaseFrame may be called from several threads at once, also
    // while another thread starts or stops the camera: a start ends every wait in progress (null),
    // and a request made while the camera has no frame pool waits its time-out.
    ZentroxFrameBuffer* requestFrame(short timeout);
    // As above; `hook` (may be null) can end the wait early, and *poolSerial (may be null) receives
    // the serial of the pool the returned buffer belongs to.
    ZentroxFrameBuffer* requestFrame(short timeout, FrameWaitHook* hook, uint64_t* poolSerial);
    int releaseFrame(ZentroxFrameBuffer* buffer);
    // Makes every requestFrame waiting now ask its hook whether to go on.
    void wakeRequests();
    // Identity of the current frame pool: every pool the camera builds gets a new serial, never
    // reused in the process; 0 while the camera has none.
    uint64_t poolSerial() const;
    // Whether `buffer` is held by the caller (handed out by requestFrame and not released since) in
    // the current pool, and that pool has the serial `poolSerial`.
    bool holdsFrame(const ZentroxFrameBuffer* buffer, uint64_t poolSerial) const;
    bool getRawImages(uint8_t* cache, int16_t* raw);
    bool getPhaseImage(uint8_t* cache, float* depth, float* amplitude, float* confidence);

    // Controls.
    int setControl(CameraCtrl ctrl, int value);
    int getControl(CameraCtrl ctrl, int* value);
    int setControlExt(CameraCtrl ctrl, const char* value);
    int getControlExt(CameraCtrl ctrl, const char** value);

  private:
    friend class CameraBackends;  // the core's own view of the camera's backends and state

    void captureThread();
    int analysisFrame(uint8_t* cache, LinkNode* node);
    bool skipThisFrame();
    void updateFps();
    void adjustFrameRate();
    // A sensor and a device exist and the latest open succeeded (and no close came since).
    bool hasBackend() const;
    std::shared_ptr<FramePool> currentPool() const;
    // Builds the pool for `type` and installs it; the pool it replaced is handed back, still alive.
    int installPool(FrameType type, std::shared_ptr<FramePool>& previous);
    // Puts `previous` back in place of the pool installPool built, which is retired.
    void restorePool(std::shared_ptr<FramePool> previous);
    // Gives back what the latest open acquired (device, then sensor): a new open begins with it.
    void releaseBackend();

    CameraInfo info{};
    OutputGeometry rawGeometry{};
    OutputGeometry depthGeometry{};
    std::unique_ptr<ZentroxTOFSensor> sensor;
    std::unique_ptr<ZentroxDevice> device;
    // Shared with the capture thread and with requestFrame calls waiting on it, so that a start that
    // replaces it never frees a pool still waited on. The pointer is guarded by poolMutex.
    std::shared_ptr<FramePool> pool;
    std::thread worker;
    std::atomic<bool> stopped{true};
    // Set by open/openWithFile: true only when the latest open opened both sensor and device;
    // close clears it. Every operation that uses the sensor or the device refuses with -1 without it.
    std::atomic<bool> opened{false};
    // True from a successful sensor open to its close: a failed open leaves nothing for
    // openPostHandle to build on.
    std::atomic<bool> sensorOpened{false};
    // Guards `pool` (the pointer, not the pool) and poolWakes; poolCond wakes requests waiting while
    // there is no pool. Never held while a pool's own lock is taken.
    mutable std::mutex poolMutex;
    std::condition_variable poolCond;
    uint64_t poolWakes = 0;
    CameraClock* clock;  // not owned; the system clocks unless CameraBackends installs another
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
