// ZentroxCamera: one core camera, its lock and the frame objects it hands out.
//
// Every core call on a camera but the frame waits runs under the camera's mutex, so calls from
// several Python threads never overlap in the core where it assumes one controlling thread. Calls
// that may take long run with the interpreter lock released, so other Python threads keep running.
// requestFrame waits once in the core, without the camera's mutex, so that other threads' calls get
// in meanwhile: a start from another thread ends the wait (None). Its hook lets the main thread
// run signal handlers every few milliseconds (Ctrl-C raises KeyboardInterrupt) and ends every wait
// when the interpreter finalises. A returned buffer is classified and registered under the
// camera's mutex, once the core has confirmed that its pool is still the camera's.
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/FrameBuffer.h"
#include "python/Binding.h"

namespace Zentrox {
namespace python {

// A path as openWithFile takes it: str (UTF-8), bytes, bytearray or None, kept whole so that an
// embedded NUL can be refused instead of silently cutting the path short.
struct PathArg {
    bool none = true;
    std::string text;
};

}  // namespace python
}  // namespace Zentrox

namespace pybind11 {
namespace detail {

template <>
struct type_caster<Zentrox::python::PathArg> {
    PYBIND11_TYPE_CASTER(Zentrox::python::PathArg, const_name("str"));

    bool load(handle source, bool convert) {
        if (source.is_none()) {
            value.none = true;
            return true;
        }
        make_caster<std::string> text;
        if (!text.load(source, convert)) return false;
        value.none = false;
        value.text = cast_op<std::string&&>(std::move(text));
        return true;
    }

    static handle cast(const Zentrox::python::PathArg&, return_value_policy, handle) {
        return none().release();
    }
};

}  // namespace detail
}  // namespace pybind11

namespace Zentrox {
namespace python {

namespace {

// How often a frame wait in the main thread lets Python run its signal handlers.
constexpr int SIGNAL_CHECK_MS = 50;

class CameraBinding;

// Live cameras, so that the ones still streaming at interpreter exit are stopped before the
// interpreter goes away. Guarded by the interpreter lock.
std::vector<CameraBinding*>& liveCameras() {
    static auto* cameras = new std::vector<CameraBinding*>();
    return *cameras;
}

// What a frame wait asks while it goes on: whether the interpreter is ending, and, in the main
// thread, whether a signal handler raised (the exception stays set for the caller to raise).
class WaitHook final : public FrameWaitHook {
  public:
    explicit WaitHook(GilRelease& released) : released(released), main(isMainThread()) {}

    bool stopWaiting() override {
        if (finalising()) return true;
        if (!main) return false;
        raised = released.withGil([] { return PyErr_CheckSignals() != 0; });
        return raised;
    }
    int checkIntervalMs() override { return main ? SIGNAL_CHECK_MS : 0; }

    bool raised = false;

  private:
    GilRelease& released;
    const bool main;
};

class CameraBinding {
  public:
    CameraBinding() : core(new ZentroxTOFCamera()), state(std::make_shared<CameraState>()) {
        state->core = core.get();
        liveCameras().push_back(this);
    }

    ~CameraBinding() {
        auto& cameras = liveCameras();
        cameras.erase(std::remove(cameras.begin(), cameras.end(), this), cameras.end());
        if (state->owner != getpid()) {
            // A child of a fork: the camera's locks and its capture thread are the parent's. Leave
            // it all alone; the child's exit takes the memory with it.
            core.release();
            return;
        }
        std::unique_ptr<ZentroxTOFCamera> doomed;
        {
            StateLock lock(*state);
            state->core = nullptr;  // frame objects now raise instead of reading their buffer
            doomed = std::move(core);
        }
        GilRelease released;
        // The core destructor stops a streaming camera (joining its capture thread) and closes it.
        doomed.reset();
    }

    CameraBinding(const CameraBinding&) = delete;
    CameraBinding& operator=(const CameraBinding&) = delete;

    // Runs `call` on the core under the camera mutex with the interpreter lock released.
    template <typename Call>
    auto unlocked(Call&& call) {
        state->checkProcess("camera");
        GilRelease released;
        std::lock_guard<std::mutex> lock(state->mutex);
        return call(*core);
    }

    TofErrorCode open(Connection mode, int index) {
        return status(unlocked([&](ZentroxTOFCamera& c) { return c.open(mode, index); }));
    }

    // None reaches the core as a null path; a path with an embedded NUL is refused as Python's
    // own open refuses it.
    TofErrorCode openWithFile(const PathArg& path, int index) {
        state->checkProcess("camera");
        if (!path.none && path.text.find('\0') != std::string::npos)
            throw py::value_error("embedded null byte");
        return status(unlocked([&](ZentroxTOFCamera& c) {
            return c.openWithFile(path.none ? nullptr : path.text.c_str(), index);
        }));
    }

    TofErrorCode close() {
        return status(unlocked([](ZentroxTOFCamera& c) { return c.close(); }));
    }

    TofErrorCode start(FrameType type) {
        // The core says whether it replaced the pool: frame objects of the old one then fail their
        // checks through the pool serial, and keep working when it kept it.
        return status(unlocked([&](ZentroxTOFCamera& c) { return c.start(type); }));
    }

    TofErrorCode stop() {
        return status(unlocked([](ZentroxTOFCamera& c) { return c.stop(); }));
    }

    TofErrorCode setControl(CameraCtrl ctrl, int value) {
        return status(unlocked([&](ZentroxTOFCamera& c) { return c.setControl(ctrl, value); }));
    }

    int getControl(CameraCtrl ctrl) {
        int value = 0;
        unlocked([&](ZentroxTOFCamera& c) { return c.getControl(ctrl, &value); });
        return value;
    }

