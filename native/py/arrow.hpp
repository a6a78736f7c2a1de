// Arrow's C data interface as Python sees it: PyCapsules named "arrow_schema",
// "arrow_array" and "arrow_array_stream" that own what they hold, and the C
// stream over any reader of batches (pyarrow, polars and DuckDB pull it
// without the interpreter).
#pragma once

#include "columnar/arrow_c.hpp"
#include "columnar/columns.hpp"
#include "py/ref.hpp"

#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace kavrel {

// The name each struct goes by in a capsule.
template <class T>
constexpr const char* capsule_name() noexcept;
template <>
constexpr const char* capsule_name<ArrowSchema>() noexcept { return "arrow_schema"; }
template <>
constexpr const char* capsule_name<ArrowArray>() noexcept { return "arrow_array"; }
template <>
constexpr const char* capsule_name<ArrowArrayStream>() noexcept { return "arrow_array_stream"; }

template <class T>
void capsule_free(PyObject* capsule) {
    auto* held = static_cast<T*>(PyCapsule_GetPointer(capsule, capsule_name<T>()));
    if (!held) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    if (held->release) held->release(held);  // null once a consumer moved it out
    delete held;
}

// `value` moved into a capsule that owns it; released if that fails.
template <class T>
PyObject* own_in_capsule(T value) {
    auto* held = new (std::nothrow) T(value);
    if (!held) {
        value.release(&value);
        return PyErr_NoMemory();
    }
    PyObject* capsule = PyCapsule_New(held, capsule_name<T>(), capsule_free<T>);
    if (!capsule) {
        held->release(held);
        delete held;
    }
    return capsule;
}

// The schema of batches of `fields`, as a capsule.
inline PyObject* schema_capsule(const std::vector<columnar::Field>& fields) {
    ArrowSchema schema;
    if (!columnar::export_schema(fields, &schema)) return PyErr_NoMemory();
    return own_in_capsule(schema);
}

// A batch as a capsule, which takes it over (released on failure too).
inline PyObject* array_capsule(ArrowArray batch) { return own_in_capsule(batch); }

// The (schema, array) capsules a batch's __arrow_c_array__ gives: borrowed pointers into
// `capsules`, which the caller keeps; false with an exception set when they are not that.
inline bool batch_capsules(PyObject* capsules, ArrowSchema*& schema, ArrowArray*& array) {
    if (!PyTuple_Check(capsules) || PyTuple_GET_SIZE(capsules) != 2) {
        PyErr_SetString(PyExc_TypeError, "expected the (schema, array) capsules of a record batch");
        return false;
    }
    schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(capsules, 0), "arrow_schema"));
    array = static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(capsules, 1), "arrow_array"));
    return schema && array;
}

// An Arrow C stream over a shared reader. `Source` has fields() and
// int next(ArrowArray* out, std::string& error): 0 with out->release null at the
// end, else 0 with a batch, or an errno with `error` set.
template <class Source>
struct StreamOver {
    std::shared_ptr<Source> source;
    std::string last_error;

    static StreamOver& of(ArrowArrayStream* stream) { return *static_cast<StreamOver*>(stream->private_data); }

    static int get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
        StreamOver& data = of(stream);
        if (!columnar::export_schema(data.source->fields(), out)) {
            data.last_error = "out of memory";
            return ENOMEM;
        }
        return 0;
    }
    static int get_next(ArrowArrayStream* stream, ArrowArray* out) {
        StreamOver& data = of(stream);
        out->release = nullptr;
        return data.source->next(out, data.last_error);
    }
    static const char* get_last_error(ArrowArrayStream* stream) {
        const StreamOver& data = of(stream);
        return data.last_error.empty() ? nullptr : data.last_error.c_str();
    }
    static void release(ArrowArrayStream* stream) {
        delete static_cast<StreamOver*>(stream->private_data);
        stream->release = nullptr;
    }
};

// __arrow_c_stream__(requested_schema=None) over `source`: a capsule that owns the
// stream. The batches come in their own schema.
template <class Source>
PyObject* stream_capsule(const std::shared_ptr<Source>& source, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"requested_schema", nullptr};
    PyObject* requested = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char**>(kwlist), &requested)) return nullptr;
    using Data = StreamOver<Source>;
    auto* data = new (std::nothrow) Data{source, {}};
    if (!data) return PyErr_NoMemory();
    return own_in_capsule(ArrowArrayStream{Data::get_schema, Data::get_next, Data::get_last_error, Data::release, data});
}

// A tuple of the names of `fields`.
inline PyObject* names_of(const std::vector<columnar::Field>& fields) {
    Ref out(PyTuple_New(static_cast<Py_ssize_t>(fields.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        PyObject* name = PyUnicode_FromString(fields[i].name);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), name);
    }
    return out.release();
}

}  // namespace kavrel
