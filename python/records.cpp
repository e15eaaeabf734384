// The two plain records. Each Python object holds its own copy: assigning to a field never reaches
// the camera or the frame the record was copied from.
#include "python/Binding.h"

namespace Zentrox {
namespace python {

void bindRecords(py::module_& m) {
    py::class_<FrameDataFormat>(m, "ZentroxFormat")
        .def_readwrite("width", &FrameDataFormat::width)
        .def_readwrite("height", &FrameDataFormat::height)
        .def_readwrite("timestamp", &FrameDataFormat::timestamp)
        .def_readwrite("type", &FrameDataFormat::type);

    py::class_<CameraInfo>(m, "ZentroxInfo")
        .def_readwrite("index", &CameraInfo::index)
        .def_readwrite("connect", &CameraInfo::connect)
        .def_readwrite("device_type", &CameraInfo::device_type)
        .def_readwrite("type", &CameraInfo::type)
        .def_readwrite("width", &CameraInfo::width)
        .def_readwrite("height", &CameraInfo::height)
        .def_readwrite("bit_width", &CameraInfo::bit_width)
        .def_readwrite("bpp", &CameraInfo::bpp);
}

}  // namespace python
}  // namespace Zentrox
