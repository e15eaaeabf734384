// Shared pieces of the ZentroxDepthCamera module: the registration steps of each area, the state a
// camera binding shares with the frame objects it hands out, and the lock discipline around them.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "ZentroxTOFCamera.h"

namespace Zentrox {
namespace python {

namespace py = pybind11;

// Registration steps, called by the module initialiser in this order.
void bindEnums(py::module_& m);
void bindRecords(py::module_& m);
void bindFrames(py::module_& m);
void bindCamera(py::module_& m);

// The interpreter lock around the waits of this module, and the two moments when a thread must not
// take it back: the interpreter is ending (a daemon thread that takes it back then is ended by
// Python with a forced unwinding, which meets frames that may not unwind and aborts the process),
// and the process forked (interpreter.cpp).
void initInterpreterSupport();
// From now on no thread but the calling one takes the interpreter lock back through this module;
// such threads stay parked until the process ends. Called by the at-exit hook, with the lock held.
void beginFinalising();
bool finalising();
// Whether the calling thread is the interpreter's main thread, the one that runs signal handlers.
bool isMainThread();

// Releases the interpreter lock for its lifetime. Taking it back is refused during finalisation:
// the thread parks instead (after unlocking `held`, if given, so that nothing it holds blocks the
// finalising thread).
class GilRelease {
  public:
    explicit GilRelease(std::unique_lock<std::mutex>* held = nullptr);
    ~GilRelease();
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

    // Takes the lock back for a moment (a signal check) and gives it up again.
    template <typename Call>
    auto withGil(Call&& call) {
        resume();
        struct Again {
            GilRelease* self;
            ~Again() { self->state = PyEval_SaveThread(); }
        } again{this};
        return call();
    }

  private:
    void resume();
    PyThreadState* state;
    std::unique_lock<std::mutex>* held;
};

class FrameRef;

// What one camera binding shares with the frame objects it handed out. Frame objects keep it (not
// the camera) alive, so that a frame object that outlives its camera can tell that its buffer is
// gone instead of reading freed memory.
struct CameraState {
    // Serialises every core call on the camera but the frame waits, and every read of one of its
    // frame buffers, so that no buffer is read while a start replaces the pool or the camera is
    // destroyed.
    std::mutex mutex;
    // The core camera; null once it is gone. Guarded by `mutex`.
    ZentroxTOFCamera* core = nullptr;
    // The process the camera was made in: in a child of a fork its locks may be held by threads
    // that do not exist there, so the child refuses every use.
    const pid_t owner;
    // Live frame objects handed out by this camera, so that a buffer handed out again comes back
    // as the same object. Guarded by the interpreter lock.
    std::vector<FrameRef*> frames;

    CameraState();
    // Raises RuntimeError ("this <what> belongs to the parent process") in a child of a fork.
    void checkProcess(const char* what) const;
};

// Takes the camera mutex from a thread that holds the interpreter lock. A thread that holds the
// mutex may be waiting for the interpreter lock, so the interpreter lock is given up while waiting
// for the mutex: the order is always mutex first, interpreter lock second.
class StateLock {
  public:
    explicit StateLock(CameraState& state);
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

  private:
    std::unique_lock<std::mutex> lock;
};

// A frame object: a reference to one buffer of one pool of one camera. It does not own the buffer
// and keeps no state of its own about it: whether the buffer still exists and is still the
// caller's, the core answers from the pool serial.
class FrameRef {
  public:
    FrameRef(std::shared_ptr<CameraState> state, ZentroxFrameBuffer* buffer, uint64_t serial);
    virtual ~FrameRef();
    FrameRef(const FrameRef&) = delete;
    FrameRef& operator=(const FrameRef&) = delete;

    // The buffer, for a caller that holds StateLock on `state`; raises RuntimeError (naming
    // `method`) when the buffer was given back, replaced by a start or destroyed with its camera.
    ZentroxFrameBuffer* access(const char* method) const;

    const std::shared_ptr<CameraState> state;
    ZentroxFrameBuffer* const buffer;
    // Serial of the pool the buffer belongs to.
    const uint64_t serial;
};

class RawRef final : public FrameRef {
    using FrameRef::FrameRef;
};

class DepthRef final : public FrameRef {
    using FrameRef::FrameRef;
};

// New numpy array of shape (height, width) holding a copy of a plane of `format`'s size. numpy is
// loaded at the first call of the process.
template <typename T>
py::array_t<T> planeToArray(const void* data, const FrameDataFormat& format);

}  // namespace python
}  // namespace Zentrox
