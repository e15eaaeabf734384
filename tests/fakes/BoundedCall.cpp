#include "BoundedCall.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <future>
#include <thread>

namespace Zentrox {

bool finishesDespiteFifo(const std::string& fifo, const std::function<void()>& call,
                         std::chrono::milliseconds limit) {
    std::packaged_task<void()> task(call);
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    const bool finished = done.wait_for(limit) == std::future_status::ready;
    if (!finished) {
        // A reader blocked in open or read, or a writer blocked in open or write, all get going once
        // the FIFO has both ends and loses them again; a late writer sees EPIPE, not SIGPIPE.
        void (*previous)(int) = std::signal(SIGPIPE, SIG_IGN);
        const int fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        char sink[4096];
        for (int round = 0; round < 20 && fd >= 0; ++round) {
            while (::read(fd, sink, sizeof sink) > 0) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (fd >= 0) ::close(fd);
        done.wait();
        std::signal(SIGPIPE, previous);
    }
    runner.join();
    return finished;
}

}  // namespace Zentrox
