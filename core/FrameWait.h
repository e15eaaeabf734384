// The wait of a frame request: on a condition variable, bounded by the request's time-out, and
// ended early when the caller's hook says so. The hook is asked when the wait begins, whenever the
// wake count changes (wakeRequests) and, if it wants, every few milliseconds, always with the lock
// released, so that it may take its time and call back into the camera.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "ZentroxTOFCamera.h"

namespace Zentrox {

// Waits with `lock` held until `done()` holds (true), or the time-out passes or the hook ends the
// wait (false). `timeout` in ms: negative waits without limit, 0 does not wait. `wakes` is the wake
// count, guarded by the same lock.
template <typename Done>
bool waitForRequest(std::unique_lock<std::mutex>& lock, std::condition_variable& cond, const uint64_t& wakes,
                    short timeout, FrameWaitHook* hook, Done done) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
    const int interval = hook != nullptr ? hook->checkIntervalMs() : 0;
    Clock::time_point nextCheck = Clock::now();
    uint64_t seen = wakes;
    bool ask = hook != nullptr;
    for (;;) {
        if (done()) return true;
        if (timeout == 0) return false;
        const Clock::time_point now = Clock::now();
        if (timeout > 0 && now >= deadline) return false;
        if (hook != nullptr && (ask || wakes != seen || (interval > 0 && now >= nextCheck))) {
            ask = false;
            seen = wakes;
            lock.unlock();
            const bool stop = hook->stopWaiting();
            lock.lock();
            if (stop) return false;
            if (interval > 0) nextCheck = Clock::now() + std::chrono::milliseconds(interval);
            continue;
        }
        bool bounded = timeout > 0;
        Clock::time_point until = deadline;
        if (hook != nullptr && interval > 0 && (!bounded || nextCheck < until)) {
            until = nextCheck;
            bounded = true;
        }
        if (bounded) {
            cond.wait_until(lock, until);
        } else {
            cond.wait(lock);
        }
    }
}

}  // namespace Zentrox
