// The CSI transport as the camera sees it: a sensor behind the common interface, so that the layers
// above need nothing of the kernel nodes it drives.
#pragma once

#include <memory>

#include "sensor/ZentroxTOFSensor.h"

namespace Zentrox {

// The transport for the capture node at `devicePath` on a board of kind `platform` (a Platform
// code), through the process-wide kernel seam. Nothing is opened before its open.
std::unique_ptr<ZentroxTOFSensor> makeCsiSensor(const char* devicePath, int platform);

}  // namespace Zentrox
