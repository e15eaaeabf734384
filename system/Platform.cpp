#include "system/Platform.h"

#include <cstring>
#include <string>

#include "system/KernelSeam.h"

namespace Zentrox {

int platformFromModel(const char* model) {
    auto has = [model](const char* word) { return std::strstr(model, word) != nullptr; };
    if (has("Jetson")) {
        if (has("Xavier")) return Platform::JETSON;
        if (has("TX1") || has("Nano")) return Platform::JETSON_NANO;
        return Platform::JETSON;
    }
    if (has(" Orin")) return Platform::JETSON;
    if (has("Raspberry")) return has("Pi 5") ? Platform::RASPBERRY_PI_5 : Platform::RASPBERRY_PI;
    if (has("Radxa ROCK")) return Platform::RADXA_ROCK;
    return Platform::UNKNOWN;
}

int detectPlatform() {
    std::string content;
    if (!kernel().readFile("/sys/firmware/devicetree/base/model", content)) return Platform::UNKNOWN;
    // One line of at most 99 characters; the property's own NUL ends the text earlier.
    char line[100] = {};
    size_t n = 0;
    while (n < 99 && n < content.size() && content[n] != '\n') {
        line[n] = content[n];
        ++n;
    }
    return platformFromModel(line);
}

}  // namespace Zentrox
