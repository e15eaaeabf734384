#include <cmath>

#include "ZentroxIntrinsics.h"

namespace Zentrox {

namespace {
constexpr double PI = 3.14159265358979323846;
}

Intrinsics Intrinsics::fromFieldOfView(uint32_t width, uint32_t height, double horizontal_fov_deg) {
    Intrinsics in;
    in.width = width;
    in.height = height;
    in.fx = (width / 2.0) / std::tan(horizontal_fov_deg * PI / 360.0);
    in.fy = in.fx;
    in.cx = (width - 1.0) / 2.0;
    in.cy = (height - 1.0) / 2.0;
    return in;
}

bool Intrinsics::valid() const {
    bool finite = std::isfinite(cx) && std::isfinite(cy);
    for (double k : distortion)
        finite = finite && std::isfinite(k);
    return width > 0 && height > 0 && std::isfinite(fx) && std::isfinite(fy) && fx > 0.0 && fy > 0.0 &&
           finite;
}

bool Intrinsics::distorted() const {
    for (double k : distortion)
        if (k != 0.0) return true;
    return false;
}

void Intrinsics::distort(double x, double y, double& xd, double& yd) const {
    const double k1 = distortion[0], k2 = distortion[1], p1 = distortion[2], p2 = distortion[3],
                 k3 = distortion[4];
    const double r2 = x * x + y * y;
    const double radial = 1.0 + r2 * (k1 + r2 * (k2 + r2 * k3));
    xd = x * radial + 2.0 * p1 * x * y + p2 * (r2 + 2.0 * x * x);
    yd = y * radial + p1 * (r2 + 2.0 * y * y) + 2.0 * p2 * x * y;
}

bool Intrinsics::undistortPixel(double u, double v, double& x, double& y) const {
    const double xd = (u - cx) / fx;
    const double yd = (v - cy) / fy;
    x = xd;
    y = yd;
    if (!distorted()) return true;
    // Newton's method on distort(x, y) = (xd, yd), from the distorted point itself. A root is taken
    // only on the branch that holds the image centre: radial factor and Jacobian determinant above
    // 0. Beyond the radius where the polynomial folds back, a root maps a point onto the other
    // side of the centre, or onto a ring that nearer points reach too; such a pixel has no ray.
    const double k1 = distortion[0], k2 = distortion[1], p1 = distortion[2], p2 = distortion[3],
                 k3 = distortion[4];
    for (int step = 0; step < 30; ++step) {
        double fxd, fyd;
        distort(x, y, fxd, fyd);
        const double ex = fxd - xd, ey = fyd - yd;
        const double r2 = x * x + y * y;
        const double radial = 1.0 + r2 * (k1 + r2 * (k2 + r2 * k3));
        const double dradial = k1 + r2 * (2.0 * k2 + 3.0 * k3 * r2);  // d radial / d r2
        const double a = radial + 2.0 * x * x * dradial + 2.0 * p1 * y + 6.0 * p2 * x;
        const double b = 2.0 * x * y * dradial + 2.0 * p1 * x + 2.0 * p2 * y;
        const double d = radial + 2.0 * y * y * dradial + 6.0 * p1 * y + 2.0 * p2 * x;
        const double det = a * d - b * b;  // the Jacobian is symmetric: c == b
        if (!(det > 1e-12) || !(radial > 0.0)) return false;
        if (ex * ex + ey * ey < 1e-24) return true;
        x -= (d * ex - b * ey) / det;
        y -= (a * ey - b * ex) / det;
        if (!std::isfinite(x) || !std::isfinite(y)) return false;
    }
    return false;
}

}  // namespace Zentrox
