// Running a native step that may wait for a long time (a pipe that says
// nothing yet, a large capture filter being compiled) without making Ctrl-C
// wait for it: the step runs on a thread of its own while the caller, without
// the interpreter lock, looks at pending signals every few milliseconds.
#pragma once

#include "py/ref.hpp"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace kavrel {

// How often the waiting caller looks at pending signals.
inline constexpr int kSignalLookMs = 20;

// Runs `step()` (no interpreter; it returns bool, and owns by capture what it
// needs alive) and waits for it, `result` then being what it returned. A
// signal handler that raises meanwhile ends the wait: `abandon()` is called
// (it may ask the step to give up), and the step finishes on its own thread.
// False with an exception set when interrupted or out of memory.
template <class Step, class Abandon>
bool run_interruptibly(Step step, Abandon abandon, bool& result) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable done_cv;
        bool done = false;
        bool result = false;
    };
    std::shared_ptr<Shared> shared;
    try {
        shared = std::make_shared<Shared>();
        std::thread([shared, step = std::move(step)]() mutable {
            const bool r = step();
            std::lock_guard lock(shared->mutex);
            shared->result = r;
            shared->done = true;
            shared->done_cv.notify_all();
        }).detach();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    } catch (const std::system_error&) {
        PyErr_SetString(PyExc_RuntimeError, "could not start a thread");
        return false;
    }
    for (;;) {
        bool finished;
        Py_BEGIN_ALLOW_THREADS
        std::unique_lock lock(shared->mutex);
        finished = shared->done_cv.wait_for(lock, std::chrono::milliseconds(kSignalLookMs),
                                            [&] { return shared->done; });
        Py_END_ALLOW_THREADS
        if (finished) {
            result = shared->result;
            return true;
        }
        if (PyErr_CheckSignals() < 0) {
            abandon();
            return false;
        }
    }
}

}  // namespace kavrel
