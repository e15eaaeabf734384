// The VGA class module: one raw image per camera frame in the layout the depth engine reads
// (si4c_format.h): 5 blocks (single frequency) or 10 blocks (double) of (height + 1) rows of `width`
// 12-bit samples, each block a metadata row and an image of phases, or of ambient light. The kit
// reports `width` x raw height as its image size; the range registers do not apply to this module.
#pragma once

#include <vector>

#include "ModuleRenderer.h"
#include "si4c_render.h"

namespace Zentrox {

// Rows of the raw image of a vga module configuration.
uint32_t vgaRawHeight(const EvkConfig& config);

class VgaRenderer final : public ModuleRenderer {
  public:
    explicit VgaRenderer(const EvkConfig& config);
    uint32_t width() const override { return uint32_t(renderer.layout().width); }
    uint32_t height() const override { return uint32_t(renderer.layout().rawHeight()); }
    uint32_t bitWidth() const override { return 12; }
    uint32_t imagesPerFrame() const override { return 1; }
    void render(uint64_t frame, uint32_t index, RangeMode range, uint8_t* out) override;
    std::string describe() const override;

  private:
    si4c::RawFrameRenderer renderer;
    std::vector<uint16_t> words;  // one raw frame, copied out as little-endian bytes
};

}  // namespace Zentrox
