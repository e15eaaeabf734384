// Filters of depth images (millimetres, row-major, 0 where a pixel has no depth). Each works in place
// on one frame at a time, with the frame's amplitude image where it needs one, and allocates nothing
// per frame: its buffers are sized at the first frame (again only when the frame size changes).
// A pixel a filter takes away becomes 0; non-finite and negative depths count as no depth and come
// out as 0 too.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "ZentroxTypes.h"

namespace Zentrox {

class ZENTROX_API ZentroxDepthFilter {
  public:
    virtual ~ZentroxDepthFilter();
    // Filters `depth` (width * height values) in place. `amplitude` is the same frame's amplitude
    // image, or nullptr. ZentroxInvalidParameter, leaving `depth` as it was, for a missing buffer, an
    // empty size, or a filter that needs the amplitude and has none.
    virtual int apply(float* depth, const float* amplitude, uint32_t width, uint32_t height) = 0;
    // Forgets what earlier frames left behind; filters without memory have nothing to forget.
    virtual void reset() {}
    // Whether apply refuses a frame without its amplitude image.
    virtual bool needsAmplitude() const { return false; }
};

// Takes away pixels whose amplitude is below `min_amplitude` (weak returns are noisy).
class ZENTROX_API ZentroxConfidenceFilter final : public ZentroxDepthFilter {
  public:
    explicit ZentroxConfidenceFilter(float min_amplitude) : minimum(min_amplitude) {}
    int apply(float* depth, const float* amplitude, uint32_t width, uint32_t height) override;
    bool needsAmplitude() const override { return true; }
    float minAmplitude() const { return minimum; }

  private:
    float minimum;
};

// Takes away mixed ("flying") pixels at depth edges: a pixel whose light came partly from a near
// and partly from a far surface measures a depth between them, on neither. Such a pixel lies between
// its two opposite neighbours along a row, a column or a diagonal, with a gap to each of them larger
// than max(min_gap_mm, relative_gap * depth). A surface pixel always has a near neighbour on one side.
class ZENTROX_API ZentroxFlyingPixelFilter final : public ZentroxDepthFilter {
  public:
    explicit ZentroxFlyingPixelFilter(float relative_gap = 0.035f, float min_gap_mm = 30.0f)
        : relative(relative_gap), minimum(min_gap_mm) {}
    int apply(float* depth, const float* amplitude, uint32_t width, uint32_t height) override;
    float relativeGap() const { return relative; }
    float minGapMm() const { return minimum; }

  private:
    float relative;
    float minimum;
    std::vector<float> rows;  // the unfiltered rows above and at the one being filtered
};

// Edge-preserving smoothing: a weighted mean over the (2 radius + 1) pixels of the row, then of the
// column, with Gaussian weights of `sigma_px` that fall to 0 for neighbours whose depth differs by
// more than max(edge_mm, edge_relative * depth), at most half the depth (a biweight), so that no
// surface is averaged with another across an edge. Pixels without depth stay so and give no weight.
class ZENTROX_API ZentroxSpatialFilter final : public ZentroxDepthFilter {
  public:
    static constexpr uint32_t MAX_RADIUS = 7;
    // The radius is clamped to 1 ... MAX_RADIUS.
    explicit ZentroxSpatialFilter(uint32_t radius = 2, float sigma_px = 1.5f, float edge_mm = 50.0f,
                                  float edge_relative = 0.04f);
    int apply(float* depth, const float* amplitude, uint32_t width, uint32_t height) override;
    uint32_t radius() const { return reach; }

  private:
    uint32_t reach;
    float edgeMm;
    float edgeRelative;
    float weights[MAX_RADIUS + 1];  // the Gaussian at 0 ... MAX_RADIUS pixels
    std::vector<float> rowPass;     // the frame after the pass along rows, padded with zeros
};

// Per-pixel smoothing over time: an exponential mean with weight `alpha` for the newest frame (the
// plain mean of the frames so far until that is the smaller weight). A depth farther than
// max(reset_mm, reset_relative * mean) from the mean is a change in the scene: the pixel starts
// again from it. A pixel that loses its depth keeps its mean for up to `persistence` frames.
class ZENTROX_API ZentroxTemporalFilter final : public ZentroxDepthFilter {
  public:
    explicit ZentroxTemporalFilter(float alpha = 0.1f, float reset_mm = 100.0f, float reset_relative = 0.05f,
                                   uint32_t persistence = 3);
    int apply(float* depth, const float* amplitude, uint32_t width, uint32_t height) override;
    void reset() override;

  private:
    float alpha;
    float resetMm;
    float resetRelative;
    uint32_t persistence;
    uint32_t stateWidth = 0;
    uint32_t stateHeight = 0;
    // Per pixel, all floats so that one vector step updates them together: the mean, the frames
    // averaged since the pixel last started (0: no mean) and the frames in a row without depth.
    std::vector<float> mean;
    std::vector<float> frames;
    std::vector<float> missing;
};

// Filters in order. It does not own them; they must outlive the chain.
class ZENTROX_API ZentroxFilterChain final : public ZentroxDepthFilter {
  public:
    ZentroxFilterChain() = default;
    explicit ZentroxFilterChain(std::vector<ZentroxDepthFilter*> filters) : steps(std::move(filters)) {}
    void add(ZentroxDepthFilter* filter) { steps.push_back(filter); }
    size_t size() const { return steps.size(); }
    // Refuses, leaving `depth` as it was, what one of its filters would refuse (a missing buffer or
    // amplitude image, an empty size, a missing filter); otherwise runs them all.
    int apply(float* depth, const float* amplitude, uint32_t width, uint32_t height) override;
    void reset() override;
    bool needsAmplitude() const override;

  private:
    std::vector<ZentroxDepthFilter*> steps;
};

}  // namespace Zentrox
