// Pass/fail bookkeeping of the capture program: every check prints one line, and the program closes
// with "N passed, N failed".
#pragma once

#include <cstdarg>

namespace Zentrox {

class VmChecks {
  public:
    // Records one check; a failing one prints "FAIL <text>", a passing one "ok <text>" when verbose.
    bool check(bool condition, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Prints an informational line (measured figures).
    void note(const char* format, ...) __attribute__((format(printf, 2, 3)));
    int passed() const { return passes; }
    int failed() const { return failures; }
    // Prints the closing line; the exit status of the program (0 only when nothing failed).
    int finish() const;
    bool verbose = false;

  private:
    int passes = 0;
    int failures = 0;
};

}  // namespace Zentrox
