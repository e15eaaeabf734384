// An in-memory kernel behind the kernel seam: a file tree with directories, regular files and
// relative symbolic links (as sysfs writes them), device nodes answering ioctl and mmap, a
// descriptor table, live-mapping accounting, a clock that advances only by sleeping, a trace of
// every call, and fault injection by call, request and path.
//
// The device nodes live in their own classes (capture node, media device, sub-device, I2C
// adapter) and can be registered one by one, so a seam that sends some paths to the real kernel
// can reuse the rest.
#pragma once

#include <errno.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "system/KernelSeam.h"

namespace Zentrox {

class FakeKernel;

// One open descriptor as a node sees it.
struct FakeFile {
    int fd;
    uint64_t handle;  // unique per open, never reused
    std::string path;
};

// A character device: what a descriptor of it answers. Results are >= 0, or -errno.
class FakeNode {
  public:
    virtual ~FakeNode() = default;
    virtual dev_t rdev() const = 0;
    virtual int ioctl(FakeFile& file, unsigned long request, void* arg) = 0;
    // The memory behind a mapping (kept alive by the mapping), or null with *error set.
    virtual std::shared_ptr<uint8_t> mmap(FakeFile&, size_t, int, int, off_t, uint8_t** address, int* error) {
        *address = nullptr;
        *error = ENODEV;
        return nullptr;
    }
    // The events poll reports for `requested` (no waiting: a node not ready now times out).
    virtual short poll(FakeFile&, short) { return 0; }
    virtual int opened(FakeFile&) { return 0; }
    virtual void closed(FakeFile&) {}
};

enum class Sys {
    OPEN,
    CLOSE,
    IOCTL,
    MMAP,
    MUNMAP,
    FSTAT,
    LIST_DIRECTORY,
    READLINK,
    READ_FILE,
    NANOSLEEP,
    POLL
};
const char* sysName(Sys call);

struct SysCall {
    Sys call;
    unsigned long request;  // IOCTL only
    std::string path;       // the path named, or the one the descriptor was opened with
    int result;
    int error;  // errno of a failed call, 0 otherwise
};

// A failure the fake gives instead of performing a call.
struct Fault {
    Sys call;
    unsigned long request = 0;  // IOCTL: 0 matches every request
    std::string path;           // empty matches every path; a trailing '*' matches a prefix
    int error = EIO;
    int skip = 0;   // matching calls that go through before the first failure
    int times = 1;  // failures to give; -1 without end
};

class FakeKernel : public KernelSeam {
  public:
    FakeKernel();
    ~FakeKernel() override;
    FakeKernel(const FakeKernel&) = delete;
    FakeKernel& operator=(const FakeKernel&) = delete;

    // The file tree. Parents are created as directories; listing order is the order of creation.
    void addDirectory(const std::string& path);
    void addFile(const std::string& path, const std::string& content);
    void addLink(const std::string& path, const std::string& target);
    void addDevice(const std::string& path, std::shared_ptr<FakeNode> node);
    void remove(const std::string& path);
    bool exists(const std::string& path) const;

    // Faults and the call trace.
    void inject(const Fault& fault);
    // The call made `index` calls from now (0: the next call) fails with `error`, whatever it is.
    void failCallAt(size_t index, int error);
    void clearFaults();
    void clearTrace();
    std::vector<SysCall> trace() const;

    // Accounting.
    int openDescriptors() const;
    std::vector<std::string> openPaths() const;
    int liveMappings() const;
    int badCloses() const { return badCloseCount; }
    int badUnmaps() const { return badUnmapCount; }
    // Time advanced by nanosleep and by poll (a time-out, or half of it when interrupted), and the
    // sleeps asked for.
    uint64_t clockNs() const;
    std::vector<uint64_t> sleepsNs() const;

    std::recursive_mutex& mutex() const { return lock; }

    // The seam.
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
    // Reports the nodes' events now; a time-out passes at once (on the fake clock).
    int poll(struct pollfd* fds, nfds_t count, int timeout_ms) override;
    // The fake clock (clockNs); reading it is not a call of the trace and cannot fail.
    int64_t monotonicNs() override { return int64_t(clockNs()); }

  private:
    struct Entry {
        enum Kind { DIRECTORY, FILE, LINK, DEVICE } kind;
        std::string content;                // FILE
        std::string target;                 // LINK
        std::vector<std::string> children;  // DIRECTORY, in listing order
        std::shared_ptr<FakeNode> node;     // DEVICE
    };
    struct Descriptor {
        FakeFile file;
        std::shared_ptr<FakeNode> node;
    };
    struct Mapping {
        uint8_t* address;
        size_t length;
        std::shared_ptr<uint8_t> memory;
    };

    Entry& place(const std::string& path, Entry::Kind kind);
    // Canonical path of `path`, following links (the last one only when `followLast`); -errno.
    int resolve(const std::string& path, bool followLast, std::string& canonical) const;
    // True when a fault applies to this call; sets errno.
    bool faulted(Sys call, unsigned long request, const std::string& path);
    void record(Sys call, unsigned long request, const std::string& path, int result);
    Descriptor* descriptor(int fd);

    mutable std::recursive_mutex lock;
    std::map<std::string, Entry> entries;
    std::map<int, Descriptor> descriptors;
    std::vector<Mapping> mappings;
    std::vector<Fault> faults;
    std::vector<std::pair<size_t, int>> numberedFaults;  // (call number, errno)
    size_t callCount = 0;
    std::vector<SysCall> calls;
    uint64_t nextHandle = 1;
    uint64_t nowNs = 0;
    std::vector<uint64_t> sleeps;
    int badCloseCount = 0;
    int badUnmapCount = 0;
};

}  // namespace Zentrox
