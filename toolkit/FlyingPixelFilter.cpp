#include <algorithm>
#include <cstring>
#include <limits>

#include "ZentroxDepthFilters.h"
#include "toolkit/DepthValues.h"
#include "toolkit/Vec.h"

namespace Zentrox {

namespace {

using namespace simd;

// Whether centre c lies between a and b with more than `gap` to each (for the pixels the vector
// loop below leaves: the first and last of a row, and the rows at the top and bottom).
inline bool between(float a, float c, float b, float gap) {
    const bool rising = a < c - gap && b > c + gap;
    const bool falling = a > c + gap && b < c - gap;
    return hasDepth(a) && hasDepth(b) && (rising || falling);
}

// Row `y` of the output from the unfiltered rows above, at and below it (above and below may be
// null at the frame's top and bottom).
void filterRow(const float* above, const float* row, const float* below, float* out, uint32_t width,
               float relative, float minimum) {
    const uint32_t last = width - 1;
    for (uint32_t x = 0; x < width; ++x) {
        const float c = row[x];
        const float gap = std::max(minimum, relative * c);
        bool flying = false;
        if (x > 0 && x < last) flying = between(row[x - 1], c, row[x + 1], gap);
        if (above && below) {
            flying = flying || between(above[x], c, below[x], gap);
            if (x > 0 && x < last) {
                flying = flying || between(above[x - 1], c, below[x + 1], gap) ||
                         between(above[x + 1], c, below[x - 1], gap);
            }
        }
        out[x] = (hasDepth(c) && !flying) ? c : 0.0f;
    }
}

inline Mask8 known8(Vec8 a) {
    return (a > splat<Vec8>(0.0f)) & (a <= splat<Vec8>(std::numeric_limits<float>::max()));
}

inline Mask8 between8(Vec8 a, Vec8 b, Vec8 low, Vec8 high) {
    return known8(a) & known8(b) & (((a < low) & (b > high)) | ((a > high) & (b < low)));
}

// The same for the inner pixels of an inner row, eight at a time, then one at a time for the rest.
ZENTROX_TOOLKIT_CLONES void filterInnerRow(const float* above, const float* row, const float* below,
                                           float* out, uint32_t width, float relative, float minimum) {
    uint32_t x = 1;
    for (; x + lanes<Vec8>() + 1 <= width; x += lanes<Vec8>()) {
        const Vec8 c = load<Vec8>(row + x);
        const Vec8 gap = max(splat<Vec8>(minimum), splat<Vec8>(relative) * c);
        const Vec8 low = c - gap, high = c + gap;
        const Mask8 flying = between8(load<Vec8>(row + x - 1), load<Vec8>(row + x + 1), low, high) |
                             between8(load<Vec8>(above + x), load<Vec8>(below + x), low, high) |
                             between8(load<Vec8>(above + x - 1), load<Vec8>(below + x + 1), low, high) |
                             between8(load<Vec8>(above + x + 1), load<Vec8>(below + x - 1), low, high);
        store(out + x, select(known8(c) & ~flying, c, splat<Vec8>(0.0f)));
    }
    for (; x + 1 < width; ++x) {
        const float c = row[x];
        const float gap = std::max(minimum, relative * c);
        const bool flying = between(row[x - 1], c, row[x + 1], gap) || between(above[x], c, below[x], gap) ||
                            between(above[x - 1], c, below[x + 1], gap) ||
                            between(above[x + 1], c, below[x - 1], gap);
        out[x] = (hasDepth(c) && !flying) ? c : 0.0f;
    }
}

}  // namespace

int ZentroxFlyingPixelFilter::apply(float* depth, const float*, uint32_t width, uint32_t height) {
    if (!validFrame(depth, width, height)) return ZentroxInvalidParameter;
    // Two saved rows: the unfiltered row above the one being filtered and that row itself; the row
    // below is still unfiltered in place.
    rows.resize(size_t{width} * 2);
    float* previous = rows.data();
    float* current = rows.data() + width;
    for (uint32_t y = 0; y < height; ++y) {
        float* out = depth + size_t{y} * width;
        std::memcpy(current, out, width * sizeof(float));
        const float* above = y > 0 ? previous : nullptr;
        const float* below = y + 1 < height ? out + width : nullptr;
        if (above && below && width > 2) {
            filterInnerRow(above, current, below, out, width, relative, minimum);
            // The first and last pixel of the row have only their column and no diagonals.
            for (uint32_t x : {0u, width - 1}) {
                const float c = current[x];
                const float gap = std::max(minimum, relative * c);
                out[x] = (hasDepth(c) && !between(above[x], c, below[x], gap)) ? c : 0.0f;
            }
        } else {
            filterRow(above, current, below, out, width, relative, minimum);
        }
        std::swap(previous, current);
    }
    return ZentroxSuccess;
}

}  // namespace Zentrox
