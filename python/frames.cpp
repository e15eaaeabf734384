// Frame objects. A frame object refers to one buffer of its camera's pool; every method first
// checks, under the camera's lock, that the buffer still exists and is still the caller's (the core
// answers from the pool serial), and raises RuntimeError otherwise. Reads go through the buffer's
// getData and getFormat only.
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "python/Binding.h"

namespace Zentrox {
namespace python {

CameraState::CameraState() : owner(getpid()) {}

void CameraState::checkProcess(const char* what) const {
    if (owner != getpid()) {
        throw std::runtime_error(std::string("this ") + what +
                                 " belongs to the parent process; open a camera in this process instead");
    }
}

StateLock::StateLock(CameraState& state) : lock(state.mutex, std::try_to_lock) {
    if (!lock.owns_lock()) {
        GilRelease released(&lock);
        lock.lock();
    }
}

FrameRef::FrameRef(std::shared_ptr<CameraState> state, ZentroxFrameBuffer* buffer, uint64_t serial)
    : state(std::move(state)), buffer(buffer), serial(serial) {
    this->state->frames.push_back(this);
}

FrameRef::~FrameRef() {
    auto& frames = state->frames;
    frames.erase(std::remove(frames.begin(), frames.end(), this), frames.end());
}

ZentroxFrameBuffer* FrameRef::access(const char* method) const {
    if (state->core == nullptr) {
        throw std::runtime_error(
            std::string(method) +
            ": the camera this frame came from no longer exists, and neither does its buffer");
    }
    if (serial != state->core->poolSerial()) {
        throw std::runtime_error(
            std::string(method) +
            ": the camera was started again after this frame was requested; its buffer no "
            "longer exists");
    }
    if (!state->core->holdsFrame(buffer, serial)) {
        throw std::runtime_error(std::string(method) +
                                 ": this frame was given back with releaseFrame; request a new frame");
    }
    return buffer;
}

namespace {

// Copies one plane of the frame, shaped by the format of `shape`.
template <typename T, typename Ref>
py::array_t<T> copyPlane(const Ref& frame, const char* method, FrameType plane, FrameType shape) {
    frame.state->checkProcess("frame");
    StateLock lock(*frame.state);
    ZentroxFrameBuffer* buffer = frame.access(method);
    FrameDataFormat format{};
    buffer->getFormat(shape, format);
    return planeToArray<T>(buffer->getData(plane), format);
}

template <typename Ref>
FrameDataFormat copyFormat(const Ref& frame, FrameType type) {
    frame.state->checkProcess("frame");
    StateLock lock(*frame.state);
    FrameDataFormat format{};
    frame.access("getFrameFormat")->getFormat(type, format);
    return format;
}

// The method `method` of a frame class: a copy of `plane`, shaped by the format of `shape`.
template <typename T, typename Ref>
auto planeMethod(const char* method, FrameType plane, FrameType shape) {
    return [method, plane, shape](const Ref& f) { return copyPlane<T>(f, method, plane, shape); };
}

// getFrameFormat of a frame class whose frames are of output `type`.
template <typename Ref>
auto formatMethod(FrameType type) {
    return [type](const Ref& f) { return copyFormat(f, type); };
}

}  // namespace

void bindFrames(py::module_& m) {
    py::class_<FrameRef>(m, "ZentroxFrame");

    py::class_<RawRef, FrameRef>(m, "RawData")
        .def("getRawData", planeMethod<int16_t, RawRef>("getRawData", FrameType::RAW, FrameType::RAW),
             "Get raw data from the frame")
        .def("getFrameFormat", formatMethod<RawRef>(FrameType::RAW), "Get the information of this frame");

    py::class_<DepthRef, FrameRef>(m, "DepthData")
        .def("getDepthData", planeMethod<float, DepthRef>("getDepthData", FrameType::DEPTH, FrameType::DEPTH),
             "Get depth data from the frame\n\nA new float32 array of shape (height, width): depth in "
             "millimetres.")
        .def("getConfidenceData",
             planeMethod<float, DepthRef>("getConfidenceData", FrameType::CONFIDENCE, FrameType::DEPTH),
             "Get confidence data from the frame")
        .def("getAmplitudeData",
             planeMethod<float, DepthRef>("getAmplitudeData", FrameType::AMPLITUDE, FrameType::DEPTH),
             "Get amplitude data from the frame")
        .def("getFrameFormat", formatMethod<DepthRef>(FrameType::DEPTH), "Get the information of this frame");
}

}  // namespace python
}  // namespace Zentrox
