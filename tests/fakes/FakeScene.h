// What the fake camera module looks at, and how it turns that into four phase images: the
// four-phase time-of-flight model that the HQVGA depth computation inverts.
#pragma once

#include <cstdint>

namespace Zentrox {

struct ScenePoint {
    double depthMm;
    double amplitude;  // in 11-bit sample counts; at most about 2000
};

class FakeScene {
  public:
    virtual ~FakeScene() = default;
    virtual ScenePoint at(uint32_t x, uint32_t y, uint32_t width, uint32_t height) const = 0;
};

// A floor tilted away from the camera with a box in front of it.
class TiltedFloorScene : public FakeScene {
  public:
    ScenePoint at(uint32_t x, uint32_t y, uint32_t width, uint32_t height) const override;
};

// The depth the module measures at a range of `rangeMm` (4000 or 2000): the scene's depth
// folded into the unambiguous range.
double measuredDepth(double depthMm, double rangeMm);

// Phase image `phase` (0..3) of the scene as 12-bit words holding 11-bit two's-complement values;
// `shortRange` renders at 75 MHz with the phase order of the 2 m range, otherwise 37.5 MHz.
void renderPhase(const FakeScene& scene, bool shortRange, int phase, uint32_t width, uint32_t height,
                 uint16_t* samples);

}  // namespace Zentrox
