// The capture program run inside the VM (tests/vm/run) on vivid's /dev/video0. The CSI transport
// streams from vivid through the real kernel while a fake board supplies the media graph, the
// sensor sub-device, sysfs and the I2C bus (vivid has none of them). Runs the kernel probes, the
// capture matrix for sub-frame counts 1 and 4 and the refused formats; prints one line per failed
// check, notes with measured figures, and closes with "N passed, N failed".
#include <errno.h>
#include <fcntl.h>
#include <linux/videodev2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "sensor/csi/ZentroxTOFCSISensor.h"
#include "system/KernelSeam.h"
#include "system/Platform.h"
#include "tests/cpp/vm/CaptureMatrix.h"
#include "tests/cpp/vm/HybridKernel.h"
#include "tests/cpp/vm/KernelProbes.h"
#include "tests/cpp/vm/ObservingKernel.h"
#include "tests/cpp/vm/VividSource.h"
#include "tests/cpp/vm/VmChecks.h"
#include "tests/fakes/FakeBoards.h"
#include "tests/fakes/FakeKernel.h"

using namespace Zentrox;

namespace {

int usage(const char* self) {
    std::fprintf(stderr, "usage: %s [--planes single|multi] [--cycles N] [-v]\n", self);
    return 2;
}

// A fake board of `platform` around the real capture node, installed for the object's lifetime.
struct Rig {
    Rig(KernelSeam& real, int platform, const char* video)
        : board(fake, platform, boardOptions()), hybrid(real, fake, video), seen(hybrid), installed(seen) {}

    static BoardOptions boardOptions() {
        BoardOptions options;
        options.captureNode = false;
        options.width = 640;
        options.height = 480;
        return options;
    }

    FakeKernel fake;
    FakeBoard board;
    HybridKernel hybrid;
    ObservingKernel seen;
    ScopedKernel installed;
};

SensorFactory csiSensor(const char* video, int platform) {
    return [video, platform]() -> std::unique_ptr<ZentroxTOFSensor> {
        return std::make_unique<ZentroxTOFCSISensor>(video, platform);
    };
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
    const char* video = options.video_path;
    const uint32_t type = multiPlane ? V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE : V4L2_BUF_TYPE_VIDEO_CAPTURE;
    LibcKernel real;

    const int fd = real.open(video, O_RDWR);
    if (!checks.check(fd >= 0, "open %s: %s", video, std::strerror(errno))) return checks.finish();
    uint32_t num = 0, den = 0;
    ScopedKernel plain(real);
    const int err = selectFastHdmiTimings(fd, type, &num, &den);
    checks.check(err == 0, "fast HDMI timings: %s", std::strerror(err));
    real.close(fd);
    checks.note("%s-plane, frame period %u/%u s", multiPlane ? "multi" : "single", num, den);
    runKernelProbes(checks, video, multiPlane, 640, 480);

    // The transport picks the multi-plane type on a Radxa ROCK only; Raspberry Pi boards stream
    // single-plane with the copying converter, the Raspberry Pi 5 asks for packed Y12P.
    const int platform = multiPlane ? Platform::RADXA_ROCK : Platform::RASPBERRY_PI;
    {
        Rig rig(real, platform, video);
        checks.note("board %s, sensor entity \"%s\"", platformName(platform), rig.board.sensorEntity.c_str());
        for (int n : {1, 4}) {
            runCaptureCycles(checks, rig.seen, csiSensor(video, platform), n, options);
        }
        runSizeRefusals(checks, rig.seen, csiSensor(video, platform), options);
        checks.check(rig.fake.openDescriptors() == 0 && rig.hybrid.realDescriptors() == 0,
                     "every descriptor closed (%d fake, %zu real)", rig.fake.openDescriptors(),
                     rig.hybrid.realDescriptors());
    }
    if (!multiPlane) {
        Rig rig(real, Platform::RASPBERRY_PI_5, video);
        runPixelFormatRefusal(checks, csiSensor(video, Platform::RASPBERRY_PI_5), options);
    }
    return checks.finish();
}
