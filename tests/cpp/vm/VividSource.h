// What the capture program needs from vivid besides plain capture: a steady stream fast enough for
// sub-frame grouping, and a view of the process's own mappings of the capture node.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>

// 12-bit samples packed two in three bytes; newer kernel headers than Debian 12's define it.
#ifndef V4L2_PIX_FMT_Y12P
#define V4L2_PIX_FMT_Y12P v4l2_fourcc('Y', '1', '2', 'P')
#endif

namespace Zentrox {

// Sets vivid's HDMI input to 640 x 480 with CVT reduced-blanking (v2) timings of about 1100 Hz and
// reports the resulting frame period. That rate is above what vivid's capture thread can pace with
// kernel ticks, so it fills each queued buffer as soon as it can: a steady stream paced by vivid's
// own work (1.0 to 1.7 ms between buffers in the VM), well below the 5 ms gap at which sub-frame
// grouping restarts. Slower rates come in bursts around the 4 ms kernel tick, with gaps of 7-8 ms.
// Returns 0 or the errno of the failed call.
int selectFastHdmiTimings(int videoFd, uint32_t bufType, uint32_t* periodNumerator,
                          uint32_t* periodDenominator);

// Number of mappings in /proc/self/maps whose file is `devicePath`.
int countMappingsOf(const char* devicePath);

}  // namespace Zentrox
