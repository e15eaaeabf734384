// An ordered record of lifecycle calls shared by several doubles, so that a test can check the order
// in which the camera drives its sensor and its device.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace Zentrox {

class CallLog {
  public:
    void add(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex);
        items.push_back(entry);
    }
    std::vector<std::string> entries() const {
        std::lock_guard<std::mutex> lock(mutex);
        return items;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        items.clear();
    }

  private:
    mutable std::mutex mutex;
    std::vector<std::string> items;
};

}  // namespace Zentrox
