// What the process holds, read from procfs: open descriptors, memory mappings and resident size.
// Stress tests take it before and after their cycles to show that nothing accumulates.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace Zentrox {

struct ProcessResources {
    int descriptors = 0;  // entries of /proc/self/fd (the listing's own descriptor included)
    int mappings = 0;     // lines of /proc/self/maps
    long rss_kb = 0;      // resident set size
    std::string maps;     // the text of /proc/self/maps

    static ProcessResources now() {
        ProcessResources r;
        if (DIR* dir = opendir("/proc/self/fd")) {
            while (dirent* e = readdir(dir))
                if (e->d_name[0] != '.') ++r.descriptors;
            closedir(dir);
        }
        std::ifstream maps("/proc/self/maps");
        std::string line;
        while (std::getline(maps, line)) {
            ++r.mappings;
            r.maps += line + "\n";
        }
        std::ifstream statm("/proc/self/statm");
        long pages = 0, resident = 0;
        if (statm >> pages >> resident) r.rss_kb = resident * (sysconf(_SC_PAGESIZE) / 1024);
        return r;
    }
};

inline void printResources(const char* what, const ProcessResources& before, const ProcessResources& after) {
    std::printf("%s: descriptors %d -> %d, mappings %d -> %d, rss %ld kB -> %ld kB\n", what,
                before.descriptors, after.descriptors, before.mappings, after.mappings, before.rss_kb,
                after.rss_kb);
}

// The mappings of `after` that `before` did not have, to tell what a growth is.
inline void printNewMappings(const ProcessResources& before, const ProcessResources& after) {
    size_t at = 0;
    while (at < after.maps.size()) {
        size_t end = after.maps.find('\n', at);
        if (end == std::string::npos) end = after.maps.size();
        const std::string line = after.maps.substr(at, end - at + 1);
        if (before.maps.find(line) == std::string::npos) std::printf("  new mapping: %s", line.c_str());
        at = end + 1;
    }
}

// The sanitizer allocators keep freed memory in quarantine and map their own regions on demand, so
// resident size and mapping count are only meaningful without them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPlainAllocator = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kPlainAllocator = false;
#else
constexpr bool kPlainAllocator = true;
#endif
#else
constexpr bool kPlainAllocator = true;
#endif

}  // namespace Zentrox
