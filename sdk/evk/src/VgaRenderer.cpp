#include "VgaRenderer.h"

#include <cstring>

#include "ZentroxScene.h"

namespace Zentrox {

uint32_t vgaRawHeight(const EvkConfig& config) {
    return (config.height + 1) * (config.single_frequency ? 5u : 10u);
}

VgaRenderer::VgaRenderer(const EvkConfig& config) {
    SceneMap map;
    renderScene(config.scene,
                PinholeCamera::fromFieldOfView(config.width, config.height, config.field_of_view), map);
    const si4c::RawLayout layout{int(config.width), int(config.height), config.single_frequency};
    si4c::RenderParams params;
    params.signal_at_1m = float(config.amplitude);
    params.ambient = float(config.ambient);
    params.noise = float(config.noise);
    params.seed = uint32_t(config.seed ^ (config.seed >> 32));
    params.phase_offset_rad[0] = float(config.phase_offsets[0]);
    params.phase_offset_rad[1] = float(config.phase_offsets[1]);
    renderer.prepare(layout, map.distance.data(), map.reflectivity.data(), params);
    words.assign(layout.samples(), 0);
}

void VgaRenderer::render(uint64_t frame, uint32_t, RangeMode, uint8_t* out) {
    renderer.render(uint32_t(frame), words.data());
    for (size_t i = 0; i < words.size(); ++i) {
        out[2 * i] = uint8_t(words[i]);
        out[2 * i + 1] = uint8_t(words[i] >> 8);
    }
}

std::string VgaRenderer::describe() const {
    const si4c::RawLayout& l = renderer.layout();
    return std::to_string(l.width) + " x " + std::to_string(l.height) + " VGA raw layout, " +
           (l.single ? "single" : "double") + " frequency, one " + std::to_string(l.width) + " x " +
           std::to_string(l.rawHeight()) + " image per frame";
}

}  // namespace Zentrox
