#include "system/Sleep.h"

#include <errno.h>

namespace Zentrox {

void sleepFully(struct timespec request, KernelSeam& seam) {
    struct timespec remaining {};
    while (seam.nanosleep(&request, &remaining) != 0 && errno == EINTR)
        request = remaining;
}

}  // namespace Zentrox
