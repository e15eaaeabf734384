// Opens the emulated kit through the public headers only, takes one depth frame, builds intrinsics
// of its size with the toolkit and prints the size and the text of a status code. Exits non-zero on
// any failure.
#include <cstdio>
#include <cstring>

#include "ZentroxIntrinsics.h"
#include "ZentroxTOFCamera.h"

int main() {
    using namespace Zentrox;
    if (std::strcmp(to_str(ZentroxSuccess), "") == 0) return 2;
    ZentroxTOFCamera cam;
    if (cam.open(Connection::USB, 0) != ZentroxSuccess) return 3;
    int status = 4;
    if (cam.start(FrameType::DEPTH) == ZentroxSuccess) {
        if (ZentroxFrameBuffer* frame = cam.requestFrame(2000)) {
            FrameDataFormat format;
            if (frame->getFormat(FrameType::DEPTH, format) == ZentroxSuccess &&
                Intrinsics::fromFieldOfView(format.width, format.height, 70.0).valid()) {
                std::printf("depth frame %ux%u: %s\n", unsigned(format.width), unsigned(format.height),
                            to_str(ZentroxSuccess));
                status = 0;
            }
            cam.releaseFrame(frame);
        }
        cam.stop();
    }
    cam.close();
    return status;
}
