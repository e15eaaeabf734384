// The 240 x 180 class module: four phase images per camera frame, encoded so that the HQVGA depth
// device recovers the scene's distances (ZentroxPhaseEncoding.h).
#pragma once

#include <vector>

#include "ModuleRenderer.h"
#include "ZentroxPhaseEncoding.h"

namespace Zentrox {

class HqvgaRenderer final : public ModuleRenderer {
  public:
    explicit HqvgaRenderer(const EvkConfig& config);
    uint32_t width() const override { return imageWidth; }
    uint32_t height() const override { return imageHeight; }
    uint32_t bitWidth() const override { return bits; }
    uint32_t imagesPerFrame() const override { return 4; }
    void render(uint64_t frame, uint32_t index, RangeMode range, uint8_t* out) override;
    std::string describe() const override;
    bool costlyImages() const override { return !noise.empty(); }

  private:
    uint32_t imageWidth;
    uint32_t imageHeight;
    uint32_t bits;
    PhaseEncoder encoders[2];  // by RangeMode
    NoiseTable noise;
    // Without noise every frame is the same: the finished images, by RangeMode and phase.
    std::vector<uint8_t> still[2][4];
};

}  // namespace Zentrox
