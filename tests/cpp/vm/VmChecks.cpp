#include "tests/cpp/vm/VmChecks.h"

#include <cstdio>

namespace Zentrox {

bool VmChecks::check(bool condition, const char* format, ...) {
    if (condition) {
        ++passes;
    } else {
        ++failures;
    }
    if (!condition || verbose) {
        std::fputs(condition ? "ok " : "FAIL ", stdout);
        va_list args;
        va_start(args, format);
        std::vprintf(format, args);
        va_end(args);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    return condition;
}

void VmChecks::note(const char* format, ...) {
    std::fputs("note ", stdout);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int VmChecks::finish() const {
    std::printf("%d passed, %d failed\n", passes, failures);
    std::fflush(stdout);
    return failures == 0 && passes > 0 ? 0 : 1;
}

}  // namespace Zentrox
