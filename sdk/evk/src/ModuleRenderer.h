// The module side of the emulated kit: what one image of a module type looks like. Each module type
// (the 240 x 180 four-phase module now, raw layouts of other modules later) renders the shared scene
// map into its own image layout behind this interface; the kit around it handles pacing, buffers,
// registers and faults the same way for all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "EvkConfig.h"

namespace Zentrox {

// The modulation that the range registers select.
enum class RangeMode : uint8_t {
    RANGE_4000 = 0,  // 37.5 MHz
    RANGE_2000 = 1,  // 75 MHz
};

class ModuleRenderer {
  public:
    virtual ~ModuleRenderer() = default;
    virtual uint32_t width() const = 0;
    virtual uint32_t height() const = 0;
    virtual uint32_t bitWidth() const = 0;
    // Images that make up one camera frame.
    virtual uint32_t imagesPerFrame() const = 0;
    size_t imageBytes() const { return size_t{width()} * height() * (bitWidth() > 8 ? 2 : 1); }
    // Writes image `index` (below imagesPerFrame()) of camera frame `frame`, modulated for `range`,
    // into `out` (imageBytes() bytes). Runs on the capturing thread: allocates nothing.
    virtual void render(uint64_t frame, uint32_t index, RangeMode range, uint8_t* out) = 0;
    // Whether rendering an image costs more than copying one prepared in advance.
    virtual bool costlyImages() const { return true; }
    // A few words for the kit's notice at open, e.g. "240 x 180, 12 bits, four phase images".
    virtual std::string describe() const = 0;
};

// The renderer of `config.module` with everything that stays the same from frame to frame already
// computed; null with the reason in `error` for an unknown module type.
std::unique_ptr<ModuleRenderer> makeModuleRenderer(const EvkConfig& config, std::string& error);

}  // namespace Zentrox
