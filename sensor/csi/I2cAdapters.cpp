// Finding the sensor's I2C bus: the adapters the system lists, and a bus text read as a number or
// an adapter name.
#include <errno.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "sensor/csi/I2cAccess.h"
#include "system/KernelFd.h"
#include "system/KernelSeam.h"
#include "system/TextLines.h"

namespace Zentrox {

namespace {

struct AdapterKind {
    const char* funcs;
    const char* algo;
};
constexpr AdapterKind kKinds[] = {
    {"dummy", "Dummy bus"},     {"isa", "ISA bus"}, {"i2c", "I2C adapter"},
    {"smbus", "SMBus adapter"}, {"unknown", "N/A"},
};
enum Kind { KIND_DUMMY, KIND_ISA, KIND_I2C, KIND_SMBUS, KIND_UNKNOWN };
constexpr unsigned long kSmbusFuncs =
    I2C_FUNC_SMBUS_BYTE | I2C_FUNC_SMBUS_BYTE_DATA | I2C_FUNC_SMBUS_WORD_DATA;

// The adapter array: room for a multiple of 8 entries, always followed by a zeroed terminator.
class AdapterList {
  public:
    bool begin() {
        entries = static_cast<i2c_adapter_info*>(std::calloc(8, sizeof(i2c_adapter_info)));
        return entries != nullptr;
    }
    // Takes ownership of `name` (also on failure).
    bool add(int bus, char* name, const char* funcs, const char* algo) {
        entries[count] = {bus, name, funcs, algo};
        ++count;
        if (count % 8 == 0) {
            auto* grown =
                static_cast<i2c_adapter_info*>(std::realloc(entries, (count + 8) * sizeof *entries));
            if (!grown) return false;
            std::memset(grown + count, 0, 8 * sizeof *grown);
            entries = grown;
        }
        return true;
    }
    i2c_adapter_info* release() { return std::exchange(entries, nullptr); }
    // Frees by count: after a failed growth the array has no terminator.
    ~AdapterList() {
        if (!entries) return;
        for (size_t i = 0; i < count; ++i)
            std::free(entries[i].name);
        std::free(entries);
    }

