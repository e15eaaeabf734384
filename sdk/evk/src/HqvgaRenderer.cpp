#include "HqvgaRenderer.h"

#include <cstring>

#include "VgaRenderer.h"

namespace Zentrox {

std::unique_ptr<ModuleRenderer> makeModuleRenderer(const EvkConfig& config, std::string& error) {
    if (config.module == "hqvga") return std::make_unique<HqvgaRenderer>(config);
    if (config.module == "vga") return std::make_unique<VgaRenderer>(config);
    error = "unknown module type \"" + config.module + "\"";
    return nullptr;
}

HqvgaRenderer::HqvgaRenderer(const EvkConfig& config)
    : imageWidth(config.width), imageHeight(config.height), bits(config.bit_width) {
    // With sub-pixels the scene is traced at that many times the resolution (the same field of view),
    // so that each pixel's rays spread evenly over its area.
    const uint32_t sub = config.subpixels;
    SceneMap map;
    renderScene(config.scene,
                PinholeCamera::fromFieldOfView(imageWidth * sub, imageHeight * sub, config.field_of_view),
                map);
    for (RangeMode mode : {RangeMode::RANGE_4000, RangeMode::RANGE_2000}) {
        PhaseModel model = PhaseModel::forRange(mode == RangeMode::RANGE_2000 ? 2000 : 4000);
        model.amplitude_at_1m = config.amplitude;
        model.ambient = config.ambient;
        model.noise = config.noise;
        const int m = static_cast<int>(mode);
        encoders[m].prepare(map, model, sub);
        if (config.noise > 0.0) continue;
        for (unsigned k = 0; k < 4; ++k) {
            still[m][k].resize(encoders[m].imageBytes(bits));
            encoders[m].writeImage(k, bits, still[m][k].data());
        }
    }
    if (config.noise > 0.0) noise = NoiseTable(config.noise, config.seed);
}

void HqvgaRenderer::render(uint64_t frame, uint32_t index, RangeMode range, uint8_t* out) {
    const int m = static_cast<int>(range);
    if (noise.empty()) {
        std::memcpy(out, still[m][index].data(), still[m][index].size());
        return;
    }
    encoders[m].writeImage(index, bits, out, &noise, frame * 4 + index);
}

std::string HqvgaRenderer::describe() const {
    return std::to_string(imageWidth) + " x " + std::to_string(imageHeight) + ", " + std::to_string(bits) +
           " bits, four phase images per frame";
}

}  // namespace Zentrox
