#include "tests/fakes/FakeKernel.h"

#include "tests/fakes/FakeCallScope.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <deque>

namespace Zentrox {

namespace {

constexpr int kFirstDescriptor = 100;  // far from the real descriptors of the test process
constexpr int kMaxLinkHops = 40;
constexpr size_t kPage = 4096;

size_t pageAlign(size_t n) {
    return (n + kPage - 1) / kPage * kPage;
}

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos) slash = path.size();
        if (slash > at) parts.push_back(path.substr(at, slash - at));
        at = slash + 1;
    }
    return parts;
}

std::string parentOf(const std::string& canonical) {
    size_t slash = canonical.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : canonical.substr(0, slash);
}

std::string join(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

bool pathMatches(const std::string& pattern, const std::string& path) {
    if (pattern.empty()) return true;
    if (pattern.back() == '*')
        return path.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    return pattern == path;
}

}  // namespace

const char* sysName(Sys call) {
    switch (call) {
        case Sys::OPEN:
            return "open";
        case Sys::CLOSE:
            return "close";
        case Sys::IOCTL:
            return "ioctl";
        case Sys::MMAP:
            return "mmap";
        case Sys::MUNMAP:
            return "munmap";
        case Sys::FSTAT:
            return "fstat";
        case Sys::LIST_DIRECTORY:
            return "listDirectory";
        case Sys::READLINK:
            return "readlink";
        case Sys::READ_FILE:
            return "readFile";
        case Sys::NANOSLEEP:
            return "nanosleep";
        case Sys::POLL:
            return "poll";
    }
    return "?";
}

FakeKernel::FakeKernel() {
    entries["/"] = Entry{Entry::DIRECTORY, {}, {}, {}, nullptr};
}

FakeKernel::~FakeKernel() = default;

FakeKernel::Entry& FakeKernel::place(const std::string& path, Entry::Kind kind) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    std::string current = "/";
    auto parts = components(path);
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string next = join(current, parts[i]);
        auto it = entries.find(next);
        if (it == entries.end()) {
            entries[current].children.push_back(parts[i]);
            Entry fresh{i + 1 == parts.size() ? kind : Entry::DIRECTORY, {}, {}, {}, nullptr};
            it = entries.emplace(next, fresh).first;
        }
        current = next;
    }
    return entries[current];
}

void FakeKernel::addDirectory(const std::string& path) {
    place(path, Entry::DIRECTORY);
}

void FakeKernel::addFile(const std::string& path, const std::string& content) {
    Entry& e = place(path, Entry::FILE);
    e.kind = Entry::FILE;
    e.content = content;
}

void FakeKernel::addLink(const std::string& path, const std::string& target) {
    Entry& e = place(path, Entry::LINK);
    e.kind = Entry::LINK;
    e.target = target;
}

void FakeKernel::addDevice(const std::string& path, std::shared_ptr<FakeNode> node) {
    Entry& e = place(path, Entry::DEVICE);
    e.kind = Entry::DEVICE;
    e.node = std::move(node);
}

void FakeKernel::remove(const std::string& path) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    std::string canonical = path;
    for (auto it = entries.begin(); it != entries.end();) {
        bool inside =
            it->first == canonical || it->first.compare(0, canonical.size() + 1, canonical + "/") == 0;
        it = inside ? entries.erase(it) : std::next(it);
    }
    auto parent = entries.find(parentOf(canonical));
    if (parent != entries.end()) {
        auto& c = parent->second.children;
        std::string name = canonical.substr(canonical.rfind('/') + 1);
        c.erase(std::remove(c.begin(), c.end(), name), c.end());
    }
}

bool FakeKernel::exists(const std::string& path) const {
    std::string canonical;
    return resolve(path, false, canonical) == 0;
}

