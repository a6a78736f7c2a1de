// Small CPython helpers shared by every kavrel extension module: an owning
// reference, argument parsing with the package's fixed messages, and turning
// libpcap error texts into Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace kavrel {

// Owns one strong reference; releases it when it goes out of scope.
class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : obj_(owned) {}
    static Ref borrow(PyObject* borrowed) noexcept { return Ref(Py_XNewRef(borrowed)); }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = std::exchange(obj_, owned);
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

// ---- argument checks ------------------------------------------------------

inline void raise_arg_count(const char* func, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 func, "exactly", expected, expected == 1 ? "" : "s", given);
}

// Parses a METH_FASTCALL | METH_KEYWORDS call whose N parameters are all
// required and may be given by position or keyword. On success out[] holds
// borrowed references; on failure a TypeError is set and false returned.
template <std::size_t N>
bool parse_args(const char* func, const char* const (&names)[N], PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, PyObject* (&out)[N]) {
    constexpr auto n = static_cast<Py_ssize_t>(N);
    if (nargs > n) {
        raise_arg_count(func, n, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
                return false;
            }
            Py_ssize_t idx = -1;
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (PyUnicode_EqualToUTF8(key, names[i])) {
                    idx = i;
                    break;
                }
            }
            if (idx < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
                return false;
            }
            if (idx < nargs) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, key);
                return false;
            }
            out[idx] = args[nargs + k];
        }
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
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, 0);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
        }
        return false;
    }
    return true;
}

// A typed parameter takes exactly `type` or None; subclasses are refused.
inline bool check_exact_or_none(PyObject* value, PyTypeObject* type, const char* argname) {
    if (value == Py_None || Py_IS_TYPE(value, type)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 argname, type->tp_name, Py_TYPE(value)->tp_name);
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

// The bytes behind a parameter that passed check_exact_or_none(.., &PyBytes_Type, ..);
// None raises where the bytes are first needed.
inline const char* bytes_or_raise(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
        return nullptr;
    }
    return PyBytes_AS_STRING(value);
}

// ---- libpcap errors -------------------------------------------------------

// libpcap's PCAP_ERRBUF_SIZE, without pulling pcap.h into modules that do not capture.
inline constexpr std::size_t kErrbufSize = 256;

// Raises exc_type(prefix + text), text being a C string of at most kErrbufSize
// bytes decoded as strict UTF-8 (a decode failure raises UnicodeDecodeError instead).
inline PyObject* raise_with_text(PyObject* exc_type, const char* prefix, const char* text) {
    Ref head(PyUnicode_FromString(prefix));
    if (!head) return nullptr;
    Ref tail(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(strnlen(text, kErrbufSize)), "strict"));
    if (!tail) return nullptr;
    Ref message(PyUnicode_Concat(head.get(), tail.get()));
    if (!message) return nullptr;
    PyErr_SetObject(exc_type, message.get());
    return nullptr;
}

inline PyObject* raise_pcap_error(const char* prefix, const char* text) {
    return raise_with_text(PyExc_RuntimeError, prefix, text);
}

// Emits RuntimeWarning(prefix + text); false if that raised (a warnings filter set to "error").
inline bool warn_pcap_error(const char* prefix, const char* text) {
    Ref tail(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(strnlen(text, kErrbufSize)), "strict"));
    if (!tail) return false;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "%s%U", prefix, tail.get()) == 0;
}

// The argument's bytes as a C path or device name (None raises as above). An
// embedded NUL would make libpcap open a different, shorter name: refused.
inline const char* c_name(PyObject* value) {
    const char* name = bytes_or_raise(value);
    if (name && std::strlen(name) != static_cast<std::size_t>(PyBytes_GET_SIZE(value))) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return nullptr;
    }
    return name;
}

// ---- building results -------------------------------------------------------

inline PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

// Interns each text into its slot (once per process; slots already set are kept).
struct InternedName {
    PyObject** slot;
    const char* text;
};
inline bool intern_all(std::initializer_list<InternedName> names) {
    for (const InternedName& n : names) {
        if (!*n.slot && !(*n.slot = intern(n.text))) return false;
    }
    return true;
}

// Inserts `value` (a new reference, or nullptr after a failure) under `key`.
inline bool put(PyObject* dict, PyObject* key, PyObject* value) {
    if (!value) return false;
    const int rc = PyDict_SetItem(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

}  // namespace kavrel
