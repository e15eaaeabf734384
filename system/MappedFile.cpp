#include "system/MappedFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdint>

namespace Zentrox {

MappedFile MappedFile::openReadOnly(const char* path, bool* notRegular, KernelSeam& seam) {
    MappedFile file;
    file.seam = &seam;
    if (notRegular) *notRegular = false;
    // Mapping ignores O_NONBLOCK, so the descriptor keeps it.
    file.fd = seam.open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (file.fd < 0) return file;
    struct stat st {};
    const bool stated = seam.fstat(file.fd, &st) == 0;
    if (notRegular) *notRegular = stated && !S_ISREG(st.st_mode);
    if (!stated || !S_ISREG(st.st_mode) || st.st_size <= 0 || uint64_t(st.st_size) > UINT32_MAX) {
        file.release();
        return file;
    }
    void* map = seam.mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_SHARED, file.fd, 0);
    if (map == MAP_FAILED) {
        file.release();
        return file;
    }
    file.map = map;
    file.length = size_t(st.st_size);
    return file;
}

void MappedFile::release() {
    if (map) seam->munmap(map, length);
    if (fd >= 0) seam->close(fd);
    map = nullptr;
    length = 0;
    fd = -1;
}

}  // namespace Zentrox
