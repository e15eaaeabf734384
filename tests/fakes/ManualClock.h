// A camera clock the test drives. System and steady time move only when the test advances them;
// a reclaim wait really waits a little (so notifications still wake it), and when it times out the
// steady time jumps to the wait's deadline, as if the whole slice had passed. Waits and pauses are
// recorded.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/CameraClock.h"

namespace Zentrox {

class ManualClock final : public CameraClock {
  public:
    explicit ManualClock(int64_t systemStartNs = 1'700'000'000'000'000'000,
                         int64_t steadyStartNs = 1'000'000'000)
        : systemTime(systemStartNs), steadyTime(steadyStartNs) {}

    // Moves both clocks forward.
    void advance(std::chrono::nanoseconds step) {
        systemTime += step.count();
        steadyTime += step.count();
    }

    int64_t systemNs() override { return systemTime.load(); }
    int64_t steadyNs() override { return steadyTime.load(); }
    bool waitUntil(std::condition_variable& cond, std::unique_lock<std::mutex>& lock,
                   int64_t deadlineNs) override;
    void sleepFor(int64_t ns) override;

    // Time left to the deadline at each waitUntil call, and the number of waits that ran to their end.
    std::vector<int64_t> waitLengths() const;
    int slicesEnded() const { return ended.load(); }
    std::vector<int64_t> pauses() const;

    std::chrono::microseconds realWait{500};  // how long one wait really blocks

  private:
    std::atomic<int64_t> systemTime;
    std::atomic<int64_t> steadyTime;
    std::atomic<int> ended{0};
    mutable std::mutex recordMutex;
    std::vector<int64_t> waits;
    std::vector<int64_t> sleeps;
};

}  // namespace Zentrox
