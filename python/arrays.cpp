// Frame planes to numpy arrays: each call makes a new array that numpy owns, holding a copy, so the
// array stays valid whatever later happens to the frame, its pool or its camera.
#include <cstring>
#include <stdexcept>

#include "python/Binding.h"

namespace Zentrox {
namespace python {

template <typename T>
py::array_t<T> planeToArray(const void* data, const FrameDataFormat& format) {
    const uint64_t height = format.height;
    const uint64_t width = format.width;
    const uint64_t count = height * width;
    if (count != 0 && data == nullptr) throw std::runtime_error("the frame has no such plane");

    // One-dimensional first, filled, then reshaped in place: same element count, so nothing is
    // reallocated and the result is C-contiguous, writeable and without a base object.
    py::array_t<T> array(static_cast<py::ssize_t>(count));
    if (count != 0) std::memcpy(array.mutable_data(), data, count * sizeof(T));
    array.resize({static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width)});
    return array;
}

template py::array_t<int16_t> planeToArray<int16_t>(const void*, const FrameDataFormat&);
template py::array_t<float> planeToArray<float>(const void*, const FrameDataFormat&);

}  // namespace python
}  // namespace Zentrox