int FakeKernel::resolve(const std::string& path, bool followLast, std::string& canonical) const {
    if (path.empty() || path[0] != '/') return -ENOENT;
    std::deque<std::string> pending;
    for (auto& p : components(path))
        pending.push_back(p);
    std::string current = "/";
    int hops = 0;
    while (!pending.empty()) {
        std::string part = pending.front();
        pending.pop_front();
        if (part == ".") continue;
        if (part == "..") {
            current = parentOf(current);
            continue;
        }
        std::string next = join(current, part);
        auto it = entries.find(next);
        if (it == entries.end()) return -ENOENT;
        const Entry& e = it->second;
        bool last = pending.empty();
        if (e.kind == Entry::LINK && (!last || followLast)) {
            if (++hops > kMaxLinkHops) return -ELOOP;
            auto target = components(e.target);
            for (auto t = target.rbegin(); t != target.rend(); ++t)
                pending.push_front(*t);
            if (!e.target.empty() && e.target[0] == '/') current = "/";
            continue;
        }
        if (!last && e.kind != Entry::DIRECTORY) return -ENOTDIR;
        current = next;
    }
    canonical = current;
    return 0;
}

void FakeKernel::inject(const Fault& fault) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    faults.push_back(fault);
}

void FakeKernel::failCallAt(size_t index, int error) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    numberedFaults.emplace_back(callCount + index, error);
}

void FakeKernel::clearFaults() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    faults.clear();
    numberedFaults.clear();
}

void FakeKernel::clearTrace() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    calls.clear();
}

std::vector<SysCall> FakeKernel::trace() const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return calls;
}

bool FakeKernel::faulted(Sys call, unsigned long request, const std::string& path) {
    size_t number = callCount++;
    for (auto it = numberedFaults.begin(); it != numberedFaults.end(); ++it) {
        if (it->first == number) {
            errno = it->second;
            numberedFaults.erase(it);
            return true;
        }
    }
    for (Fault& f : faults) {
        if (f.call != call || f.times == 0) continue;
        if (call == Sys::IOCTL && f.request != 0 && f.request != request) continue;
        if (!pathMatches(f.path, path)) continue;
        if (f.skip > 0) {
            --f.skip;
            continue;
        }
        if (f.times > 0) --f.times;
        errno = f.error;
        return true;
    }
    return false;
}

void FakeKernel::record(Sys call, unsigned long request, const std::string& path, int result) {
    calls.push_back(SysCall{call, request, path, result, result < 0 ? errno : 0});
}

FakeKernel::Descriptor* FakeKernel::descriptor(int fd) {
    auto it = descriptors.find(fd);
    return it == descriptors.end() ? nullptr : &it->second;
}

int FakeKernel::openDescriptors() const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return int(descriptors.size());
}

std::vector<std::string> FakeKernel::openPaths() const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    std::vector<std::string> paths;
    for (auto& d : descriptors)
        paths.push_back(d.second.file.path);
    return paths;
}

int FakeKernel::liveMappings() const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return int(mappings.size());
}

uint64_t FakeKernel::clockNs() const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return nowNs;
}

std::vector<uint64_t> FakeKernel::sleepsNs() const {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return sleeps;
}

int FakeKernel::open(const char* path, int) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    std::string name = path ? path : "";
    auto finish = [&](int result) {
        record(Sys::OPEN, 0, name, result);
        return result;
    };
    if (faulted(Sys::OPEN, 0, name)) return finish(-1);
    std::string canonical;
    int r = resolve(name, true, canonical);
    if (r < 0) {
        errno = -r;
        return finish(-1);
    }
    const Entry& e = entries.at(canonical);
    if (e.kind != Entry::DEVICE) {
        errno = e.kind == Entry::DIRECTORY ? EISDIR : ENXIO;
        return finish(-1);
    }
    int fd = kFirstDescriptor;
    while (descriptors.count(fd))
        ++fd;
    Descriptor d{FakeFile{fd, nextHandle++, name}, e.node};
    int accepted = d.node->opened(d.file);
    if (accepted < 0) {
        errno = -accepted;
        return finish(-1);
    }
    descriptors.emplace(fd, std::move(d));
    return finish(fd);
}

