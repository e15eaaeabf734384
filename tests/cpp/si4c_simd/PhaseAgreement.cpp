#include "tests/cpp/si4c_simd/PhaseAgreement.h"

#include <cmath>
#include <cstring>
#include <sstream>

namespace Zentrox {
namespace si4c {
namespace test {

namespace {

constexpr uint32_t kSentinelBits = 0x7FC0DEADu;

float sentinel() {
    float v;
    std::memcpy(&v, &kSentinelBits, sizeof v);
    return v;
}

uint32_t bitsOf(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// The spacing of floats at |v|.
double ulpAt(double v) {
    const float f = float(std::fabs(v));
    return double(std::nextafter(f, INFINITY)) - double(f);
}

double depthBound(double a, double b) {
    return ulpAt(std::fmax(std::fabs(a), std::fabs(b))) + kPhaseSlackMm;
}

float moved(float limit, bool up) {
    const double step = 2.0 * ulpAt(limit) + kPhaseSlackMm;
    return float(up ? double(limit) + step : double(limit) - step);
}

}  // namespace

bool isSentinel(float v) {
    return bitsOf(v) == kSentinelBits;
}

PixelPlanes::PixelPlanes(size_t pixels, bool single_frequency) : single(single_frequency) {
    const double ranges[2] = {single ? rangeMm(kSingleFrequencyHz) : rangeMm(kDoubleFrequencyHz[0]),
                              rangeMm(kDoubleFrequencyHz[1])};
    for (int slot = 0; slot < 2; ++slot) {
        for (int k = 0; k < 4; ++k) {
            phase[slot][k].assign(pixels, 0);
            f[slot].phase[k] = phase[slot][k].data();
        }
        ambient[slot].assign(pixels, 0);
        f[slot].ambient = ambient[slot].data();
        f[slot].range_mm = float(ranges[slot]);
    }
}

void PixelPlanes::copyFrom(const RawLayout& layout, const std::vector<uint16_t>& raw) {
    for (int slot = 0; slot < frequencies(); ++slot) {
        for (int k = 0; k < 5; ++k) {
            std::vector<uint16_t>& to = k < 4 ? phase[slot][k] : ambient[slot];
            const uint16_t* from = raw.data() + layout.imageOffset(RawLayout::blockOf(slot, k));
            std::memcpy(to.data(), from, to.size() * sizeof(uint16_t));
        }
    }
}

void PixelPlanes::set(int slot, size_t i, int s0, int s1, int s2, int s3, int amb) {
    phase[slot][0][i] = uint16_t(s0);
    phase[slot][1][i] = uint16_t(s1);
    phase[slot][2][i] = uint16_t(s2);
    phase[slot][3][i] = uint16_t(s3);
    ambient[slot][i] = uint16_t(amb);
}

Conversion::Conversion(size_t pixels)
    : depth(pixels, sentinel()), amplitude(pixels, sentinel()), confidence(pixels, sentinel()) {}

Conversion convertWith(const PhaseKernels& kernels, const PixelPlanes& in, const KernelLimits& limits,
                       size_t begin, size_t end) {
    Conversion out(in.pixels());
    if (in.single)
        kernels.single_frequency(in.f[0], limits, begin, end, out.depth.data(), out.amplitude.data(),
                                 out.confidence.data());
    else
        kernels.double_frequency(in.f[0], in.f[1], limits, begin, end, out.depth.data(), out.amplitude.data(),
                                 out.confidence.data());
    return out;
}

KernelLimits movedLimits(const KernelLimits& limits, bool outwards) {
    KernelLimits m = limits;
    m.valid_min_mm = moved(limits.valid_min_mm, !outwards);
    m.valid_max_mm = moved(limits.valid_max_mm, outwards);
    m.unwrap_tolerance_mm = moved(limits.unwrap_tolerance_mm, outwards);
    return m;
}

Agreement compareWithReference(const PixelPlanes& in, const KernelLimits& limits, size_t begin, size_t end,
                               const Conversion& candidate) {
    const PhaseKernels& scalar = *phaseKernelsFor(PhaseIsa::SCALAR);
    return compareConversions(in, limits, begin, end, convertWith(scalar, in, limits, begin, end),
                              convertWith(scalar, in, movedLimits(limits, true), begin, end),
                              convertWith(scalar, in, movedLimits(limits, false), begin, end), candidate);
}

Agreement compareConversions(const PixelPlanes& in, const KernelLimits& limits, size_t begin, size_t end,
                             const Conversion& reference, const Conversion& loose, const Conversion& tight,
                             const Conversion& candidate) {
    Agreement a;
    const double circle = in.single ? double(in.f[0].range_mm) : double(limits.combined_range_mm);
    auto fault = [&](size_t i, const char* what) {
        if (a.faults++ == 0) {
            std::ostringstream s;
            s.precision(9);
            s << "pixel " << i << ": " << what << " (reference depth " << reference.depth[i] << " amplitude "
              << reference.amplitude[i] << " confidence " << reference.confidence[i] << "; candidate depth "
              << candidate.depth[i] << " amplitude " << candidate.amplitude[i] << " confidence "
              << candidate.confidence[i] << ")";
            a.first_fault = s.str();
        }
    };
    for (size_t i = 0; i < in.pixels(); ++i) {
        const bool inside = i >= begin && i < end;
        if (!inside) {
            if (!isSentinel(candidate.depth[i]) || !isSentinel(candidate.amplitude[i]) ||
                !isSentinel(candidate.confidence[i]))
                fault(i, "written outside [begin, end)");
            continue;
        }
        ++a.compared;
        if (bitsOf(candidate.amplitude[i]) != bitsOf(reference.amplitude[i])) {
            fault(i, "amplitude differs");
            continue;
        }
        const bool refValid = reference.confidence[i] > 0.0f;
        const bool candValid = candidate.confidence[i] > 0.0f;
        if (!candValid && !(candidate.depth[i] == 0.0f && candidate.confidence[i] == 0.0f)) {
            fault(i, "an invalid pixel needs depth 0 and confidence 0");
            continue;
        }
        if (refValid != candValid) {
            const double d = reference.depth[i];
            const double nearWrap = depthBound(d, circle);
            const bool nearLimit = (loose.confidence[i] > 0.0f) != (tight.confidence[i] > 0.0f);
            if (nearLimit || d <= nearWrap || circle - d <= nearWrap)
                ++a.borderline;
            else
                fault(i, "validity differs away from every limit");
            continue;
        }
        if (!refValid) {
            ++a.invalid;
            continue;
        }
        ++a.valid;
        if (bitsOf(candidate.confidence[i]) != bitsOf(reference.confidence[i])) {
            fault(i, "confidence differs");
            continue;
        }
        double diff = std::fabs(double(candidate.depth[i]) - double(reference.depth[i]));
        diff = std::fmin(diff, std::fabs(circle - diff));
        if (!(diff <= depthBound(reference.depth[i], candidate.depth[i]))) fault(i, "depth beyond the bound");
    }
    return a;
}

std::vector<const PhaseKernels*> vectorKernels() {
    std::vector<const PhaseKernels*> out;
    for (PhaseIsa isa : {PhaseIsa::SSE2, PhaseIsa::AVX2, PhaseIsa::AVX512, PhaseIsa::ADVSIMD}) {
        if (const PhaseKernels* k = phaseKernelsFor(isa)) out.push_back(k);
    }
    return out;
}

}  // namespace test
}  // namespace si4c
}  // namespace Zentrox
