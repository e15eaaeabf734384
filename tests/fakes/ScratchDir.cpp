#include "tests/fakes/ScratchDir.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace Zentrox {

ScratchDir::ScratchDir() {
    char pattern[] = "/tmp/zentrox-scratch-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    path = made ? made : "/tmp";
}

ScratchDir::~ScratchDir() {
    for (const auto& f : files)
        ::unlink(f.c_str());
    ::rmdir(path.c_str());
}

std::string ScratchDir::file(const std::string& name) {
    files.push_back(path + "/" + name);
    return files.back();
}

std::string ScratchDir::write(const std::string& name, const std::string& text) {
    const std::string p = file(name);
    std::ofstream(p, std::ios::binary) << text;
    return p;
}

}  // namespace Zentrox
