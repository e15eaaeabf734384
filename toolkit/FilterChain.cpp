#include "ZentroxDepthFilters.h"
#include "toolkit/DepthValues.h"

namespace Zentrox {

int ZentroxFilterChain::apply(float* depth, const float* amplitude, uint32_t width, uint32_t height) {
    if (!validFrame(depth, width, height)) return ZentroxInvalidParameter;
    for (ZentroxDepthFilter* step : steps)
        if (step == nullptr || (amplitude == nullptr && step->needsAmplitude()))
            return ZentroxInvalidParameter;
    for (ZentroxDepthFilter* step : steps) {
        const int status = step->apply(depth, amplitude, width, height);
        if (status != ZentroxSuccess) return status;
    }
    return ZentroxSuccess;
}

void ZentroxFilterChain::reset() {
    for (ZentroxDepthFilter* step : steps)
        if (step) step->reset();
}

bool ZentroxFilterChain::needsAmplitude() const {
    for (const ZentroxDepthFilter* step : steps)
        if (step && step->needsAmplitude()) return true;
    return false;
}

}  // namespace Zentrox
