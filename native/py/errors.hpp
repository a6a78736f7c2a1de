// Turning libpcap's error texts into Python exceptions and warnings.
#pragma once

#include "py/ref.hpp"

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

namespace kavrel {

// libpcap's PCAP_ERRBUF_SIZE, without pulling pcap.h into modules that do not capture.
inline constexpr std::size_t kErrbufSize = 256;

// What a failed libpcap call said beyond its text, for callers that act on the
// kind of failure (no such device, no permission, no such file) without reading
// the message. Zero means "not known".
struct FailureCause {
    int pcap_status = 0;  // libpcap's PCAP_ERROR_* code of the failed call
    int os_errno = 0;     // the system's errno when the system refused
};

// An errbuf-sized C string, up to its first NUL, decoded as strict UTF-8.
inline PyObject* errbuf_text(const char* text) {
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(strnlen(text, kErrbufSize)), "strict");
}

// Raises RuntimeError(prefix + text) with the cause as the attributes
// `pcap_status` and `errno` (None where not known) and libpcap's text alone as
// `libpcap_text`. A text that is not UTF-8 raises UnicodeDecodeError instead.
// Always returns nullptr.
inline PyObject* raise_pcap_error(const char* prefix, const char* text, FailureCause cause = {}) {
    Ref tail(errbuf_text(text));
    if (!tail) return nullptr;
    Ref message(PyUnicode_FromFormat("%s%U", prefix, tail.get()));
    if (!message) return nullptr;
    Ref error(PyObject_CallOneArg(PyExc_RuntimeError, message.get()));
    if (!error) return nullptr;
    Ref status(cause.pcap_status ? PyLong_FromLong(cause.pcap_status) : Py_NewRef(Py_None));
    Ref os_errno(cause.os_errno ? PyLong_FromLong(cause.os_errno) : Py_NewRef(Py_None));
    if (!status || !os_errno || PyObject_SetAttrString(error.get(), "pcap_status", status.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "errno", os_errno.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "libpcap_text", tail.get()) < 0) {
        return nullptr;
    }
    // Set as a value, not re-raised, so it chains to an exception being handled.
    PyErr_SetObject(PyExc_RuntimeError, error.get());
    return nullptr;
}

// Raises the OSError the system's `err` stands for (FileNotFoundError,
// PermissionError, ...; a plain OSError when `err` is 0) with `text` as its
// strerror and `filename` (a path or device; nullptr: none), and sets each
// (name, value) of `facts` on it (values stolen; nullptr entries skipped).
// Always returns nullptr.
inline PyObject* raise_os_error(int err, const char* text, PyObject* filename,
                                std::initializer_list<std::pair<const char*, PyObject*>> facts = {}) {
    std::vector<Ref> values;
    for (const auto& fact : facts) values.emplace_back(fact.second);
    Ref message(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
    if (!message) return nullptr;
    Ref error(filename ? PyObject_CallFunction(PyExc_OSError, "iOO", err, message.get(), filename)
                       : PyObject_CallFunction(PyExc_OSError, "iO", err, message.get()));
    if (!error) return nullptr;
    std::size_t k = 0;
    for (const auto& fact : facts) {
        PyObject* value = values[k++].get();
        if (value && PyObject_SetAttrString(error.get(), fact.first, value) < 0) return nullptr;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

// Emits RuntimeWarning(prefix + text); false if that raised (a warnings filter set to "error").
inline bool warn_pcap_error(const char* prefix, const char* text) {
    Ref tail(errbuf_text(text));
    if (!tail) return false;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "%s%U", prefix, tail.get()) == 0;
}

}  // namespace kavrel
