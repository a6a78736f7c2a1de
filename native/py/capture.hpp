// A capture loop run by an interpreter: waits for traffic with the interpreter
// lock released, and a pending signal (its handler run) interrupts the loop.
#pragma once

#include "pcap/source.hpp"
#include "py/ref.hpp"

namespace kavrel {

struct InterpreterHooks {
    // Longest single wait; pending signals are looked at between waits.
    int wait_ms = 1000;

    void wait(pcap_t* handle) const {
        Py_BEGIN_ALLOW_THREADS
        pcap::wait_readable(handle, wait_ms);
        Py_END_ALLOW_THREADS
    }
    bool keep_going() const { return PyErr_CheckSignals() == 0; }
};

}  // namespace kavrel
