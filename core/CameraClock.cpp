#include "core/CameraClock.h"

#include <chrono>
#include <thread>

namespace Zentrox {

CameraClock::~CameraClock() = default;

namespace {

class SystemClock final : public CameraClock {
  public:
    int64_t systemNs() override {
        using namespace std::chrono;
        return duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    }

    int64_t steadyNs() override {
        using namespace std::chrono;
        return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
    }

    bool waitUntil(std::condition_variable& cond, std::unique_lock<std::mutex>& lock,
                   int64_t deadlineNs) override {
        using namespace std::chrono;
        steady_clock::time_point deadline(duration_cast<steady_clock::duration>(nanoseconds(deadlineNs)));
        cond.wait_until(lock, deadline);
        return steadyNs() < deadlineNs;
    }

    void sleepFor(int64_t ns) override { std::this_thread::sleep_for(std::chrono::nanoseconds(ns)); }
};

}  // namespace

CameraClock& CameraClock::system() {
    static SystemClock clock;
    return clock;
}

}  // namespace Zentrox
