// The depth filters as Python classes. apply() filters a float32 copy of the depth image and returns
// it; the filter keeps its buffers (and, for the temporal filter, its state) from call to call.
#include <cstring>
#include <vector>

#include <pybind11/stl.h>

#include "ZentroxDepthFilters.h"
#include "toolkit/python/NativeBinding.h"

namespace Zentrox {
namespace native {

namespace {

py::array_t<float> applyFilter(ZentroxDepthFilter& filter, const FloatArray& depth,
                               const py::object& amplitude) {
    uint32_t h = 0, w = 0;
    imageShape(depth, "the depth image", h, w);
    FloatArray amp;
    if (!amplitude.is_none()) {
        amp = FloatArray::ensure(amplitude);
        if (!amp) throw py::type_error("the amplitude image must be an array of numbers");
        imageShape(amp, "the amplitude image", h, w);
    } else if (filter.needsAmplitude()) {
        throw py::value_error("this filter needs the amplitude image");
    }
    py::array_t<float> out({py::ssize_t(h), py::ssize_t(w)});
    std::memcpy(out.mutable_data(), depth.data(), size_t{h} * w * sizeof(float));
    if (filter.apply(out.mutable_data(), amplitude.is_none() ? nullptr : amp.data(), w, h) != ZentroxSuccess)
        throw py::value_error("the filter refused the frame");
    return out;
}

}  // namespace

void bindFilters(py::module_& m) {
    py::class_<ZentroxDepthFilter>(m, "DepthFilter")
        .def("apply", &applyFilter, py::arg("depth"), py::arg("amplitude") = py::none(),
             "The filtered depth (a new float32 array) of one frame")
        .def("reset", &ZentroxDepthFilter::reset, "Forget what earlier frames left behind")
        .def_property_readonly("needs_amplitude", &ZentroxDepthFilter::needsAmplitude);

    py::class_<ZentroxConfidenceFilter, ZentroxDepthFilter>(m, "ConfidenceFilter")
        .def(py::init<float>(), py::arg("min_amplitude"));
    py::class_<ZentroxFlyingPixelFilter, ZentroxDepthFilter>(m, "FlyingPixelFilter")
        .def(py::init<float, float>(), py::arg("relative_gap"), py::arg("min_gap_mm"));
    py::class_<ZentroxSpatialFilter, ZentroxDepthFilter>(m, "SpatialFilter")
        .def(py::init<uint32_t, float, float, float>(), py::arg("radius"), py::arg("sigma_px"),
             py::arg("edge_mm"), py::arg("edge_relative"));
    py::class_<ZentroxTemporalFilter, ZentroxDepthFilter>(m, "TemporalFilter")
        .def(py::init<float, float, float, uint32_t>(), py::arg("alpha"), py::arg("reset_mm"),
             py::arg("reset_relative"), py::arg("persistence"));
    // The chain keeps its filters alive (they are Python objects it refers to).
    py::class_<ZentroxFilterChain, ZentroxDepthFilter>(m, "FilterChain")
        .def(py::init<std::vector<ZentroxDepthFilter*>>(), py::arg("filters"), py::keep_alive<1, 2>());
}

}  // namespace native
}  // namespace Zentrox
