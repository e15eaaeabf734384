// The capture matrix run on a real (or fake) video node: start / getFrame / stop cycles with a
// reopen half way, checking after every operation what the kernel saw through the observing seam.
#pragma once

#include <functional>
#include <memory>

#include "sensor/ZentroxTOFSensor.h"
#include "tests/cpp/vm/ObservingKernel.h"
#include "tests/cpp/vm/VmChecks.h"

namespace Zentrox {

using SensorFactory = std::function<std::unique_ptr<ZentroxTOFSensor>()>;

struct MatrixOptions {
    const char* video_path = "/dev/video0";
    int cycles = 50;
    int frames_per_cycle = 3;
    int reopen_after = 25;  // cycles before the sensor is closed and opened again
};

// Runs `options.cycles` cycles with `subFrameCount` sub-frames per frame.
void runCaptureCycles(VmChecks& checks, ObservingKernel& seen, const SensorFactory& makeSensor,
                      int subFrameCount, const MatrixOptions& options);

// Sizes the capture node cannot stream (the driver adjusts them) while the sensor sub-device takes
// them must make `start` fail with -1 and leave nothing mapped; the same sensor then streams again
// at its own size.
void runSizeRefusals(VmChecks& checks, ObservingKernel& seen, const SensorFactory& makeSensor,
                     const MatrixOptions& options);

// A sensor that asks the capture node for a pixel format it does not know must fail `start` with -1.
void runPixelFormatRefusal(VmChecks& checks, const SensorFactory& makeSensor, const MatrixOptions& options);

}  // namespace Zentrox
