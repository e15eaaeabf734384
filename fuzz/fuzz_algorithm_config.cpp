// The depth engine's algorithm parameters file ("ConfigAlgorithm.json", INI-style text): any bytes.
// Accepted parameters are finite, non-negative and ordered; a refused text changes nothing.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "AlgorithmConfig.h"

using namespace Zentrox::si4c;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    AlgorithmParams params;
    params.valid_dist_min_mm = 1.0f;
    params.valid_dist_max_mm = 2.0f;
    params.confidence_min = 3.0f;
    if (parseAlgorithmConfig(text, params)) {
        if (!std::isfinite(params.valid_dist_min_mm) || !std::isfinite(params.valid_dist_max_mm) ||
            !std::isfinite(params.confidence_min) || params.valid_dist_min_mm < 0 ||
            params.valid_dist_min_mm > params.valid_dist_max_mm || params.confidence_min < 0)
            __builtin_trap();
    } else if (params.valid_dist_min_mm != 1.0f || params.valid_dist_max_mm != 2.0f ||
               params.confidence_min != 3.0f) {
        __builtin_trap();
    }
    return 0;
}
