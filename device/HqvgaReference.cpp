#include "device/HqvgaReference.h"

namespace Zentrox {

void hqvgaPhaseImageReference(const uint8_t* frame, float* depth, float* amplitude, float* confidence,
                              const HqvgaParams& params) {
    for (int pixel = 0; pixel < HQVGA_PIXELS; ++pixel) {
        int p[HQVGA_PLANES];
        for (int k = 0; k < HQVGA_PLANES; ++k) {
            p[k] = hqvgaDecodeSample(hqvgaRawSample(frame, k * HQVGA_PIXELS + pixel), params.shift);
        }
        const int q = params.range2000_pair ? p[1] - p[3] : p[2] - p[0];
        const int i = params.range2000_pair ? p[2] - p[0] : p[3] - p[1];
        float a;
        hqvgaPixelReference(q, i, params.depth_scale, &depth[pixel], &a);
        amplitude[pixel] = a;
        confidence[pixel] = a;
    }
}

void hqvgaRawImagesReference(const uint8_t* frame, int16_t* raw, uint8_t shift) {
    for (int y = 0; y < HQVGA_HEIGHT; ++y) {
        for (int k = 0; k < HQVGA_PLANES; ++k) {
            int16_t* out = raw + (HQVGA_PLANES * y + k) * HQVGA_WIDTH;
            const int in = k * HQVGA_PIXELS + y * HQVGA_WIDTH;
            for (int x = 0; x < HQVGA_WIDTH; ++x)
                out[x] = hqvgaDecodeSample(hqvgaRawSample(frame, in + x), shift);
        }
    }
}

}  // namespace Zentrox