int FakeKernel::close(int fd) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    Descriptor* d = descriptor(fd);
    std::string name = d ? d->file.path : "";
    if (!d) {
        ++badCloseCount;
        errno = EBADF;
        record(Sys::CLOSE, 0, name, -1);
        return -1;
    }
    // Linux releases the descriptor even when close reports an error.
    bool fail = faulted(Sys::CLOSE, 0, name);
    int saved = errno;
    Descriptor gone = std::move(*d);
    descriptors.erase(fd);
    gone.node->closed(gone.file);
    errno = saved;
    record(Sys::CLOSE, 0, name, fail ? -1 : 0);
    return fail ? -1 : 0;
}

int FakeKernel::ioctl(int fd, unsigned long request, void* arg) {
    test::FakeCallScope fake;
    std::lock_guard<std::recursive_mutex> guard(lock);
    Descriptor* d = descriptor(fd);
    std::string name = d ? d->file.path : "";
    auto finish = [&](int result) {
        record(Sys::IOCTL, request, name, result);
        return result;
    };
    if (faulted(Sys::IOCTL, request, name)) return finish(-1);
    if (!d) {
        errno = EBADF;
        return finish(-1);
    }
    int r = d->node->ioctl(d->file, request, arg);
    if (r < 0) {
        errno = -r;
        return finish(-1);
    }
    return finish(r);
}

void* FakeKernel::mmap(void*, size_t length, int prot, int flags, int fd, off_t offset) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    Descriptor* d = descriptor(fd);
    std::string name = d ? d->file.path : "";
    if (faulted(Sys::MMAP, 0, name)) {
        record(Sys::MMAP, 0, name, -1);
        return MAP_FAILED;
    }
    if (!d || length == 0) {
        errno = d ? EINVAL : EBADF;
        record(Sys::MMAP, 0, name, -1);
        return MAP_FAILED;
    }
    uint8_t* address = nullptr;
    int error = 0;
    std::shared_ptr<uint8_t> memory = d->node->mmap(d->file, length, prot, flags, offset, &address, &error);
    if (!memory) {
        errno = error;
        record(Sys::MMAP, 0, name, -1);
        return MAP_FAILED;
    }
    mappings.push_back(Mapping{address, length, std::move(memory)});
    record(Sys::MMAP, 0, name, 0);
    return address;
}

int FakeKernel::munmap(void* addr, size_t length) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (faulted(Sys::MUNMAP, 0, "")) {
        record(Sys::MUNMAP, 0, "", -1);
        return -1;
    }
    // Strict where the real call is lenient: only a whole mapping made through this seam may go.
    auto it = std::find_if(mappings.begin(), mappings.end(), [&](const Mapping& m) {
        return m.address == addr && length > 0 && pageAlign(length) == pageAlign(m.length);
    });
    if (it == mappings.end()) {
        ++badUnmapCount;
        errno = EINVAL;
        record(Sys::MUNMAP, 0, "", -1);
        return -1;
    }
    mappings.erase(it);
    record(Sys::MUNMAP, 0, "", 0);
    return 0;
}

int FakeKernel::fstat(int fd, struct stat* st) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    Descriptor* d = descriptor(fd);
    std::string name = d ? d->file.path : "";
    if (faulted(Sys::FSTAT, 0, name)) {
        record(Sys::FSTAT, 0, name, -1);
        return -1;
    }
    if (!d) {
        errno = EBADF;
        record(Sys::FSTAT, 0, name, -1);
        return -1;
    }
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFCHR | 0660;
    st->st_rdev = d->node->rdev();
    record(Sys::FSTAT, 0, name, 0);
    return 0;
}

