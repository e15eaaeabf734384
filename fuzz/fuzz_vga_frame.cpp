// VGA raw frames in the depth engine, metadata rows included: a well-formed rendered frame with any
// words overwritten, or wholly any bytes, at small sizes of both frequency modes. A refused frame
// leaves the outputs untouched.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "Engine.h"
#include "si4c_format.h"
#include "si4c_render.h"

using namespace Zentrox::si4c;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    RawLayout layout;
    layout.single = input.ConsumeBool();
    layout.width = kMinWidth * input.ConsumeIntegralInRange<int>(1, 4);
    layout.height = input.ConsumeIntegralInRange<int>(1, 12);
    Engine engine;
    engine.setSingleFrequency(layout.single);
    if (!engine.init(layout.width, layout.height) || !engine.start()) __builtin_trap();

    const size_t pixels = size_t(layout.width) * size_t(layout.height);
    std::vector<uint16_t> raw(layout.samples());
    if (input.ConsumeBool()) {
        std::vector<float> distance(pixels), reflectivity(pixels);
        for (size_t i = 0; i < pixels; ++i) {
            distance[i] = float(input.ConsumeIntegralInRange<int>(-100, 9000));
            reflectivity[i] = input.ConsumeProbability<float>();
            if (input.remaining_bytes() < 64) break;
        }
        RenderParams params;
        params.frame_counter = input.ConsumeIntegral<uint32_t>();
        params.noise = float(input.ConsumeIntegralInRange<int>(0, 50));
        renderRawFrame(layout, distance.data(), reflectivity.data(), params, raw.data());
        // Overwrite words anywhere, metadata rows first of all.
        while (input.remaining_bytes() >= 4) {
            size_t at;
            if (input.ConsumeBool()) {
                int block = input.ConsumeIntegralInRange<int>(0, layout.blocks() - 1);
                at = layout.metadataOffset(block) + input.ConsumeIntegralInRange<size_t>(0, META_WORDS);
            } else {
                at = input.ConsumeIntegralInRange<size_t>(0, raw.size() - 1);
            }
            raw[at % raw.size()] = input.ConsumeIntegral<uint16_t>();
        }
    } else {
        std::vector<uint8_t> rest = input.ConsumeRemainingBytes<uint8_t>();
        for (size_t i = 0; i < raw.size() && !rest.empty(); ++i)
            raw[i] = uint16_t(rest[(2 * i) % rest.size()] | (rest[(2 * i + 1) % rest.size()] << 8));
    }

    const float sentinel = -12345.0f;
    std::vector<float> depth(pixels, sentinel), amplitude(pixels, sentinel), confidence(pixels, sentinel);
    if (!engine.convert(raw.data(), depth.data(), amplitude.data(), confidence.data())) {
        for (size_t i = 0; i < pixels; ++i)
            if (depth[i] != sentinel || amplitude[i] != sentinel || confidence[i] != sentinel)
                __builtin_trap();
    }
    return 0;
}
