// A camera over the CSI transport of a fake board (240 x 180 module, HQVGA device): the camera, its
// fake kernel and the board, for the stress and fault-injection suites.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "ZentroxTOFCamera.h"
#include "device/ZentroxDeviceHQVGA.h"
#include "sensor/csi/ZentroxTOFCSISensor.h"
#include "system/Platform.h"
#include "tests/fakes/CameraTestAccess.h"
#include "tests/fakes/FakeBoards.h"
#include "tests/fakes/FakeKernel.h"

namespace Zentrox {

struct CsiRig {
    explicit CsiRig(int platform = Platform::RASPBERRY_PI) : board(fake, platform) {}

    // Opens the camera on /dev/video0 as a caller would.
    int open(ZentroxTOFCamera& cam) {
#ifdef ZENTROX_HAS_CAMERA_OPEN
        return cam.open(Connection::CSI, 0);
#else
        // Without the camera's own open, the collaborators it would choose are installed.
        auto sensor = std::make_unique<ZentroxTOFCSISensor>(board.videoPath.c_str(), board.platform);
        sensor->subFrameCount = 4;
        CameraTestAccess::install(cam, std::move(sensor),
                                  std::make_unique<ZentroxDeviceHQVGA>(board.platform));
        return cam.getCameraInfo().width == 240 ? 0 : -2;
#endif
    }

    FakeKernel fake;
    FakeBoard board;
    ScopedKernel seam{fake};
};

}  // namespace Zentrox
