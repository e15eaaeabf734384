// A CSI transport on a fake board: the fake kernel, given to the transport and installed for the
// rig's lifetime (for the free functions the tests call), one board profile built into it, and the
// sensor under test (destroyed before the kernel goes).
#pragma once

#include <gtest/gtest.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "sensor/csi/ZentroxTOFCSISensor.h"
#include "system/KernelSeam.h"
#include "system/Platform.h"
#include "tests/fakes/FakeBoards.h"
#include "tests/fakes/FakeKernel.h"

namespace Zentrox {

constexpr int kAllBoards[] = {Platform::JETSON, Platform::RASPBERRY_PI, Platform::RASPBERRY_PI_5,
                              Platform::RADXA_ROCK, Platform::UNKNOWN};

struct CsiRig {
    explicit CsiRig(int platform, BoardOptions options = {})
        : board(kernel, platform, std::move(options)),
          sensor(std::make_unique<ZentroxTOFCSISensor>(board.videoPath.c_str(), platform, kernel)) {
        info.index = 3;
        info.connect = Connection::CSI;
    }
    ~CsiRig() { sensor.reset(); }

    int open() { return sensor->open(info); }
    // Open and start as the camera does for a 240 x 180 module (four sub-frames per frame).
    int openAndStart() {
        int r = open();
        if (r != 0) return r;
        sensor->subFrameCount = 4;
        return sensor->start();
    }
    size_t frameBytes() const { return size_t(sensor->subFrameCount) * info.width * info.height * 2; }

    // The calls recorded since the last clearTrace that match.
    size_t count(Sys call, unsigned long request = 0) const {
        auto t = kernel.trace();
        return size_t(std::count_if(t.begin(), t.end(), [&](const SysCall& c) {
            return c.call == call && (request == 0 || c.request == request);
        }));
    }

    FakeKernel kernel;
    ScopedKernel installed{kernel};
    FakeBoard board;
    std::unique_ptr<ZentroxTOFCSISensor> sensor;
    CameraInfo info{};
};

inline std::string boardName(const testing::TestParamInfo<int>& p) {
    return platformName(p.param);
}

}  // namespace Zentrox
