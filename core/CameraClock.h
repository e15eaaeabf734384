// The clocks the capture thread reads and the waits it makes: frame-rate measurement and the
// adjustment period run on the system clock, the reclaim slices on the steady clock. A camera uses
// the system clocks; tests install a clock they drive themselves.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace Zentrox {

class CameraClock {
  public:
    virtual ~CameraClock();
    // Nanoseconds of the system (wall) clock since its epoch.
    virtual int64_t systemNs() = 0;
    // Nanoseconds of the steady clock.
    virtual int64_t steadyNs() = 0;
    // One wait on `cond` with `lock` held, returning at a notification, spuriously, or when the
    // steady clock reaches `deadlineNs`. Returns false once the deadline has been reached.
    virtual bool waitUntil(std::condition_variable& cond, std::unique_lock<std::mutex>& lock,
                           int64_t deadlineNs) = 0;
    virtual void sleepFor(int64_t ns) = 0;

    // The process-wide clock over std::chrono::system_clock and std::chrono::steady_clock.
    static CameraClock& system();
};

}  // namespace Zentrox
