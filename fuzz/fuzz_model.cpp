// The device-tree model text: any bytes, read through the seam as the model file.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzKernel.h"
#include "system/Platform.h"

using namespace Zentrox;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Fuzz::FuzzKernel fake;
    fake.files["/sys/firmware/devicetree/base/model"] =
        std::string(reinterpret_cast<const char*>(data), size);
    int code;
    {
        ScopedKernel scope(fake);
        code = detectPlatform();
    }
    switch (code) {
        case Platform::UNKNOWN:
        case Platform::JETSON_NANO:
        case Platform::JETSON:
        case Platform::RASPBERRY_PI:
        case Platform::RASPBERRY_PI_5:
        case Platform::RADXA_ROCK:
            break;
        default:
            __builtin_trap();
    }
    // The rule table on the same text as a C string of any length.
    std::string text(reinterpret_cast<const char*>(data), size);
    (void)platformFromModel(text.c_str());
    fake.requireNoLeaks();
    return 0;
}
