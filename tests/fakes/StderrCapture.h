// Collects what is written to standard error (descriptor 2) between construction and text().
#pragma once

#include <string>

namespace Zentrox {

class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    // Restores standard error (once) and returns everything written to it meanwhile.
    std::string text();

  private:
    int saved = -1;
    int file = -1;
    std::string collected;
};

}  // namespace Zentrox
