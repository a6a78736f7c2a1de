// Argument parsing for native callables, with the package's fixed messages:
// every parameter required, by position or keyword, typed exactly.
#pragma once

#include "py/ref.hpp"

#include <cstddef>
#include <cstring>

namespace kavrel {

// Method tables take every calling convention through this one cast.
template <class F>
PyCFunction as_cfunction(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

inline void raise_arg_count(const char* func, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, "exactly",
                 expected, expected == 1 ? "" : "s", given);
}

// A keyword that names no parameter; always false.
inline bool raise_bad_keyword(const char* func, PyObject* key) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
    }
    return false;
}

// Parses a METH_FASTCALL | METH_KEYWORDS call of N required parameters. On
// success out[] holds borrowed references; on failure a TypeError is set.
template <std::size_t N>
bool parse_args(const char* func, const char* const (&names)[N], PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject* (&out)[N]) {
    constexpr auto n = static_cast<Py_ssize_t>(N);
    if (nargs > n) {
        raise_arg_count(func, n, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t idx = -1;
        if (PyUnicode_Check(key)) {
            for (Py_ssize_t i = 0; i < n && idx < 0; ++i) {
                if (PyUnicode_EqualToUTF8(key, names[i])) idx = i;
            }
        }
        if (idx < 0) return raise_bad_keyword(func, key);
        if (idx < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, key);
            return false;
        }
        out[idx] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!out[i]) {
            raise_arg_count(func, n, nargs);
            return false;
        }
    }
    return true;
}

// The same checks for a callable without parameters.
inline bool parse_no_args(const char* func, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 0) {
        raise_arg_count(func, 0, nargs);
        return false;
    }
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) return raise_bad_keyword(func, PyTuple_GET_ITEM(kwnames, 0));
    return true;
}

// A typed parameter takes exactly `type` or None; subclasses are refused.
inline bool check_exact_or_none(PyObject* value, PyTypeObject* type, const char* argname) {
    if (value == Py_None || Py_IS_TYPE(value, type)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname,
                 type->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

// parse_args for callables whose parameters all take exactly `type` or None;
// the types are checked in parameter order.
template <std::size_t N>
bool parse_typed_args(const char* func, const char* const (&names)[N], PyTypeObject* type, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames, PyObject* (&out)[N]) {
    if (!parse_args(func, names, args, nargs, kwnames, out)) return false;
    for (std::size_t i = 0; i < N; ++i) {
        if (!check_exact_or_none(out[i], type, names[i])) return false;
    }
    return true;
}

// The bytes of a parameter that passed check_exact_or_none(.., &PyBytes_Type, ..)
// as a C path or device name. None raises where the bytes are first needed; an
// embedded NUL would make libpcap open a different, shorter name, so it is refused.
inline const char* c_name(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
        return nullptr;
    }
    const char* name = PyBytes_AS_STRING(value);
    if (std::strlen(name) != static_cast<std::size_t>(PyBytes_GET_SIZE(value))) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return nullptr;
    }
    return name;
}

}  // namespace kavrel
