// Point clouds and z-depth from depth images whose values are distances along each pixel's ray
// (millimetres), as the camera measures them. The unit ray of every pixel is computed once per set of
// intrinsics (undistorted), so that a frame costs one multiplication per coordinate.
#pragma once

#include <cstdint>
#include <vector>

#include "ZentroxIntrinsics.h"
#include "ZentroxTypes.h"

namespace Zentrox {

class ZENTROX_API ZentroxPointCloud {
  public:
    ZentroxPointCloud() = default;
    explicit ZentroxPointCloud(const Intrinsics& intrinsics);

    // Computes the ray table of `intrinsics`. ZentroxInvalidParameter, leaving an empty table, for
    // intrinsics that are not valid.
    int setIntrinsics(const Intrinsics& intrinsics);
    const Intrinsics& intrinsics() const { return intr; }
    uint32_t width() const { return ready ? intr.width : 0; }
    uint32_t height() const { return ready ? intr.height : 0; }

    // Unit ray (x right, y down, z forward) of every pixel, three floats each, row-major; NaN for a
    // pixel that has no undistorted ray. Empty until intrinsics were set.
    const std::vector<float>& rays() const { return table; }

    // Points in metres, three floats per pixel (width * height * 3), row-major; NaN where the depth
    // is 0, negative or not finite. ZentroxInvalidParameter without intrinsics or buffers.
    int compute(const float* depth_mm, float* xyz_m) const;
    // Distance along the optical axis in millimetres per pixel; 0 where the depth is not valid.
    int depthToZ(const float* depth_mm, float* z_mm) const;

  private:
    Intrinsics intr;
    bool ready = false;
    std::vector<float> table;
};

}  // namespace Zentrox
