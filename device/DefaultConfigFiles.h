// The three default configuration files of the depth-processing SDK. They hold INI-style text despite
// the ".json" extension and are written byte for byte into the current working directory.
#pragma once

#include <string_view>

namespace Zentrox {

// Contents of "ConfigAlgorithm.json", "ConfigCamera.json" and "register.json".
extern const std::string_view kConfigAlgorithmText;
extern const std::string_view kConfigCameraText;
extern const std::string_view kRegisterText;

// Writes the three files into the current working directory, each through a new file renamed over
// the name: whatever had the name is replaced, a symbolic link is never followed. Stops at the first
// file that cannot be created, fully written or renamed (the ones before it stay written) and returns
// false; true when all three were written completely. The one place that writes these files.
bool writeDefaultConfigFiles();

}  // namespace Zentrox
