// The capture program run inside the VM (tests/vm/run) on vivid's /dev/video0: kernel probes, the
// capture matrix for sub-frame counts 1 and 4, and the refused formats. Prints one line per failed
// check, notes with measured figures, and closes with "N passed, N failed".
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "CaptureMatrix.h"
#include "KernelProbes.h"
#include "KernelSeam.h"
#include "ObservingKernel.h"
#include "ReferenceCapture.h"
#include "VividSource.h"
#include "VmChecks.h"

using namespace Zentrox;

namespace {

int usage(const char* self) {
    std::fprintf(stderr, "usage: %s [--planes single|multi] [--cycles N] [-v]\n", self);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    bool multiPlane = false;
    MatrixOptions options;
    VmChecks checks;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--planes" && i + 1 < argc) {
            const std::string planes = argv[++i];
            if (planes != "single" && planes != "multi") return usage(argv[0]);
            multiPlane = planes == "multi";
        } else if (arg == "--cycles" && i + 1 < argc) {
            options.cycles = std::atoi(argv[++i]);
            options.reopen_after = options.cycles / 2;
        } else if (arg == "-v") {
            checks.verbose = true;
        } else {
            return usage(argv[0]);
        }
    }
    const uint32_t type = multiPlane ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;

    LibcKernel real;
    ObservingKernel seen(real);
    ScopedKernel installed(seen);

    int fd = kernel().open(options.video_path, O_RDWR);
    if (!checks.check(fd >= 0, "open %s: %s", options.video_path, std::strerror(errno)))
        return checks.finish();
    uint32_t num = 0, den = 0;
    const int err = selectFastHdmiTimings(fd, type, &num, &den);
    checks.check(err == 0, "fast HDMI timings: %s", std::strerror(err));
    kernel().close(fd);
    checks.note("%s-plane, frame period %u/%u s", multiPlane ? "multi" : "single", num, den);

    runKernelProbes(checks, options.video_path, multiPlane, 640, 480);

    const char* video = options.video_path;
    const SensorFactory makeSensor = [video, multiPlane]() -> std::unique_ptr<ZentroxTOFSensor> {
        return std::make_unique<ReferenceCapture>(video, multiPlane, V4L2_PIX_FMT_Y12);
    };
    const SensorFactory makeWrongFormat = [video, multiPlane]() -> std::unique_ptr<ZentroxTOFSensor> {
        return std::make_unique<ReferenceCapture>(video, multiPlane, V4L2_PIX_FMT_Y12P);
    };
    for (int n : {1, 4}) {
        runCaptureCycles(checks, seen, makeSensor, n, options);
    }
    runFormatRefusals(checks, seen, makeSensor, makeWrongFormat, options);
    return checks.finish();
}
