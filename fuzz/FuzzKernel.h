// A scripted kernel for the fuzz targets: files, directories, links and device nodes are what the
// target's input describes, every other call fails as the kernel would. It counts the descriptors
// and mappings it hands out, so a target can check that nothing is left open after each input.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "system/KernelSeam.h"

namespace Zentrox {
namespace Fuzz {

class FuzzKernel : public KernelSeam {
  public:
    struct Node {
        dev_t rdev = 0;
        bool character = true;
    };
    // Called for every ioctl on a descriptor of an opened node; returns the ioctl's result.
    using IoctlHandler = std::function<int(const std::string& path, unsigned long request, void* arg)>;

    std::map<std::string, std::string> files;
    std::map<std::string, std::vector<std::string>> directories;
    std::map<std::string, std::string> links;
    std::map<std::string, Node> nodes;
    IoctlHandler ioctlHandler;

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
    // Every open descriptor is ready at once, so that the scripted answers decide what follows.
    int poll(struct pollfd* fds, nfds_t count, int timeout_ms) override;

    // Descriptors opened and not closed.
    size_t openDescriptors() const { return open_fds.size(); }
    // Aborts (a finding for libFuzzer) when a descriptor is still open or was closed twice.
    void requireNoLeaks() const;

    // Path of an open descriptor, empty when it is not open.
    std::string pathOf(int fd) const;

  private:
    std::map<int, std::string> open_fds;
    int next_fd = 100;
    bool double_close = false;
};

}  // namespace Fuzz
}  // namespace Zentrox
