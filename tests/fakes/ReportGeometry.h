// What the sensor doubles report of their module when they open: its size and sample format. The
// other members of the caller's CameraInfo are left as the caller set them.
#pragma once

#include "ZentroxTypes.h"

namespace Zentrox {

inline void reportGeometry(const CameraInfo& module, CameraInfo& out) {
    out.width = module.width;
    out.height = module.height;
    out.bit_width = module.bit_width;
    out.bpp = module.bpp;
}

}  // namespace Zentrox