  private:
    i2c_adapter_info* entries = nullptr;
    size_t count = 0;
};

void trimRight(char* text) {
    size_t n = std::strlen(text);
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\n'))
        text[--n] = '\0';
}

// Cuts the last tab-separated field off `line`: returns it trimmed, null when no tab is left.
char* takeLastField(char* line) {
    char* tab = std::strrchr(line, '\t');
    if (!tab) return nullptr;
    *tab = '\0';
    trimRight(tab + 1);
    return tab + 1;
}

// Legacy /proc/bus/i2c: "i2c-N<TAB>kind<TAB>name<TAB>algorithm". False when the file is absent.
bool listFromProc(KernelSeam& seam, AdapterList& list, bool& failed) {
    std::vector<std::string> lines;
    if (!readTextLines(seam, "/proc/bus/i2c", 120, lines)) return false;
    for (std::string& text : lines) {
        std::vector<char> line(text.begin(), text.end());
        line.push_back('\0');
        char* algo = takeLastField(line.data());
        char* name = algo ? takeLastField(line.data()) : nullptr;
        char* kind = name ? takeLastField(line.data()) : nullptr;
        int bus = 0;
        // A negative number is no bus: found by name it would read as an error code.
        if (!kind || std::sscanf(line.data(), "i2c-%d", &bus) != 1 || bus < 0) continue;
        size_t n1 = std::strlen(name) + 1, n2 = std::strlen(kind) + 1, n3 = std::strlen(algo) + 1;
        char* texts = static_cast<char*>(std::malloc(n1 + n2 + n3));
        if (!texts) {
            failed = true;
            return true;
        }
        std::memcpy(texts, name, n1);
        std::memcpy(texts + n1, kind, n2);
        std::memcpy(texts + n1 + n2, algo, n3);
        if (!list.add(bus, texts, texts + n1, texts + n1 + n2)) {
            failed = true;
            return true;
        }
    }
    return true;
}

// Mount point of sysfs from /proc/mounts; empty when none is mounted.
std::string sysfsMountPoint(KernelSeam& seam) {
    std::vector<std::string> lines;
    if (!readTextLines(seam, "/proc/mounts", 255, lines)) return std::string();
    for (const std::string& line : lines) {
        char where[256] = {}, type[256] = {};
        if (std::sscanf(line.c_str(), "%*[^ ] %255[^ ] %255[^ ] %*s\n", where, type) != 2) continue;
        if (strcasecmp(type, "sysfs") == 0) return where;
    }
    return std::string();
}

// Formats into a 255-byte path; false when the path does not fit.
template <typename... Args>
bool formatPath(char (&path)[255], const char* format, Args... args) {
    int n = std::snprintf(path, sizeof path, format, args...);
    return n >= 0 && size_t(n) < sizeof path;
}

enum class NameFile { FOUND, ABSENT, UNREADABLE };

// The first line of a name file, cut at its newline.
NameFile readNameFile(KernelSeam& seam, const char* path, std::string& name) {
    std::vector<std::string> lines;
    if (!readTextLines(seam, path, 120, lines))
        return errno == ENOENT || errno == ENOTDIR ? NameFile::ABSENT : NameFile::UNREADABLE;
    if (lines.empty()) return NameFile::UNREADABLE;
    name = lines.front();
    size_t newline = name.find('\n');
    if (newline != std::string::npos) name.resize(newline);
    return NameFile::FOUND;
}

// Reads a candidate name file; an unreadable one is reported and ends the search.
NameFile tryNameFile(KernelSeam& seam, const char* path, std::string& name) {
    NameFile r = readNameFile(seam, path, name);
    if (r == NameFile::UNREADABLE) std::fprintf(stderr, "%s: read error\n", path);
    return r;
}

// The adapter name of one class/i2c-dev entry: from its own name file, its device's, or that of
// an i2c-* child of its device.
NameFile adapterName(KernelSeam& seam, const char* dir, const char* entry, std::string& name) {
    char path[255];
    if (formatPath(path, "%s/%s/name", dir, entry)) {
        NameFile r = tryNameFile(seam, path, name);
        if (r != NameFile::ABSENT) return r;
    }
    if (formatPath(path, "%s/%s/device/name", dir, entry)) {
        NameFile r = tryNameFile(seam, path, name);
        if (r != NameFile::ABSENT) return r;
    }
    char deviceDir[255];
    std::vector<std::string> children;
    if (!formatPath(deviceDir, "%s/%s/device", dir, entry) || seam.listDirectory(deviceDir, children) != 0)
        return NameFile::ABSENT;
    for (const std::string& child : children) {
        if (child.compare(0, 4, "i2c-") != 0) continue;
        if (!formatPath(path, "%s/%s/device/%s/name", dir, entry, child.c_str())) continue;
        NameFile r = tryNameFile(seam, path, name);
        if (r != NameFile::ABSENT) return r;
    }
    return NameFile::ABSENT;
}

Kind probeKind(KernelSeam& seam, int bus, const std::string& name) {
    if (name.compare(0, 4, "ISA ") == 0) return KIND_ISA;
    char filename[20];
    KernelFd probe(openI2cDevice(seam, bus, filename, sizeof filename, 1), seam);
    if (!probe.valid()) return KIND_UNKNOWN;
    unsigned long funcs = 0;
    if (probe.ioctl(I2C_FUNCS, &funcs, Retry::ONCE) < 0) return KIND_UNKNOWN;
    if (funcs & I2C_FUNC_I2C) return KIND_I2C;
    if (funcs & kSmbusFuncs) return KIND_SMBUS;
    return KIND_DUMMY;
}

// Adapters of sysfs class/i2c-dev. False when memory ran out.
bool listFromSysfs(KernelSeam& seam, AdapterList& list) {
    std::string mount = sysfsMountPoint(seam);
    if (mount.empty()) return true;
    std::string dir = mount + "/class/i2c-dev";
    std::vector<std::string> entries;
    if (seam.listDirectory(dir.c_str(), entries) != 0) return true;
    for (const std::string& entry : entries) {
        if (entry == "." || entry == "..") continue;
        std::string name;
        if (adapterName(seam, dir.c_str(), entry.c_str(), name) != NameFile::FOUND) continue;
        int bus = 0;
        if (std::sscanf(entry.c_str(), "i2c-%d", &bus) != 1 || bus < 0) continue;
        const AdapterKind& kind = kKinds[probeKind(seam, bus, name)];
        char* copy = strdup(name.c_str());
        if (!copy || !list.add(bus, copy, kind.funcs, kind.algo)) return false;
    }
    return true;
}

}  // namespace

i2c_adapter_info* i2c_list_adapters(KernelSeam& seam) {
    AdapterList list;
    if (!list.begin()) return nullptr;
    bool failed = false;
    if (!listFromProc(seam, list, failed)) failed = !listFromSysfs(seam, list);
    return failed ? nullptr : list.release();
}

void i2c_release_adapter_list(i2c_adapter_info* list) {
    if (!list) return;
    for (i2c_adapter_info* entry = list; entry->name; ++entry)
        std::free(entry->name);
    std::free(list);
}

int i2c_find_bus(const char* text, KernelSeam& seam) {
    if (!text) text = "";
    char* end = nullptr;
    unsigned long value = std::strtoul(text, &end, 0);
    if (*text != '\0' && *end == '\0') {
        if (value > 0xFFFFF) {
            std::fprintf(stderr, "Error: I2C bus out of range!\n");
            return -2;
        }
        return int(value);
    }
    i2c_adapter_info* adapters = i2c_list_adapters(seam);
    if (!adapters) {
        std::fprintf(stderr, "Error: Out of memory!\n");
        return -3;
    }
    int found = -1;
    for (i2c_adapter_info* entry = adapters; entry->name; ++entry) {
        if (std::strcmp(entry->name, text) != 0) continue;
        if (found >= 0) {
            std::fprintf(stderr, "Error: I2C bus name is not unique!\n");
            i2c_release_adapter_list(adapters);
            return -4;
        }
        found = entry->bus;
    }
    i2c_release_adapter_list(adapters);
    if (found < 0) std::fprintf(stderr, "Error: I2C bus name doesn't match any bus present!\n");
    return found;
}

int i2c_parse_chip_address(const char* text) {
    if (!text) text = "";
    char* end = nullptr;
    long address = std::strtol(text, &end, 0);
    if (*end != '\0') {
        std::fprintf(stderr, "Error: Chip address is not a number!\n");
        return -1;
    }
    if (address < 0x03 || address > 0x77) {
        std::fprintf(stderr, "Error: Chip address out of range (0x03-0x77)!\n");
        return -2;
    }
    return int(address);
}

}  // namespace Zentrox
