// ZentroxCamera: one core camera, its lock and the frame objects it hands out.
//
// Every core call on a camera runs under the camera's mutex, so calls from several Python threads
// never overlap in the core. Waits (requestFrame, the joins of stop and close) and the other calls
// that may take long run with the interpreter lock released, so other Python threads keep running.
// requestFrame waits in short slices, re-taking the interpreter lock between them to let Ctrl-C
// through, and gives the mutex up between slices so other threads' calls on the camera get in.
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "Binding.h"
#include "FrameBuffer.h"

namespace Zentrox {
namespace python {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Longest wait between two looks for Ctrl-C.
constexpr std::chrono::milliseconds WAIT_SLICE{20};

class CameraBinding;

// Live cameras, so that the ones still streaming at interpreter exit are stopped before the
// interpreter goes away. Guarded by the interpreter lock.
std::vector<CameraBinding*>& liveCameras() {
    static auto* cameras = new std::vector<CameraBinding*>();
    return *cameras;
}

class CameraBinding {
  public:
    CameraBinding() : core(new ZentroxTOFCamera()), state(std::make_shared<CameraState>()) {
        liveCameras().push_back(this);
    }

    ~CameraBinding() {
        auto& cameras = liveCameras();
        cameras.erase(std::remove(cameras.begin(), cameras.end(), this), cameras.end());
        StateLock lock(*state);
        state->alive = false;
        ++state->generation;
        py::gil_scoped_release release;
        // The core destructor stops a streaming camera (joining its capture thread) and closes it.
        core.reset();
    }

    CameraBinding(const CameraBinding&) = delete;
    CameraBinding& operator=(const CameraBinding&) = delete;

    // Runs `call` on the core under the camera mutex with the interpreter lock released.
    template <typename Call>
    auto unlocked(Call&& call) {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(state->mutex);
        return call(*core);
    }

    TofErrorCode open(Connection mode, int index) {
        return status(unlocked([&](ZentroxTOFCamera& c) { return c.open(mode, index); }));
    }

    // `path` is null for None; str arrives UTF-8 encoded, bytes and bytearray as they are.
    TofErrorCode openWithFile(const char* path, int index) {
        // Copied while the interpreter lock is held: the core reads it with the lock released.
        std::optional<std::string> copy;
        if (path != nullptr) copy.emplace(path);
        return status(unlocked(
            [&](ZentroxTOFCamera& c) { return c.openWithFile(copy ? copy->c_str() : nullptr, index); }));
    }

    TofErrorCode close() {
        return status(unlocked([](ZentroxTOFCamera& c) { return c.close(); }));
    }

    TofErrorCode start(FrameType type) {
        return status(unlocked([&](ZentroxTOFCamera& c) {
            // A successful start has replaced the pool, and with it every buffer that frame objects
            // refer to. A start that failed kept the pool: frames the caller holds stay valid and
            // can still be given back.
            int result;
            try {
                result = c.start(type);
            } catch (...) {
                ++state->generation;
                throw;
            }
            if (result == ZentroxSuccess) ++state->generation;
            return result;
        }));
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
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout);
        ZentroxFrameBuffer* buffer = nullptr;
        uint64_t generation = 0;
        for (;;) {
            std::chrono::milliseconds slice = WAIT_SLICE;
            if (timeout >= 0) {
                auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
                slice = std::max(std::chrono::milliseconds(0), std::min(slice, left));
            }
            {
                py::gil_scoped_release release;
                const auto sliceEnd = SteadyClock::now() + slice;
                {
                    std::lock_guard<std::mutex> lock(state->mutex);
                    buffer = core->requestFrame(static_cast<short>(slice.count()));
                    generation = state->generation;
                }
                // A camera without a pool answers at once; the caller's time-out still holds.
                if (buffer == nullptr) std::this_thread::sleep_until(sliceEnd);
            }
            if (buffer != nullptr) break;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (timeout >= 0 && SteadyClock::now() >= deadline) return nullptr;
        }
        return frameObject(buffer, generation);
    }

    TofErrorCode releaseFrame(FrameRef* frame) {
        if (frame == nullptr) {
            return status(unlocked([](ZentroxTOFCamera& c) { return c.releaseFrame(nullptr); }));
        }
        // A frame of another camera, or one already given back, is no buffer of this pool.
        if (frame->state != state || !frame->held) return ZentroxUnkownError;
        StateLock lock(*state);
        if (!frame->held || frame->generation != state->generation) return ZentroxUnkownError;
        int result = core->releaseFrame(frame->buffer);
        if (result == ZentroxSuccess) frame->held = false;
        return status(result);
    }

    // Stops the capture thread of a camera still streaming at interpreter exit.
    void stopAtExit() {
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

    // The frame object for a buffer the core just handed out: the live object that already stands
    // for this buffer of this pool, valid again, or a new one typed by the buffer's kind.
    FrameRef* frameObject(ZentroxFrameBuffer* buffer, uint64_t generation) {
        for (FrameRef* frame : state->frames) {
            if (frame->buffer == buffer && frame->generation == generation) {
                frame->held = true;
                return frame;
            }
        }
        if (dynamic_cast<DepthData*>(buffer) != nullptr) return new DepthRef(state, buffer, generation);
        if (dynamic_cast<RawData*>(buffer) != nullptr) return new RawRef(state, buffer, generation);
        return new FrameRef(state, buffer, generation);
    }

    std::unique_ptr<ZentroxTOFCamera> core;
    std::shared_ptr<CameraState> state;
};

void stopLiveCameras() {
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

    py::module_::import("atexit").attr("register")(py::cpp_function(&stopLiveCameras));
}

}  // namespace python
}  // namespace Zentrox
