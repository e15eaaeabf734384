#include "ZentroxDepthFilters.h"
#include "toolkit/DepthValues.h"

namespace Zentrox {

ZentroxDepthFilter::~ZentroxDepthFilter() = default;

int ZentroxConfidenceFilter::apply(float* depth, const float* amplitude, uint32_t width, uint32_t height) {
    if (!validFrame(depth, width, height) || amplitude == nullptr) return ZentroxInvalidParameter;
    const size_t pixels = size_t{width} * height;
    for (size_t i = 0; i < pixels; ++i) {
        // A NaN amplitude fails the comparison and takes the pixel away too.
        depth[i] = (hasDepth(depth[i]) & (amplitude[i] >= minimum)) ? depth[i] : 0.0f;
    }
    return ZentroxSuccess;
}

}  // namespace Zentrox
