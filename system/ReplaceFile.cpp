#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "system/KernelSeam.h"

namespace Zentrox {

// A name of its own for each attempt: the process and a serial number, so that concurrent writers
// (threads or processes) never share a temporary file.
bool KernelSeam::replaceFile(const char* name, std::string_view text) {
    static std::atomic<unsigned> serial{0};
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temporary = std::string(".") + name + "." + std::to_string(::getpid()) + "." +
                    std::to_string(serial.fetch_add(1)) + ".tmp";
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    size_t done = 0;
    bool ok = true;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += size_t(n);
    }
    if (::close(fd) != 0 && errno != EINTR) ok = false;
    if (ok && ::rename(temporary.c_str(), name) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

}  // namespace Zentrox
