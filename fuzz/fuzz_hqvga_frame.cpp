// Raw camera frames of a 240 x 180 module (four phase planes of any 16-bit words) through the
// HQVGA device, depth and raw paths, on each board's sample layout and both ranges.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "device/ZentroxDeviceHQVGA.h"
#include "system/Platform.h"

using namespace Zentrox;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t pixels = 240 * 180;
    constexpr size_t frameBytes = pixels * 4 * 2;
    if (size < 1) return 0;
    const uint8_t selector = data[0];
    // The input is repeated to fill the frame, so short inputs still reach every pixel position.
    std::vector<uint8_t> frame(frameBytes);
    const uint8_t* body = data + 1;
    const size_t bodySize = size - 1;
    for (size_t i = 0; i < frameBytes; ++i)
        frame[i] = bodySize ? body[i % bodySize] : 0;

    ZentroxDeviceHQVGA device((selector & 1) ? Platform::JETSON : Platform::RASPBERRY_PI);
    device.open(nullptr);
    device.setControl(CameraCtrl::RANGE, (selector & 2) ? 2000 : 4000);
    std::vector<float> depth(pixels), amplitude(pixels), confidence(pixels);
    std::vector<int16_t> raw(pixels * 4);
    if (!device.getPhaseImage(frame.data(), depth.data(), amplitude.data(), confidence.data()))
        __builtin_trap();
    for (size_t i = 0; i < pixels; ++i) {
        if (std::isnan(depth[i]) || std::isnan(amplitude[i])) __builtin_trap();
    }
    // Whatever faster path the device takes must give the scalar reference's bits.
    std::vector<float> refDepth(pixels), refAmplitude(pixels), refConfidence(pixels);
    device.getPhaseImageReference(frame.data(), refDepth.data(), refAmplitude.data(), refConfidence.data());
    if (std::memcmp(depth.data(), refDepth.data(), pixels * sizeof(float)) != 0 ||
        std::memcmp(amplitude.data(), refAmplitude.data(), pixels * sizeof(float)) != 0)
        __builtin_trap();
    if (!device.getRawImages(frame.data(), raw.data())) __builtin_trap();
    return 0;
}
