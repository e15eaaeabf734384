// Camera intrinsics of a depth image in OpenCV's conventions: pixel centres at integer coordinates,
// the principal point (cx, cy) and focal lengths (fx, fy) in pixels, Brown-Conrady distortion
// k1, k2, p1, p2, k3 acting on normalised image coordinates (x, y) = (X / Z, Y / Z).
#pragma once

#include <cstdint>

#include "ZentroxTypes.h"

namespace Zentrox {

struct ZENTROX_API Intrinsics {
    uint32_t width = 0;
    uint32_t height = 0;
    double fx = 1.0;
    double fy = 1.0;
    double cx = 0.0;
    double cy = 0.0;
    double distortion[5] = {0.0, 0.0, 0.0, 0.0, 0.0};  // k1, k2, p1, p2, k3

    // Square pixels, centred, and a horizontal field of view (degrees, above 0 and below 180) that
    // spans the full width: fx = fy = (width / 2) / tan(hfov / 2), cx = (width - 1) / 2,
    // cy = (height - 1) / 2. The emulated kit renders through exactly this camera.
    static Intrinsics fromFieldOfView(uint32_t width, uint32_t height, double horizontal_fov_deg);

    // A size above 0, finite focal lengths above 0 and finite centre and distortion.
    bool valid() const;
    bool distorted() const;
    // Distorted normalised coordinates of the undistorted ones.
    void distort(double x, double y, double& xd, double& yd) const;
    // Undistorted normalised coordinates of pixel (u, v); false where the distortion has no
    // inverse that a few Newton steps reach (strong distortion far outside the image).
    bool undistortPixel(double u, double v, double& x, double& y) const;
};

}  // namespace Zentrox
