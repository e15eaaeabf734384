#include "device/DefaultConfigFiles.h"
#include "system/KernelSeam.h"

namespace Zentrox {

bool writeDefaultConfigFiles() {
    KernelSeam& seam = kernel();
    return seam.replaceFile("ConfigAlgorithm.json", kConfigAlgorithmText) &&
           seam.replaceFile("ConfigCamera.json", kConfigCameraText) &&
           seam.replaceFile("register.json", kRegisterText);
}

}  // namespace Zentrox
