// Opening the files a kit reads (its configuration, a recording) without ever waiting on them.
#pragma once

#include <cstdint>
#include <string>

namespace Zentrox {

// Opens `path` read-only. The open itself does not block, so a FIFO or a device node of that name
// cannot hold the caller; anything but a regular file of at most `largest` bytes is refused. Returns
// the descriptor (in blocking mode again) and its size in `bytes`, or -1 with the reason in `error`.
int openRegularFile(const std::string& path, uint64_t largest, uint64_t& bytes, std::string& error);

}  // namespace Zentrox
