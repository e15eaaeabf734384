// Sleeping through the kernel seam, so that tests can let time pass without waiting.
#pragma once

#include <time.h>

#include "system/KernelSeam.h"

namespace Zentrox {

// Sleeps for `request` through `seam`, resuming with the remaining time after EINTR.
void sleepFully(struct timespec request, KernelSeam& seam = kernel());

}  // namespace Zentrox
