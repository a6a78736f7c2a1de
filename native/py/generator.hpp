// A native generator type: one object owning one run, following the host's
// generator protocol (next, send, throw, close, finalisation when dropped).
#pragma once

#include "py/args.hpp"
#include "py/ref.hpp"

#include <new>
#include <utility>

namespace kavrel {

// Generator<Core> owns one `Core`, which provides:
//   PyObject* resume();      the next item (new reference), or nullptr with an
//                            exception set, or nullptr without one at the end
//   void finish() noexcept;  releases the run's resources; called exactly once,
//                            on every way out, started or not
//   int traverse(visitproc, void*);   optional: the Python objects it holds
// It takes part in cyclic GC, so a generator stored on an object it holds is
// still collected and finished.
template <class Core>
struct Generator {
    PyObject_HEAD
    enum class State : unsigned char { created, suspended, running, finished };
    State state;
    Core core;

    template <class... Args>
    static PyObject* create(PyObject* type, Args&&... args) {
        auto* self = PyObject_GC_New(Generator, reinterpret_cast<PyTypeObject*>(type));
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

    // As in the host's generators, a StopIteration escaping the body must not
    // pass for the normal end of the iteration.
    static void stop_iteration_to_runtime_error() {
        if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        PyObject* error = PyErr_GetRaisedException();
        PyException_SetContext(error, Py_NewRef(cause));
        PyException_SetCause(error, cause);
        PyErr_SetRaisedException(error);
    }

    // Every resumption: a step of the body, or `thrown` raised where the body
    // is suspended. nullptr without an exception means the generator is exhausted.
    PyObject* resume(Ref thrown = Ref()) {
        if (refuse_if_running()) return nullptr;
        if (thrown) {
            // Thrown into a generator whose body never ran, the exception passes
            // as it is; resources go first, then it reaches the caller.
            const bool in_body = state == State::suspended;
            finish();
            PyErr_SetRaisedException(thrown.release());
            if (in_body) stop_iteration_to_runtime_error();
            return nullptr;
        }
        if (state == State::finished) return nullptr;
        state = State::running;
        PyObject* item = core.resume();
        if (item) {
            state = State::suspended;
            return item;
        }
        finish();
        stop_iteration_to_runtime_error();
        return nullptr;
    }

    static PyObject* iternext(PyObject* self) { return cast(self)->resume(); }

    static PyObject* send(PyObject* self, PyObject* value) {
        Generator* gen = cast(self);
        if (gen->state == State::created && value != Py_None) {
            if (gen->refuse_if_running()) return nullptr;
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
            return nullptr;
        }
        PyObject* item = gen->resume();
        if (!item && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
        return item;
    }

    // The exception throw() was asked to raise, checked as the host checks it.
    static PyObject* thrown_exception(PyObject* const* args, Py_ssize_t nargs) {
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
                PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s",
                             typ, Py_TYPE(exc.get())->tp_name);
                return nullptr;
            }
        } else if (PyExceptionInstance_Check(typ)) {
            if (val && val != Py_None) {
                PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
                return nullptr;
            }
            exc = Ref::borrow(typ);
        } else {
            PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                         Py_TYPE(typ)->tp_name);
            return nullptr;
        }
        if (tb && PyException_SetTraceback(exc.get(), tb) < 0) return nullptr;
        return exc.release();
    }

    static PyObject* throw_(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
        Ref exc(thrown_exception(args, nargs));
        if (!exc) return nullptr;
        return cast(self)->resume(std::move(exc));
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

    // A new heap type of `module` named `name` (dotted), registered so that
    // isinstance(g, collections.abc.Generator) holds as for the host's generators.
    static PyObject* make_type(PyObject* module, const char* name, const char* doc) {
        static PyMethodDef methods[] = {
            {"send", send, METH_O,
             PyDoc_STR("send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration.")},
            {"throw", as_cfunction(throw_), METH_FASTCALL,
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
        PyType_Spec type_shape{name, sizeof(Generator), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
        Ref type(PyType_FromModuleAndSpec(module, &type_shape, nullptr));
        if (!type) return nullptr;
        Ref abc(PyImport_ImportModule("collections.abc"));
        if (!abc) return nullptr;
        Ref generator_abc(PyObject_GetAttrString(abc.get(), "Generator"));
        if (!generator_abc) return nullptr;
        Ref done(PyObject_CallMethod(generator_abc.get(), "register", "O", type.get()));
        if (!done) return nullptr;
        return type.release();
    }
};

// A capture generator function's call: its one parameter, bytes or None, by
// position or keyword; `owner...` goes to the run's constructor before it.
template <class Gen, class... Owner>
PyObject* make_generator(PyObject* type, const char* func, const char* argname, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames, Owner... owner) {
    const char* const names[] = {argname};
    PyObject* values[1];
    if (!parse_typed_args(func, names, &PyBytes_Type, args, nargs, kwnames, values)) return nullptr;
    return Gen::create(type, owner..., values[0]);
}

}  // namespace kavrel