int FakeKernel::listDirectory(const char* path, std::vector<std::string>& names) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    std::string name = path ? path : "";
    auto finish = [&](int result) {
        record(Sys::LIST_DIRECTORY, 0, name, result);
        return result;
    };
    if (faulted(Sys::LIST_DIRECTORY, 0, name)) return finish(-1);
    std::string canonical;
    int r = resolve(name, true, canonical);
    if (r == 0 && entries.at(canonical).kind != Entry::DIRECTORY) r = -ENOTDIR;
    if (r < 0) {
        errno = -r;
        return finish(-1);
    }
    names.clear();
    names.push_back(".");
    names.push_back("..");
    for (auto& c : entries.at(canonical).children)
        names.push_back(c);
    return finish(0);
}

ssize_t FakeKernel::readlink(const char* path, char* buf, size_t size) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    std::string name = path ? path : "";
    auto finish = [&](ssize_t result) {
        record(Sys::READLINK, 0, name, int(result));
        return result;
    };
    if (faulted(Sys::READLINK, 0, name)) return finish(-1);
    std::string canonical;
    int r = resolve(name, false, canonical);
    if (r == 0 && entries.at(canonical).kind != Entry::LINK) r = -EINVAL;
    if (r < 0) {
        errno = -r;
        return finish(-1);
    }
    const std::string& target = entries.at(canonical).target;
    size_t n = std::min(size, target.size());  // no terminator, cut to the buffer, as readlink does
    std::memcpy(buf, target.data(), n);
    return finish(ssize_t(n));
}

bool FakeKernel::readFile(const char* path, std::string& content) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    std::string name = path ? path : "";
    if (faulted(Sys::READ_FILE, 0, name)) {
        record(Sys::READ_FILE, 0, name, -1);
        return false;
    }
    std::string canonical;
    int r = resolve(name, true, canonical);
    if (r == 0 && entries.at(canonical).kind != Entry::FILE)
        r = entries.at(canonical).kind == Entry::DIRECTORY ? -EISDIR : -EINVAL;
    if (r < 0) {
        errno = -r;
        record(Sys::READ_FILE, 0, name, -1);
        return false;
    }
    content = entries.at(canonical).content;
    record(Sys::READ_FILE, 0, name, 0);
    return true;
}

int FakeKernel::nanosleep(const struct timespec* request, struct timespec* remaining) {
    test::FakeCallScope fake;
    std::lock_guard<std::recursive_mutex> guard(lock);
    uint64_t asked = uint64_t(request->tv_sec) * 1000000000ull + uint64_t(request->tv_nsec);
    sleeps.push_back(asked);
    if (faulted(Sys::NANOSLEEP, 0, "")) {
        // An interrupted sleep has slept half of its time.
        if (errno == EINTR) {
            nowNs += asked / 2;
            uint64_t left = asked - asked / 2;
            if (remaining) *remaining = timespec{time_t(left / 1000000000ull), long(left % 1000000000ull)};
        }
        record(Sys::NANOSLEEP, 0, "", -1);
        return -1;
    }
    nowNs += asked;
    record(Sys::NANOSLEEP, 0, "", 0);
    return 0;
}

}  // namespace Zentrox

namespace Zentrox {

int FakeKernel::poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
    test::FakeCallScope fake;
    std::lock_guard<std::recursive_mutex> guard(lock);
    std::string name;
    int ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
        fds[i].revents = 0;
        if (fds[i].fd < 0) continue;
        Descriptor* d = descriptor(fds[i].fd);
        if (i == 0 && d) name = d->file.path;
        fds[i].revents = d ? d->node->poll(d->file, fds[i].events) : short(POLLNVAL);
        if (fds[i].revents != 0) ++ready;
    }
    if (faulted(Sys::POLL, 0, name)) {
        // An interrupted wait has waited half of its time-out.
        if (errno == EINTR && timeout_ms > 0) nowNs += uint64_t(timeout_ms) * 500000ull;
        record(Sys::POLL, 0, name, -1);
        return -1;
    }
    if (ready == 0 && timeout_ms > 0) nowNs += uint64_t(timeout_ms) * 1000000ull;
    record(Sys::POLL, 0, name, ready);
    return ready;
}

}  // namespace Zentrox
