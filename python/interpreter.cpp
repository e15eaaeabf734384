// The interpreter lock around the module's waits.
//
// A thread that waits in the core (for a frame, a join, any call made without the interpreter lock)
// takes the lock back when the call returns. While the interpreter finalises, Python ends a daemon
// thread that tries to take it with pthread_exit, whose forced unwinding aborts the process as soon
// as it meets a frame that may not unwind. So the at-exit hook closes a gate first: from then on a
// thread coming back from the core parks for good instead (the process is ending; nothing is lost),
// and the hook's own thread is the only one that goes on. The gate is taken together with the
// interpreter lock, so no thread can slip past it between the check and taking the lock.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "python/Binding.h"

namespace Zentrox {
namespace python {

namespace {

// Replaced, not unlocked, in the child of a fork: a thread of the parent may have held it.
std::mutex* gate = new std::mutex;
std::atomic<bool> closing{false};
std::thread::id finaliser;
std::atomic<unsigned long> mainThread{0};

[[noreturn]] void park() {
    for (;;)
        std::this_thread::sleep_for(std::chrono::hours(24));
}

void afterForkInChild() {
    gate = new std::mutex;  // the parent's may be held by a thread that is not here
    // The thread that forked is the child's only thread, and Python makes it the main thread.
    mainThread.store(PyThread_get_thread_ident());
}

}  // namespace

void initInterpreterSupport() {
    mainThread.store(
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>());
    static bool registered = false;
    if (!registered) {
        pthread_atfork(nullptr, nullptr, &afterForkInChild);
        registered = true;
    }
}

void beginFinalising() {
    PyThreadState* state = PyEval_SaveThread();
    {
        std::lock_guard<std::mutex> lock(*gate);
        finaliser = std::this_thread::get_id();
        closing.store(true);
    }
    PyEval_RestoreThread(state);
}

bool finalising() {
    return closing.load();
}

bool isMainThread() {
    return PyThread_get_thread_ident() == mainThread.load();
}

GilRelease::GilRelease(std::unique_lock<std::mutex>* held) : state(PyEval_SaveThread()), held(held) {}

GilRelease::~GilRelease() {
    resume();
}

void GilRelease::resume() {
    std::unique_lock<std::mutex> lock(*gate);
    if (closing.load() && std::this_thread::get_id() != finaliser) {
        lock.unlock();
        if (held != nullptr && held->owns_lock()) held->unlock();
        park();
    }
    PyEval_RestoreThread(state);
}

}  // namespace python
}  // namespace Zentrox
