#include "RegularFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Zentrox {

int openRegularFile(const std::string& path, uint64_t largest, uint64_t& bytes, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot be opened: ") + std::strerror(errno);
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = "is not a regular file (a FIFO, device or directory is never read)";
    } else if (uint64_t(status.st_size) > largest) {
        error = "is larger than " + std::to_string(largest >> 20) + " MiB";
    } else if (const int flags = ::fcntl(fd, F_GETFL);
               flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = std::string("cannot be read: ") + std::strerror(errno);
    } else {
        bytes = uint64_t(status.st_size);
        return fd;
    }
    ::close(fd);
    return -1;
}

}  // namespace Zentrox
