#include "tests/fakes/TempWorkDir.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace Zentrox {

TempWorkDir::TempWorkDir() {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd)) previous = cwd;
    char pattern[] = "/tmp/zentrox-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return;
    }
    dir = pattern;
    if (::chdir(dir.c_str()) != 0) std::perror("chdir");
}

TempWorkDir::~TempWorkDir() {
    if (!previous.empty() && ::chdir(previous.c_str()) != 0) std::perror("chdir");
    if (!dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
}

std::string TempWorkDir::read(const std::string& name) const {
    std::ifstream in(dir + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool TempWorkDir::write(const std::string& name, const std::string& content) const {
    std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(content.data(), std::streamsize(content.size()));
    return bool(out);
}

}  // namespace Zentrox
