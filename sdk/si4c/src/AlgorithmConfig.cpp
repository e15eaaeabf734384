#include "AlgorithmConfig.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Zentrox {
namespace si4c {

namespace {

constexpr size_t kMaxConfigBytes = 64 * 1024;

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool parseNumber(const std::string& text, float& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v) || v < 0.0 || v > 1.0e7)
        return false;
    out = float(v);
    return true;
}

}  // namespace

bool parseAlgorithmConfig(const std::string& text, AlgorithmParams& params) {
    AlgorithmParams parsed = params;
    std::string section;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.compare(0, 2, "//") == 0 || line[0] == ';' || line[0] == '#') continue;
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 3) return false;
            section = line.substr(1, line.size() - 2);
            // Sections do not nest: a bracket inside a section name is no INI text.
            if (section.find_first_of("[]") != std::string::npos) return false;
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) return false;
        const std::string key = trim(line.substr(0, eq));
        const std::string value = trim(line.substr(eq + 1));
        if (section != "ConfidenceParams") continue;
        float* target = nullptr;
        if (key == "ValidDistMin") target = &parsed.valid_dist_min_mm;
        if (key == "ValidDistMax") target = &parsed.valid_dist_max_mm;
        if (key == "ConfidenceThreshold") target = &parsed.confidence_min;
        if (target && !parseNumber(value, *target)) return false;
    }
    if (parsed.valid_dist_min_mm > parsed.valid_dist_max_mm || parsed.confidence_min > 100.0f) return false;
    params = parsed;
    return true;
}

ConfigRead readAlgorithmConfig(const std::string& directory, AlgorithmParams& params) {
    const std::string path = directory + "/ConfigAlgorithm.json";
    // Opened without waiting, so that a FIFO of that name cannot hold the start; only a regular file
    // is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return ConfigRead::MISSING;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return ConfigRead::NOT_A_FILE;
    }
    std::string text;
    char chunk[4096];
    bool failed = false;
    while (text.size() <= kMaxConfigBytes) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        failed = n < 0;
        if (n <= 0) break;
        text.append(chunk, size_t(n));
    }
    ::close(fd);
    // Text beyond the bound, a read error or NUL bytes: not a configuration this engine wrote or reads.
    if (failed || text.size() > kMaxConfigBytes || text.find('\0') != std::string::npos)
        return ConfigRead::MALFORMED;
    return parseAlgorithmConfig(text, params) ? ConfigRead::LOADED : ConfigRead::MALFORMED;
}

}  // namespace si4c
}  // namespace Zentrox
