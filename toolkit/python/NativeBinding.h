// Shared pieces of zentrox_depth._native: the registration steps and the array checks.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace Zentrox {
namespace native {

namespace py = pybind11;

// float32, C-contiguous; other arrays are converted (a copy) on the way in.
using FloatArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

void bindPointCloud(py::module_& m);
void bindFilters(py::module_& m);

// Height and width of a two-dimensional image; ValueError naming `what` otherwise, or when it is
// not `height` x `width` (when those are given, not 0).
inline void imageShape(const FloatArray& image, const char* what, uint32_t& height, uint32_t& width) {
    if (image.ndim() != 2) throw py::value_error(std::string(what) + " must be a two-dimensional image");
    const py::ssize_t h = image.shape(0), w = image.shape(1);
    if (h <= 0 || w <= 0 || h > 0xFFFF || w > 0xFFFF)
        throw py::value_error(std::string(what) + " has an impossible size");
    if ((height && uint32_t(h) != height) || (width && uint32_t(w) != width)) {
        throw py::value_error(std::string(what) + " has shape (" + std::to_string(h) + ", " +
                              std::to_string(w) + "), not (" + std::to_string(height) + ", " +
                              std::to_string(width) + ")");
    }
    height = uint32_t(h);
    width = uint32_t(w);
}

}  // namespace native
}  // namespace Zentrox
