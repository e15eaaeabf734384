// A fresh temporary directory for the files a test writes, removed with what it holds. Unlike
// TempWorkDir it leaves the working directory alone.
#pragma once

#include <string>
#include <vector>

namespace Zentrox {

class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();

    // The path of `name` in the directory; the file is removed with the directory.
    std::string file(const std::string& name);
    // Writes `text` to `name` in the directory and returns its path.
    std::string write(const std::string& name, const std::string& text);

    std::string path;

  private:
    std::vector<std::string> files;
};

}  // namespace Zentrox
