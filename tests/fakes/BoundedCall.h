// A call that must never wait on a FIFO, run with a bound, so that a regression fails its test
// instead of hanging the run.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace Zentrox {

// Runs `call` on a thread of its own and returns whether it finished within `limit`. When it did
// not, the FIFO at `fifo` is opened from both ends and drained, so that the call blocked on it can
// finish and be joined, and the result is false.
bool finishesDespiteFifo(const std::string& fifo, const std::function<void()>& call,
                         std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace Zentrox
