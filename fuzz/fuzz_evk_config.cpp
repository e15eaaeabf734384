// The emulated kit's configuration file: any bytes as JSON text. Accepted text gives values within
// the documented ranges; refused text says why.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "EvkConfig.h"

using namespace Zentrox;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    EvkConfig config;
    std::string error;
    if (parseEvkConfig(text, config, error)) {
        const uint32_t b = config.bit_width;
        if (b != 8 && b != 10 && b != 12 && b != 14) __builtin_trap();
        if (config.width == 0 || config.height == 0) __builtin_trap();
        if (!std::isfinite(config.frame_rate) || config.frame_rate < 0) __builtin_trap();
        if (!std::isfinite(config.noise) || config.noise < 0) __builtin_trap();
    } else if (error.empty()) {
        __builtin_trap();
    }
    return 0;
}
