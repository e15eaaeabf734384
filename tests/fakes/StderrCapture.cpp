#include "tests/fakes/StderrCapture.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace Zentrox {

StderrCapture::StderrCapture() {
    char path[] = "/tmp/zentrox-stderr-XXXXXX";
    file = ::mkstemp(path);
    if (file < 0) return;
    ::unlink(path);
    std::fflush(stderr);
    saved = ::dup(2);
    ::dup2(file, 2);
}

StderrCapture::~StderrCapture() {
    text();
}

std::string StderrCapture::text() {
    if (saved < 0) return collected;
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    saved = -1;
    ::lseek(file, 0, SEEK_SET);
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(file, chunk, sizeof chunk)) > 0)
        collected.append(chunk, size_t(n));
    ::close(file);
    file = -1;
    return collected;
}

}  // namespace Zentrox
