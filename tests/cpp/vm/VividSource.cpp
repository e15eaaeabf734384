#include "tests/cpp/vm/VividSource.h"

#include <errno.h>
#include <linux/videodev2.h>

#include <cstring>
#include <fstream>
#include <string>

#include "system/KernelSeam.h"

namespace Zentrox {

int selectFastHdmiTimings(int videoFd, uint32_t bufType, uint32_t* periodNumerator,
                          uint32_t* periodDenominator) {
    // 972 lines in all at 1100 frames/s: a line rate of 1.0692 MHz, a pixel clock of 769.824 MHz
    // (vivid takes up to 775 MHz) over 720 pixels per line. The kernel's CVT check recomputes the
    // vertical front porch from the line rate and gets 640 x 480 back only for these porches.
    const unsigned lines = 972;
    const unsigned rate = 1100;
    // Reduced blanking v2: an 8-line vsync, positive hsync, 80 pixels of horizontal blanking.
    v4l2_dv_timings timings;
    std::memset(&timings, 0, sizeof timings);
    timings.type = V4L2_DV_BT_656_1120;
    v4l2_bt_timings& bt = timings.bt;
    bt.width = 640;
    bt.height = 480;
    bt.interlaced = V4L2_DV_PROGRESSIVE;
    bt.polarities = V4L2_DV_HSYNC_POS_POL;
    bt.pixelclock = 720ull * lines * rate;
    bt.hfrontporch = 8;
    bt.hsync = 32;
    bt.hbackporch = 40;
    bt.vfrontporch = 460ull * lines * rate / 1000000 + 1 - 8 - 6;  // 460 us of blanking
    bt.vsync = 8;
    bt.vbackporch = lines - 480 - bt.vfrontporch - 8;
    bt.standards = V4L2_DV_BT_STD_CVT;
    bt.flags = V4L2_DV_FL_REDUCED_BLANKING;
    if (kernel().ioctl(videoFd, VIDIOC_S_DV_TIMINGS, &timings) != 0) {
        return errno;
    }
    v4l2_streamparm parm;
    std::memset(&parm, 0, sizeof parm);
    parm.type = bufType;
    if (kernel().ioctl(videoFd, VIDIOC_G_PARM, &parm) != 0) {
        return errno;
    }
    *periodNumerator = parm.parm.capture.timeperframe.numerator;
    *periodDenominator = parm.parm.capture.timeperframe.denominator;
    return 0;
}

int countMappingsOf(const char* devicePath) {
    std::ifstream maps("/proc/self/maps");
    const std::string wanted = std::string(" ") + devicePath;
    int count = 0;
    std::string line;
    while (std::getline(maps, line)) {
        if (line.size() >= wanted.size() &&
            line.compare(line.size() - wanted.size(), wanted.size(), wanted) == 0) {
            ++count;
        }
    }
    return count;
}

}  // namespace Zentrox
