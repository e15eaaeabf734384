#include "sensor/CsiTransport.h"

#include "sensor/csi/ZentroxTOFCSISensor.h"

namespace Zentrox {

std::unique_ptr<ZentroxTOFSensor> makeCsiSensor(const char* devicePath, int platform) {
    return std::make_unique<ZentroxTOFCSISensor>(devicePath, platform);
}

}  // namespace Zentrox
