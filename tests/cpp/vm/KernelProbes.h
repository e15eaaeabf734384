// Facts about the video node that the CSI transport and its fake kernel rely on, probed with plain
// V4L2 calls through the kernel seam. Each probe prints "fact <name>: <what happened>" and checks
// what a V4L2 driver built on videobuf2 does, so that the same probes hold the fake kernel to the
// real one.
#pragma once

#include <cstdint>

#include "tests/cpp/vm/VmChecks.h"

namespace Zentrox {

void runKernelProbes(VmChecks& checks, const char* videoPath, bool multiPlane, uint32_t width,
                     uint32_t height);

}  // namespace Zentrox
