// A fresh temporary directory that is the process's working directory for the lifetime of the object.
// The previous working directory is restored and the directory tree removed afterwards.
#pragma once

#include <string>

namespace Zentrox {

class TempWorkDir {
  public:
    TempWorkDir();
    ~TempWorkDir();
    TempWorkDir(const TempWorkDir&) = delete;
    TempWorkDir& operator=(const TempWorkDir&) = delete;

    const std::string& path() const { return dir; }
    // Whole content of a file below the directory; empty when it cannot be read.
    std::string read(const std::string& name) const;
    bool write(const std::string& name, const std::string& content) const;

  private:
    std::string dir;
    std::string previous;
};

}  // namespace Zentrox
