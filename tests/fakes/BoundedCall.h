// A call that must never wait on a FIFO, run with a bound, so that a regression fails its test
// instead of hanging the run.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace Zentrox {

// Whether `call` finished within 10 s. If not, the FIFO at `fifo` gets both ends for a moment, which
// lets a call blocked on it go on (a reader then sees the end, a writer EPIPE), and is joined.
inline bool finishesDespiteFifo(const std::string& fifo, const std::function<void()>& call) {
    std::future<void> done = std::async(std::launch::async, call);
    if (done.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return true;
    void (*previous)(int) = std::signal(SIGPIPE, SIG_IGN);
    const int fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (fd >= 0) ::close(fd);
    done.wait();
    std::signal(SIGPIPE, previous);
    return false;
}

}  // namespace Zentrox