    CameraInfo getCameraInfo() {
        return unlocked([](ZentroxTOFCamera& c) { return c.getCameraInfo(); });
    }

    FrameRef* requestFrame(short timeout) {
        state->checkProcess("camera");
        ZentroxFrameBuffer* buffer = nullptr;
        uint64_t serial = 0;
        bool raised = false;
        {
            GilRelease released;
            WaitHook hook(released);
            buffer = core->requestFrame(timeout, &hook, &serial);
            raised = hook.raised;
        }
        if (raised) throw py::error_already_set();
        if (buffer == nullptr) return nullptr;
        StateLock lock(*state);
        // A start on another thread may have replaced the pool since the wait ended; its buffers
        // are gone, and this one was never the caller's.
        if (state->core == nullptr || core->poolSerial() != serial) return nullptr;
        return frameObject(buffer, serial);
    }

    TofErrorCode releaseFrame(FrameRef* frame) {
        if (frame == nullptr) {
            return status(unlocked([](ZentroxTOFCamera& c) { return c.releaseFrame(nullptr); }));
        }
        state->checkProcess("camera");
        // A frame of another camera is no buffer of this pool.
        if (frame->state != state) return ZentroxUnkownError;
        StateLock lock(*state);
        // Nor is one of a pool this camera has replaced, even if a new buffer has its address.
        if (state->core == nullptr || frame->serial != core->poolSerial()) return ZentroxUnkownError;
        return status(core->releaseFrame(frame->buffer));
    }

    // At interpreter exit: ends the frame waits on this camera and stops its capture thread.
    void stopAtExit() {
        if (state->owner != getpid()) return;
        core->wakeRequests();
        unlocked([](ZentroxTOFCamera& c) {
            try {
                c.stop();
            } catch (...) {
                // Not streaming: nothing to stop.
            }
            return 0;
        });
    }

  private:
    static TofErrorCode status(int code) { return static_cast<TofErrorCode>(code); }

    // The frame object for a buffer the core just handed out, called under the camera mutex while
    // its pool is the camera's: the live object that already stands for this buffer of this pool,
    // or a new one typed by the buffer's kind.
    FrameRef* frameObject(ZentroxFrameBuffer* buffer, uint64_t serial) {
        for (FrameRef* frame : state->frames) {
            if (frame->buffer == buffer && frame->serial == serial) return frame;
        }
        if (dynamic_cast<DepthData*>(buffer) != nullptr) return new DepthRef(state, buffer, serial);
        if (dynamic_cast<RawData*>(buffer) != nullptr) return new RawRef(state, buffer, serial);
        return new FrameRef(state, buffer, serial);
    }

    std::unique_ptr<ZentroxTOFCamera> core;
    std::shared_ptr<CameraState> state;
};

void stopLiveCameras() {
    // From here on a thread coming back from a wait parks instead of taking the interpreter lock,
    // which Python would end it for while it finalises.
    beginFinalising();
    // Stopping runs without the interpreter lock, while other threads may drop their cameras: hold a
    // reference to each Python object first.
    std::vector<py::object> cameras;
    for (CameraBinding* camera : liveCameras()) {
        cameras.push_back(py::cast(camera, py::return_value_policy::reference));
    }
    for (py::object& camera : cameras)
        camera.cast<CameraBinding&>().stopAtExit();
}

}  // namespace

void bindCamera(py::module_& m) {
    py::class_<CameraBinding>(m, "ZentroxCamera")
        .def(py::init<>())
        .def("open", &CameraBinding::open, py::arg("mode"), py::arg("index") = 0,
             "Initialize the camera configuration and turn on the camera, set the initialization frame "
             "according to "
             "the mode.\n\n- mode Specify the connection method.\n- index Device node, the default value is "
             "video0.")
        .def("openWithFile", &CameraBinding::openWithFile, py::arg("path"), py::arg("index") = 0,
             "Initialize the camera configuration and turn on the camera, set the initialization frame "
             "according to "
             "the mode.\n\n- path Specify the config file path.\n- index Device node, the default value is "
             "video0.")
        .def("close", &CameraBinding::close, "Close the camera")
        .def("start", &CameraBinding::start, py::arg("type"), "Start the camera stream and start processing.")
        .def("stop", &CameraBinding::stop,
             "Stop camera stream and processing.\n\nRaises RuntimeError when the camera is not streaming.")
        .def("setControl", &CameraBinding::setControl, py::arg("ctrl"), py::arg("value"),
             "Set camera parameters.\n\n- ctrl The control, a TOFControl member.\n- value RANGE in "
             "millimetres, FRAME_RATE in frames per second; SKIP_FRAME K with SKIP_FRAME_LOOP L drops K "
             "frames of every L.")
        .def("getControl", &CameraBinding::getControl, py::arg("ctrl"), "Get camera parameters.")
        .def("getCameraInfo", &CameraBinding::getCameraInfo, "Get camera information.")
        .def("requestFrame", &CameraBinding::requestFrame, py::arg("timeout"),
             py::return_value_policy::take_ownership,
             "Request a frame of data from the frame processing thread.\n\n- timeout Longest wait in "
             "milliseconds (-32768 to 32767); 0 does not wait, -1 (any negative value) waits for ever.\n\n"
             "Returns a DepthData after start(TOFOutput.DEPTH), a RawData after start(TOFOutput.RAW), or "
             "None when no frame was ready in time. Give the frame back with releaseFrame.")
        .def("releaseFrame", &CameraBinding::releaseFrame, py::arg("frame"),
             "Free the memory space of the frame.\n\nThe frame object must not be used afterwards: it "
             "raises RuntimeError.");

    initInterpreterSupport();
    py::module_::import("atexit").attr("register")(py::cpp_function(&stopLiveCameras));
}

}  // namespace python
}  // namespace Zentrox
