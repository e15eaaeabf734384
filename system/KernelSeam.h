// The one seam through which the driver reaches the kernel: the CSI transport, board detection,
// the files the depth engine reads and writes, and sleeping. Production code uses the libc
// implementation; tests install a fake kernel for their scope or hand one to a transport.
#pragma once

#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Zentrox {

class KernelSeam {
  public:
    virtual ~KernelSeam() = default;
    // Each call behaves as its libc namesake: -1 (or MAP_FAILED) with errno set on failure.
    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) = 0;
    virtual int munmap(void* addr, size_t length) = 0;
    virtual int fstat(int fd, struct stat* st) = 0;
    // Entry names of a directory in the order the system lists them, "." and ".." included.
    virtual int listDirectory(const char* path, std::vector<std::string>& names) = 0;
    virtual ssize_t readlink(const char* path, char* buf, size_t size) = 0;
    // Whole content of a small text file (sysfs, procfs, device tree); false with errno set.
    virtual bool readFile(const char* path, std::string& content) = 0;
    virtual int nanosleep(const struct timespec* request, struct timespec* remaining) = 0;
    virtual int poll(struct pollfd* fds, nfds_t count, int timeout_ms) = 0;
    // Nanoseconds of the monotonic clock, on which the transport measures its deadlines.
    virtual int64_t monotonicNs();
    // Writes `text` into a new file beside `name` and renames it over `name`, so that what had the
    // name (a symbolic link, a FIFO, a file someone else reads) is replaced, never followed or
    // opened, and a reader sees either the old file or the whole new one. The new file has the
    // usual mode, 0666 less the umask. False, with nothing left behind, if the file cannot be
    // created, written in full (a full disk) or renamed (a directory of that name). Every seam
    // writes to the real file system unless it says otherwise.
    virtual bool replaceFile(const char* name, std::string_view text);
};

// The seam of plain Linux system calls.
class LibcKernel : public KernelSeam {
  public:
    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
    int munmap(void* addr, size_t length) override;
    int fstat(int fd, struct stat* st) override;
    int listDirectory(const char* path, std::vector<std::string>& names) override;
    ssize_t readlink(const char* path, char* buf, size_t size) override;
    bool readFile(const char* path, std::string& content) override;
    int nanosleep(const struct timespec* request, struct timespec* remaining) override;
    int poll(struct pollfd* fds, nfds_t count, int timeout_ms) override;
};

// The seam in force: the libc one unless a ScopedKernel is alive.
KernelSeam& kernel();

// Installs `seam` for the lifetime of this object, then restores the previous one.
class ScopedKernel {
  public:
    explicit ScopedKernel(KernelSeam& seam);
    ~ScopedKernel();
    ScopedKernel(const ScopedKernel&) = delete;
    ScopedKernel& operator=(const ScopedKernel&) = delete;

  private:
    KernelSeam* previous;
};

// Reads a text file through the seam and cuts it as successive fgets calls with a buffer of
// `bufferSize` bytes would: pieces of at most bufferSize - 1 characters, each ending after its
// newline when one comes first. False (errno set) when the file cannot be read.
bool readTextLines(const char* path, size_t bufferSize, std::vector<std::string>& lines);

}  // namespace Zentrox
