// Capture loops shared by the modules that read frames through libpcap: opening
// a live device for interruptible waits, reading the next accepted frame, and a
// native generator type that owns one capture run.
#pragma once

#include "pyglue.hpp"

#include <pcap/pcap.h>
#include <poll.h>
#include <time.h>

#include <new>

namespace kavrel {

inline constexpr int kSnapLen = 65535;
inline constexpr int kPromiscuous = 1;
inline constexpr int kReadTimeoutMs = 1000;
// Longest single wait for traffic; pending signals are looked at between waits.
inline constexpr int kWaitSliceMs = 1000;
// A stream of frames that are all skipped still looks at pending signals this often.
inline constexpr unsigned kSignalCheckEvery = 4096;

static_assert(kErrbufSize == PCAP_ERRBUF_SIZE);

// ---- reading frames -------------------------------------------------------

enum class ReadStatus {
    frame,       // an accepted frame was decoded
    end,         // end of the capture file
    pcap_error,  // libpcap reported an error; pcap_geterr() has its text
    py_error,    // a Python exception is pending (a signal handler raised)
};

// Opens a live device in non-blocking mode, so that waiting for traffic happens
// in poll() where the interpreter lock is released and signals can be seen.
inline pcap_t* open_live(const char* device, char* errbuf) {
    errbuf[0] = '\0';
    pcap_t* handle = pcap_open_live(device, kSnapLen, kPromiscuous, kReadTimeoutMs, errbuf);
    if (!handle) return nullptr;
    if (pcap_setnonblock(handle, 1, errbuf) != 0) {
        pcap_close(handle);
        return nullptr;
    }
    return handle;
}

// Waits until the capture descriptor is readable or kWaitSliceMs passed, with
// the interpreter lock released.
inline void wait_for_traffic(pcap_t* handle) {
    const int fd = pcap_get_selectable_fd(handle);
    Py_BEGIN_ALLOW_THREADS
    if (fd >= 0) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, kWaitSliceMs) > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            // libpcap reports the failure on the next read; do not spin meanwhile.
            const timespec pause{0, 10'000'000};
            nanosleep(&pause, nullptr);
        }
    } else {
        const timespec pause{0, 10'000'000};
        nanosleep(&pause, nullptr);
    }
    Py_END_ALLOW_THREADS
}

// Reads frames until `accept(header, bytes)` returns true for one of them.
// A live handle (non-blocking) waits for traffic; a file handle reads to its end.
template <class Accept>
ReadStatus next_accepted(pcap_t* handle, bool live, Accept&& accept) {
    unsigned skipped = 0;
    for (;;) {
        pcap_pkthdr* header;
        const u_char* bytes;
        const int rc = pcap_next_ex(handle, &header, &bytes);
        if (rc == 1) {
            if (accept(*header, bytes)) return ReadStatus::frame;
            if (++skipped % kSignalCheckEvery == 0 && PyErr_CheckSignals() < 0) return ReadStatus::py_error;
        } else if (rc == 0) {
            if (!live) continue;  // not returned by savefiles; be safe
            wait_for_traffic(handle);
            if (PyErr_CheckSignals() < 0) return ReadStatus::py_error;
        } else if (rc == PCAP_ERROR_BREAK) {
            return ReadStatus::end;
        } else {
            return ReadStatus::pcap_error;
        }
    }
}

// ---- native generator -----------------------------------------------------
//
// A generator object owning one `Core`, which provides:
//   PyObject* resume();      the next item (new reference), or nullptr with an
//                            exception set, or nullptr without one at the end
//   void finish() noexcept;  releases the run's resources; called exactly once
//                            per started-or-not generator, on every way out
//   int traverse(visitproc, void*);   optional: the Python objects it holds
// The object follows the host's generator protocol: next, send, throw, close,
// and finalisation when dropped while suspended. It takes part in cyclic GC,
// so a generator stored on the object it holds is still collected and closed.

template <class Core>
struct Generator {
    PyObject_HEAD
    enum class State : unsigned char { created, suspended, running, finished };
    State state;
    Core core;

    static inline PyTypeObject* type = nullptr;

    // Takes ownership of nothing: Core is constructed in place from args.
    template <class... Args>
    static PyObject* create(Args&&... args) {
        auto* self = PyObject_GC_New(Generator, type);
        if (!self) return nullptr;
        self->state = State::created;
        new (&self->core) Core(std::forward<Args>(args)...);
        PyObject_GC_Track(self);
        return reinterpret_cast<PyObject*>(self);
    }

    static Generator* cast(PyObject* obj) { return reinterpret_cast<Generator*>(obj); }

    bool refuse_if_running() {
        if (state != State::running) return false;
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return true;
    }

    void finish() noexcept {
        if (state == State::finished) return;
        state = State::finished;
        core.finish();
    }

    // One step; nullptr without an exception means the generator is exhausted.
    PyObject* step() {
        if (refuse_if_running()) return nullptr;
        if (state == State::finished) return nullptr;
        const bool started = state == State::suspended;
        state = State::running;
        PyObject* item = core.resume();
        if (item) {
            state = State::suspended;
            return item;
        }
        finish();
        if (started) stop_iteration_to_runtime_error();
        return nullptr;
    }

