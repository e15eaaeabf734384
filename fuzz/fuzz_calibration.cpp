// The calibration blob: any bytes, parsed and handed to the depth engine, which must either take it
// or ignore it and then convert a well-formed frame all the same. A blob the parser accepts must
// survive writing and parsing again unchanged.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "Engine.h"
#include "si4c_format.h"
#include "si4c_render.h"

using namespace Zentrox::si4c;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    // Half of the inputs get a correct check word, so that the fields behind it are explored too.
    std::vector<uint8_t> bytes(input, input + size);
    if (size >= 8 && (input[size - 1] & 1)) {
        const size_t length = std::min<size_t>(size, size_t(input[0] | (input[1] << 8)));
        if (length >= 8) {
            const uint32_t crc = crc32(bytes.data(), length - 4);
            for (int k = 0; k < 4; ++k)
                bytes[length - 4 + k] = uint8_t(crc >> (8 * k));
        }
    }
    const uint8_t* data = bytes.data();
    Calibration parsed;
    const char* reason = nullptr;
    if (parseCalibrationBlob(data, size, parsed, &reason)) {
        std::vector<uint8_t> again = writeCalibrationBlob(parsed, 0);
        Calibration reparsed;
        if (again.empty() || !parseCalibrationBlob(again.data(), again.size(), reparsed, &reason))
            __builtin_trap();
        if (reparsed.width != parsed.width || reparsed.height != parsed.height ||
            reparsed.count != parsed.count)
            __builtin_trap();
    } else if (reason == nullptr) {
        __builtin_trap();  // a refusal always says why
    }

    // Through the engine, at a size the blob may or may not fit, in the mode its first byte picks.
    const bool single = size == 0 || (data[0] & 1);
    RawLayout layout;
    layout.width = parsed.width == 32 || parsed.width == 64 ? parsed.width : 32;
    layout.height = layout.width == 64 ? 48 : 24;
    layout.single = single;
    Engine engine;
    engine.setSingleFrequency(single);
    if (!engine.init(layout.width, layout.height)) __builtin_trap();
    // The engine reads the bytes in place for as long as it lives; `bytes` outlives it.
    (void)engine.setCalibration(bytes.data(), uint32_t(bytes.size()));
    if (!engine.start()) __builtin_trap();

    const size_t pixels = size_t(layout.width) * size_t(layout.height);
    std::vector<float> distance(pixels, 800.0f), reflectivity(pixels, 0.5f);
    std::vector<uint16_t> raw(layout.samples());
    RenderParams params;
    renderRawFrame(layout, distance.data(), reflectivity.data(), params, raw.data());
    std::vector<float> depth(pixels), amplitude(pixels), confidence(pixels);
    if (!engine.convert(raw.data(), depth.data(), amplitude.data(), confidence.data())) __builtin_trap();
    return 0;
}
