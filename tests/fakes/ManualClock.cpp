#include "tests/fakes/ManualClock.h"

#include <algorithm>

namespace Zentrox {

bool ManualClock::waitUntil(std::condition_variable& cond, std::unique_lock<std::mutex>& lock,
                            int64_t deadlineNs) {
    {
        std::lock_guard<std::mutex> record(recordMutex);
        waits.push_back(deadlineNs - steadyTime.load());
    }
    if (steadyTime.load() >= deadlineNs) return false;
    if (cond.wait_for(lock, realWait) == std::cv_status::timeout) {
        int64_t now = steadyTime.load();
        while (now < deadlineNs && !steadyTime.compare_exchange_weak(now, deadlineNs)) {
        }
        ++ended;
        return false;
    }
    return steadyTime.load() < deadlineNs;
}

void ManualClock::sleepFor(int64_t ns) {
    {
        std::lock_guard<std::mutex> record(recordMutex);
        sleeps.push_back(ns);
    }
    steadyTime += ns;
}

std::vector<int64_t> ManualClock::waitLengths() const {
    std::lock_guard<std::mutex> record(recordMutex);
    return waits;
}

std::vector<int64_t> ManualClock::pauses() const {
    std::lock_guard<std::mutex> record(recordMutex);
    return sleeps;
}

}  // namespace Zentrox