    // As in the host's generators, a StopIteration escaping a running body
    // must not pass for the normal end of the iteration.
    static void stop_iteration_to_runtime_error() {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetContext(error, Py_NewRef(cause));
        PyException_SetCause(error, cause);
        PyErr_SetRaisedException(error);
    }

    static PyObject* iternext(PyObject* self) { return cast(self)->step(); }

    static PyObject* send(PyObject* self, PyObject* value) {
        Generator* gen = cast(self);
        if (gen->state == State::created && value != Py_None) {
            if (gen->refuse_if_running()) return nullptr;
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
            return nullptr;
        }
        PyObject* item = gen->step();
        if (!item && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
        return item;
    }

    static PyObject* throw_(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
        Generator* gen = cast(self);
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
            return nullptr;
        }
        if (nargs > 3) {
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
            return nullptr;
        }
        if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                      "the (type, exc, tb) signature of throw() is deprecated, "
                                      "use the single-arg signature instead.",
                                      1) < 0) {
            return nullptr;
        }
        PyObject* typ = args[0];
        PyObject* val = nargs > 1 ? args[1] : nullptr;
        PyObject* tb = nargs > 2 ? args[2] : nullptr;
        if (tb == Py_None) tb = nullptr;
        if (tb && !PyTraceBack_Check(tb)) {
            PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
            return nullptr;
        }
        Ref exc;
        if (PyExceptionClass_Check(typ)) {
            PyObject *t = Py_NewRef(typ), *v = Py_XNewRef(val), *b = Py_XNewRef(tb);
            PyErr_NormalizeException(&t, &v, &b);
            Py_XDECREF(t);
            Py_XDECREF(b);
            exc.reset(v);
            if (!exc) return nullptr;
            if (!PyExceptionInstance_Check(exc.get())) {
                PyErr_Format(PyExc_TypeError,
                             "calling %R should have returned an instance of BaseException, not %s", typ,
                             Py_TYPE(exc.get())->tp_name);
                return nullptr;
            }
        } else if (PyExceptionInstance_Check(typ)) {
            if (val && val != Py_None) {
                PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
                return nullptr;
            }
            exc = Ref::borrow(typ);
        } else {
            PyErr_Format(PyExc_TypeError,
                         "exceptions must be classes or instances deriving from BaseException, not %s",
                         Py_TYPE(typ)->tp_name);
            return nullptr;
        }
        if (tb && PyException_SetTraceback(exc.get(), tb) < 0) return nullptr;
        if (gen->refuse_if_running()) return nullptr;
        const bool started = gen->state == State::suspended;
        gen->finish();  // resources go first, then the exception reaches the caller
        PyErr_SetRaisedException(exc.release());
        if (started) stop_iteration_to_runtime_error();
        return nullptr;
    }

    static PyObject* close(PyObject* self, PyObject*) {
        Generator* gen = cast(self);
        if (gen->refuse_if_running()) return nullptr;
        gen->finish();
        Py_RETURN_NONE;
    }

    static void dealloc(PyObject* self) {
        Generator* gen = cast(self);
        PyTypeObject* tp = Py_TYPE(self);
        PyObject_GC_UnTrack(self);
        gen->finish();
        gen->core.~Core();
        PyObject_GC_Del(self);
        Py_DECREF(tp);
    }

    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        if constexpr (requires(Core& c) { c.traverse(visit, arg); }) {
            return cast(self)->core.traverse(visit, arg);
        }
        return 0;
    }

    // Creates the heap type once per process; `name` is the dotted type name.
    static bool ready(const char* name, const char* doc) {
        if (type) return true;
        static PyMethodDef methods[] = {
            {"send", reinterpret_cast<PyCFunction>(send), METH_O,
             PyDoc_STR("send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration.")},
            {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(throw_)), METH_FASTCALL,
             PyDoc_STR("throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, "
                       "return next yielded value or raise\nStopIteration.")},
            {"close", close, METH_NOARGS, PyDoc_STR("close() -> raise GeneratorExit inside generator.")},
            {nullptr, nullptr, 0, nullptr},
        };
        PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
            {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
            {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
            {Py_tp_iternext, reinterpret_cast<void*>(iternext)},
            {Py_tp_methods, methods},
            {Py_tp_doc, const_cast<char*>(doc)},
            {0, nullptr},
        };
        PyType_Spec type_spec{name, sizeof(Generator), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         slots};
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
        if (!type) return false;
        return register_as_generator(reinterpret_cast<PyObject*>(type));
    }

    // isinstance(g, collections.abc.Generator) holds, as for the host's generators.
    static bool register_as_generator(PyObject* tp) {
        Ref abc(PyImport_ImportModule("collections.abc"));
        if (!abc) return false;
        Ref generator_abc(PyObject_GetAttrString(abc.get(), "Generator"));
        if (!generator_abc) return false;
        Ref done(PyObject_CallMethod(generator_abc.get(), "register", "O", tp));
        return static_cast<bool>(done);
    }
};

// A capture generator function's call: its one parameter, bytes or None, by
// position or keyword; `owner...` goes to the run's constructor before it.
template <class Gen, class... Owner>
PyObject* make_generator(const char* func, const char* argname, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, Owner... owner) {
    const char* const names[] = {argname};
    PyObject* values[1];
    if (!parse_typed_args(func, names, &PyBytes_Type, args, nargs, kwnames, values)) return nullptr;
    return Gen::create(owner..., values[0]);
}

}  // namespace kavrel
