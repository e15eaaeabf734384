// zentrox_depth._native: point clouds from cached rays and the depth filters of the toolkit library.
// The package's Python modules wrap it; scripts use those (zentrox_depth.point_cloud, .filters).
#include <array>
#include <memory>

#include <pybind11/stl.h>

#include "ZentroxPointCloud.h"
#include "toolkit/python/NativeBinding.h"

namespace Zentrox {
namespace native {

namespace {

Intrinsics makeIntrinsics(uint32_t width, uint32_t height, double fx, double fy, double cx, double cy,
                          const std::array<double, 5>& distortion) {
    Intrinsics in;
    in.width = width;
    in.height = height;
    in.fx = fx;
    in.fy = fy;
    in.cx = cx;
    in.cy = cy;
    for (size_t i = 0; i < 5; ++i)
        in.distortion[i] = distortion[i];
    return in;
}

// A ray table that never changes after construction, so that computing from it needs no lock and
// runs without the interpreter lock.
class PointCloud {
  public:
    PointCloud(uint32_t width, uint32_t height, double fx, double fy, double cx, double cy,
               const std::array<double, 5>& distortion) {
        if (cloud.setIntrinsics(makeIntrinsics(width, height, fx, fy, cx, cy, distortion)) != ZentroxSuccess)
            throw py::value_error(
                "the intrinsics are not valid (a size above 0, focal lengths above 0, finite values)");
    }

    py::array_t<float> compute(const FloatArray& depth) const {
        uint32_t h = cloud.height(), w = cloud.width();
        imageShape(depth, "the depth image", h, w);
        py::array_t<float> points({py::ssize_t(h), py::ssize_t(w), py::ssize_t(3)});
        float* out = points.mutable_data();
        {
            py::gil_scoped_release unlocked;
            cloud.compute(depth.data(), out);
        }
        return points;
    }

    py::array_t<float> depthToZ(const FloatArray& depth) const {
        uint32_t h = cloud.height(), w = cloud.width();
        imageShape(depth, "the depth image", h, w);
        py::array_t<float> z({py::ssize_t(h), py::ssize_t(w)});
        float* out = z.mutable_data();
        {
            py::gil_scoped_release unlocked;
            cloud.depthToZ(depth.data(), out);
        }
        return z;
    }

    py::array_t<float> rays() const {
        py::array_t<float> copy({py::ssize_t(cloud.height()), py::ssize_t(cloud.width()), py::ssize_t(3)});
        std::copy(cloud.rays().begin(), cloud.rays().end(), copy.mutable_data());
        return copy;
    }

  private:
    ZentroxPointCloud cloud;
};

}  // namespace

void bindPointCloud(py::module_& m) {
    py::class_<PointCloud>(m, "PointCloud")
        .def(py::init<uint32_t, uint32_t, double, double, double, double, const std::array<double, 5>&>(),
             py::arg("width"), py::arg("height"), py::arg("fx"), py::arg("fy"), py::arg("cx"), py::arg("cy"),
             py::arg("distortion"))
        .def("compute", &PointCloud::compute, py::arg("depth"),
             "(H, W, 3) float32 points in metres of a depth image in mm; NaN where there is no depth")
        .def("depth_to_z", &PointCloud::depthToZ, py::arg("depth"),
             "(H, W) float32 distance along the optical axis in mm; 0 where there is no depth")
        .def("rays", &PointCloud::rays, "(H, W, 3) float32 unit ray of every pixel (a copy)");
}

}  // namespace native
}  // namespace Zentrox

PYBIND11_MODULE(_native, m) {
    m.doc() = "Native hot paths of the zentrox_depth toolkit (point clouds, depth filters)";
    Zentrox::native::bindPointCloud(m);
    Zentrox::native::bindFilters(m);
}
