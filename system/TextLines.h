// Text files read through a given seam, cut as readTextLines (KernelSeam.h) cuts them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "system/KernelSeam.h"

namespace Zentrox {

bool readTextLines(KernelSeam& seam, const char* path, size_t bufferSize, std::vector<std::string>& lines);

}  // namespace Zentrox
