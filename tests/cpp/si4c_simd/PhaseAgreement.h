// Inputs for the per-pixel conversions and the comparison of a vectorised conversion with the scalar
// reference.
//
// Agreement required, pixel by pixel, in [begin, end):
// - amplitude: the reference's bits (exact sums of squares, correctly rounded roots, the same float
//   steps in the same order, no contracted multiply-adds on either side);
// - validity (confidence > 0, invalid pixels 0 depth and 0 confidence): the reference's, except where
//   the reference itself is within the depth bound below of a limit (valid_min_mm, valid_max_mm, the
//   unwrap tolerance) or of the wrap of the output range. Such "borderline" pixels are found by
//   running the reference again with every limit moved by that bound, inwards and outwards: a pixel
//   whose validity differs between those two runs may differ.
// - confidence of pixels valid in both: the reference's bits (it derives from the amplitudes alone);
// - depth of pixels valid in both: within ulp(max |depth|) + kPhaseSlackMm of the reference, measured
//   around the circle of the output range (single: the frequency's range, double: the combined range),
//   since 0 and the range are one distance.
// Why that depth bound: both sides compute the phase fraction in double precision from atan2 of the
// same exact integers, with the same later steps. SLEEF's atan2 is within 3.5 units in the last place
// and the C library's within one, so after the offset and wrap steps the fractions differ by some
// d < 1e-15 of a turn. Single frequency: depth = fraction x range moves by 1250 d. Double frequency:
// d0 = (p0 + n0) r0 moves by 1500 d and the disagreement (2 p0 - 3 p1 - k) range / 6 by 5 d x 750,
// the fused depth by at most their sum, 5250 d < 1e-11 mm (kPhaseSlackMm leaves a hundredfold margin).
// The final rounding to float then lands on the same float or its neighbour: one unit in the last
// place. A wrong residue (1500 mm), a lost lane (untouched output), a wrong offset or weight (far more
// than 1e-9 mm) or a decision taken on the wrong side of a limit all fall outside it.
// Outside [begin, end) every output keeps its sentinel bits.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "PhaseKernel.h"
#include "PhaseKernels.h"
#include "si4c_format.h"

namespace Zentrox {
namespace si4c {
namespace test {

constexpr double kPhaseSlackMm = 1e-9;

// Sample planes of one or two frequencies, owned, with FrequencyPlanes bound to them.
struct PixelPlanes {
    PixelPlanes(size_t pixels, bool single);
    // Copies the image blocks of a raw frame of `layout` (same pixel count and mode).
    void copyFrom(const RawLayout& layout, const std::vector<uint16_t>& raw);
    void set(int slot, size_t i, int s0, int s1, int s2, int s3, int ambient);
    size_t pixels() const { return ambient[0].size(); }
    int frequencies() const { return single ? 1 : 2; }

    bool single;
    std::vector<uint16_t> phase[2][4];
    std::vector<uint16_t> ambient[2];
    FrequencyPlanes f[2];
};

// Output planes filled with a sentinel (a NaN pattern no conversion writes).
struct Conversion {
    explicit Conversion(size_t pixels);
    std::vector<float> depth, amplitude, confidence;
};

Conversion convertWith(const PhaseKernels& kernels, const PixelPlanes& in, const KernelLimits& limits,
                       size_t begin, size_t end);

struct Agreement {
    size_t compared = 0;    // pixels in [begin, end)
    size_t valid = 0;       // valid in both, depth and confidence compared
    size_t invalid = 0;     // invalid in both
    size_t borderline = 0;  // validity differs where the bound allows it
    size_t faults = 0;
    std::string first_fault;
};

// The rules above, with the reference run three times (limits as given, moved in, moved out).
Agreement compareWithReference(const PixelPlanes& in, const KernelLimits& limits, size_t begin, size_t end,
                               const Conversion& candidate);

// Same, for a candidate and reference conversions computed by the caller.
Agreement compareConversions(const PixelPlanes& in, const KernelLimits& limits, size_t begin, size_t end,
                             const Conversion& reference, const Conversion& loose, const Conversion& tight,
                             const Conversion& candidate);

// Reference runs with every limit moved outwards (loose) or inwards (tight) by the depth bound.
KernelLimits movedLimits(const KernelLimits& limits, bool outwards);

// The vectorised kernels this CPU runs (none in a scalar-only build).
std::vector<const PhaseKernels*> vectorKernels();

bool isSentinel(float v);

}  // namespace test
}  // namespace si4c
}  // namespace Zentrox
