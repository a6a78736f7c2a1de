// kavrel._engine: the dataset engine's batch producer for Python. A Scan reads
// capture files natively and hands record batches over through the Arrow C
// stream interface (__arrow_c_stream__); no Python object is made per packet.
#include "alerts/alert_reader.hpp"
#include "columnar/arrow_c.hpp"
#include "columnar/arrow_import.hpp"
#include "columnar/columns.hpp"
#include "engine/live_scanner.hpp"
#include "engine/scanner.hpp"
#include "engine/tables.hpp"
#include "labels/alert_index.hpp"
#include "py/args.hpp"
#include "py/interruptible.hpp"
#include "py/module.hpp"
#include "py/ref.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace kavrel {
namespace {

using engine::Scanner;

struct State {
    PyObject* scan_type;
    PyObject* carry_type;

    template <class F>
    int for_each_ref(F&& f) {
        if (int rc = f(scan_type)) return rc;
        return f(carry_type);
    }
};

// ---- the C stream over a reader of batches ---------------------------------------

// The next batch of `source` into `out` for a C stream: 0, or an errno with
// `error` set. One overload per kind of reader.
int stream_next(Scanner& scanner, ArrowArray* out, std::string& error) {
    const int rc = scanner.next_batch(out);
    if (rc) error = scanner.error();
    return rc;
}

// Called without the interpreter: a live capture waits for as long as the link
// is quiet and ends only when the device fails or the reader is closed.
int stream_next(engine::LiveScanner& scanner, ArrowArray* out, std::string& error) {
    const engine::LiveStatus status = scanner.next_batch(out, [] { return true; });
    if (status == engine::LiveStatus::failed && !out->release) {
        error = scanner.error();
        return EIO;
    }
    return 0;
}

// An Arrow C stream over a shared reader (a Scanner or a LiveScanner).
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
        return stream_next(*data.source, out, data.last_error);
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

void stream_capsule_free(PyObject* capsule) {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
    if (!stream) {
        PyErr_WriteUnraisable(capsule);
        return;
    }
    if (stream->release) stream->release(stream);
    delete stream;
}

// __arrow_c_stream__(requested_schema=None) over `source`: a capsule that owns
// the stream. The batches come in their own schema.
template <class Source>
PyObject* stream_capsule(const std::shared_ptr<Source>& source, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"requested_schema", nullptr};
    PyObject* requested = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char**>(kwlist), &requested)) return nullptr;
    using Data = StreamOver<Source>;
    auto* stream = new (std::nothrow) ArrowArrayStream;
    auto* data = new (std::nothrow) Data{source, {}};
    if (!stream || !data) {
        delete stream;
        delete data;
        return PyErr_NoMemory();
    }
    *stream = ArrowArrayStream{Data::get_schema, Data::get_next, Data::get_last_error, Data::release, data};
    PyObject* capsule = PyCapsule_New(stream, "arrow_array_stream", stream_capsule_free);
    if (!capsule) {
        stream->release(stream);
        delete stream;
    }
    return capsule;
}


// ---- Scan ---------------------------------------------------------------------

struct Scan {
    PyObject_HEAD
    std::shared_ptr<Scanner> scanner;
};

Scan* as_scan(PyObject* self) { return reinterpret_cast<Scan*>(self); }

// The packet column named `name`, or -1 with ValueError set.
int packet_column(PyObject* name) {
    for (int c = 0; c < engine::kPacketColumnCount; ++c) {
        if (PyUnicode_EqualToUTF8(name, engine::kPacketFields[c].name)) return c;
    }
    PyErr_Format(PyExc_ValueError, "unknown packet column %R", name);
    return -1;
}

// The open failure of `path` as the exception a Python program expects: the
// OSError subclass of the system's errno, or ValueError for what is no capture.
PyObject* raise_open_failure(const Scanner& scanner) {
    Ref path(PyUnicode_DecodeFSDefault(scanner.error_path().c_str()));
    if (!path) return nullptr;
    if (scanner.os_errno()) {
        Ref error(PyObject_CallFunction(PyExc_OSError, "isO", scanner.os_errno(), std::strerror(scanner.os_errno()),
                                        path.get()));
        if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
        return nullptr;
    }
    PyErr_Format(PyExc_ValueError, "%U: not a capture file (%s)", path.get(), scanner.error().c_str());
    return nullptr;
}

// The alert index of a record batch handed in as (schema, array) capsules with
// the columns time_us int64, protocol int16, src_ip/dst_ip utf8,
// src_port/dst_port/priority int32, gid/sid/rev uint32, msg utf8. nullptr with
// an exception set.
std::shared_ptr<labels::AlertIndex> alert_index(PyObject* capsules) {
    PyObject *schema_capsule, *array_capsule;
    if (!PyArg_ParseTuple(capsules, "OO", &schema_capsule, &array_capsule)) return nullptr;
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, "arrow_schema"));
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, "arrow_array"));
    if (!schema || !array) return nullptr;
    using columnar::ImportedColumn;
    ImportedColumn time, protocol, src, dst, src_port, dst_port, priority, gid, sid, rev, msg;
    const bool found = columnar::find_column(schema, array, "time_us", "l", time) &&
                       columnar::find_column(schema, array, "protocol", "s", protocol) &&
                       columnar::find_column(schema, array, "src_ip", "u", src) &&
                       columnar::find_column(schema, array, "dst_ip", "u", dst) &&
                       columnar::find_column(schema, array, "src_port", "i", src_port) &&
                       columnar::find_column(schema, array, "dst_port", "i", dst_port) &&
                       columnar::find_column(schema, array, "priority", "i", priority) &&
                       columnar::find_column(schema, array, "gid", "I", gid) &&
                       columnar::find_column(schema, array, "sid", "I", sid) &&
                       columnar::find_column(schema, array, "rev", "I", rev) &&
                       columnar::find_column(schema, array, "msg", "u", msg);
    if (!found || array->offset != 0) {
        PyErr_SetString(PyExc_ValueError, "the alert columns are not as the labeller takes them");
        return nullptr;
    }
    auto index = std::make_shared<labels::AlertIndex>();
    for (int64_t i = 0; i < array->length; ++i) {
        labels::Alert a{};
        bool usable = time.valid(i) && protocol.valid(i) && src.valid(i) && dst.valid(i);
        if (usable) {
            a.time_us = time.value<int64_t>(i);
            a.protocol = protocol.value<int16_t>(i);
            a.version = src.text(i).find(':') == std::string_view::npos ? 4 : 6;
            usable = labels::parse_address(src.text(i), a.version, a.src) &&
                     labels::parse_address(dst.text(i), a.version, a.dst);
        }
        if (!usable) {
            index->add_unusable();
            continue;
        }
        a.src_port = src_port.valid(i) ? src_port.value<int32_t>(i) : -1;
        a.dst_port = dst_port.valid(i) ? dst_port.value<int32_t>(i) : -1;
        a.priority = priority.valid(i) ? priority.value<int32_t>(i) : 256;
        a.order = static_cast<uint32_t>(i);
        a.gid = gid.valid(i) ? gid.value<uint32_t>(i) : 0;
        a.sid = sid.valid(i) ? sid.value<uint32_t>(i) : 0;
        a.rev = rev.valid(i) ? rev.value<uint32_t>(i) : 0;
        index->add(a, msg.valid(i) ? msg.text(i) : std::string_view());
    }
    index->build();
    return index;
}

// Scan(paths, table, columns, batch_size, reader, alerts): `paths` a list of str,
// `table` "packets" or "features", `columns` a sequence of packet column
// names, `reader` "auto" or "libpcap", `alerts` None (no labels), True (labels
// whose alerts come later through set_alerts), or the (schema, array) capsules
// of the alerts that label the rows.
PyObject* scan_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"paths", "table", "columns", "batch_size", "reader", "alerts", "shard",
                                   "_text_limit", nullptr};
    PyObject* paths;
    const char* table;
    PyObject* columns;
    Py_ssize_t batch_size;
    const char* reader = "auto";
    PyObject* alerts = Py_None;
    int shard = 0;
    Py_ssize_t text_limit = static_cast<Py_ssize_t>(columnar::kMaxTextBytes);
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!sOn|sOpn", const_cast<char**>(kwlist), &PyList_Type, &paths,
                                     &table, &columns, &batch_size, &reader, &alerts, &shard, &text_limit)) {
        return nullptr;
    }
    if (text_limit < 1 || static_cast<std::size_t>(text_limit) > columnar::kMaxTextBytes) {
        PyErr_SetString(PyExc_ValueError, "_text_limit must be from 1 to 2**31 - 1");
        return nullptr;
    }
    std::shared_ptr<labels::AlertIndex> index;
    const bool labelled = alerts != Py_None;
    if (labelled && alerts != Py_True) {
        try {
            if (!(index = alert_index(alerts))) return nullptr;
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
    }
    const bool features = std::strcmp(table, "features") == 0;
    if (!features && std::strcmp(table, "packets") != 0) {
        PyErr_Format(PyExc_ValueError, "unknown table %s", table);
        return nullptr;
    }
    capture::ReadWith how;
    if (std::strcmp(reader, "auto") == 0) {
        how = capture::ReadWith::automatic;
    } else if (std::strcmp(reader, "libpcap") == 0) {
        how = capture::ReadWith::libpcap;
    } else {
        PyErr_Format(PyExc_ValueError, "unknown reader %s", reader);
        return nullptr;
    }
    if (batch_size < 1) {
        PyErr_SetString(PyExc_ValueError, "batch_size must be at least 1");
        return nullptr;
    }
    std::vector<engine::Source> sources;
    // Each source: a path, or (path, first record's byte offset, where the shard
    // ends, whether the offset is only near a record).
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths); ++i) {
        PyObject* item = PyList_GET_ITEM(paths, i);
        PyObject* path = item;
        unsigned long long start = 0, limit = UINT64_MAX;
        int guess = 0;
        if (PyTuple_Check(item) && !PyArg_ParseTuple(item, "OKK|p", &path, &start, &limit, &guess)) return nullptr;
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(path, &encoded)) return nullptr;
        sources.push_back({PyBytes_AS_STRING(encoded), start, limit, guess != 0});
        Py_DECREF(encoded);
    }
    if (sources.empty()) {
        PyErr_SetString(PyExc_ValueError, "no capture to read");
        return nullptr;
    }
    std::vector<int> chosen;
    Ref names(PySequence_Fast(columns, "columns must be a sequence of column names"));
    if (!names) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names.get()); ++i) {
        PyObject* name = PySequence_Fast_GET_ITEM(names.get(), i);
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "a column name must be str, not %.200s", Py_TYPE(name)->tp_name);
            return nullptr;
        }
        const int c = packet_column(name);
        if (c < 0) return nullptr;
        chosen.push_back(c);
    }

    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* scan = as_scan(self.get());
    new (&scan->scanner) std::shared_ptr<Scanner>();
    try {
        scan->scanner = std::make_shared<Scanner>(std::move(sources), features, std::move(chosen),
                                                  static_cast<std::size_t>(batch_size), how, labelled, shard != 0,
                                                  static_cast<std::size_t>(text_limit));
        if (index) scan->scanner->set_alerts(std::move(index));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    // Opening reads each file's header, and standard input may say nothing for a long time.
    bool ready;
    std::shared_ptr<Scanner> scanner = scan->scanner;
    if (scanner->opens_a_stream()) {
        if (!run_interruptibly([scanner] { return scanner->prepare(); }, [scanner] { scanner->cancel(); }, ready)) {
            return nullptr;
        }
    } else {
        Py_BEGIN_ALLOW_THREADS
        ready = scanner->prepare();
        Py_END_ALLOW_THREADS
    }
    if (!ready) return raise_open_failure(*scan->scanner);
    return self.release();
}

void scan_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_scan(self)->scanner.~shared_ptr<Scanner>();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* scan_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    return stream_capsule(as_scan(self)->scanner, args, kwargs);
}

PyObject* scan_stats(PyObject* self, PyObject*) {
    engine::Stats s;
    Py_BEGIN_ALLOW_THREADS  // waits while another thread builds a batch
    s = as_scan(self)->scanner->stats();
    Py_END_ALLOW_THREADS
    using ull = unsigned long long;
    return Py_BuildValue("{sKsKsKsKsKsKsKsK}", "frames", ull{s.frames}, "rows", ull{s.rows}, "not_ip", ull{s.not_ip},
                         "unsupported_link", ull{s.unsupported_link}, "cut", ull{s.cut}, "bytes_done",
                         ull{s.bytes_done}, "bytes_total", ull{s.bytes_total}, "files_done", ull{s.files_done});
}

PyObject* scan_damage(PyObject* self, PyObject*) {
    std::vector<engine::Damage> damage;
    Py_BEGIN_ALLOW_THREADS
    damage = as_scan(self)->scanner->damage();
    Py_END_ALLOW_THREADS
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (const auto& d : damage) {
        Ref path(PyUnicode_DecodeFSDefault(d.path.c_str()));
        if (!path) return nullptr;
        Ref item(Py_BuildValue("(OKs)", path.get(), static_cast<unsigned long long>(d.offset), d.text.c_str()));
        if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* scan_failure(PyObject* self, PyObject*) {
    std::string text;
    int err;
    Py_BEGIN_ALLOW_THREADS
    err = as_scan(self)->scanner->failure(text);
    Py_END_ALLOW_THREADS
    if (!err) Py_RETURN_NONE;
    return Py_BuildValue("(is)", err, text.c_str());
}

// set_alerts(capsules) gives a labelled scan its alerts; set_alerts(None, why)
// says they could not be read, which fails the scan.
PyObject* scan_set_alerts(PyObject* self, PyObject* args) {
    PyObject* capsules;
    const char* why = "";
    if (!PyArg_ParseTuple(args, "O|s", &capsules, &why)) return nullptr;
    std::shared_ptr<labels::AlertIndex> index;
    if (capsules != Py_None) {
        try {
            if (!(index = alert_index(capsules))) return nullptr;
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
    }
    const std::string reason(why);
    Py_BEGIN_ALLOW_THREADS  // waits while another thread reads a batch
    as_scan(self)->scanner->set_alerts(std::move(index), reason);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject* scan_unmatched_alerts(PyObject* self, PyObject*) {
    uint64_t n;
    Py_BEGIN_ALLOW_THREADS
    n = as_scan(self)->scanner->unmatched_alerts();
    Py_END_ALLOW_THREADS
    return PyLong_FromUnsignedLongLong(n);
}

PyObject* scan_matched_alerts(PyObject* self, PyObject*) {
    std::vector<uint8_t> matched;
    Py_BEGIN_ALLOW_THREADS
    matched = as_scan(self)->scanner->matched_alerts();
    Py_END_ALLOW_THREADS
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(matched.data()),
                                     static_cast<Py_ssize_t>(matched.size()));
}

// bounds() -> (where the first source's records began or None, where its reading ended or None).
PyObject* scan_bounds(PyObject* self, PyObject*) {
    std::pair<uint64_t, uint64_t> b;
    Py_BEGIN_ALLOW_THREADS
    b = as_scan(self)->scanner->bounds();
    Py_END_ALLOW_THREADS
    auto value = [](uint64_t v) { return v == UINT64_MAX ? Py_NewRef(Py_None) : PyLong_FromUnsignedLongLong(v); };
    Ref start(value(b.first)), end(value(b.second));
    if (!start || !end) return nullptr;
    return PyTuple_Pack(2, start.get(), end.get());
}

PyObject* scan_cancel(PyObject* self, PyObject*) {
    as_scan(self)->scanner->cancel();
    Py_RETURN_NONE;
}

PyObject* scan_summary(PyObject* self, PyObject*) {
    std::string summary;
    Py_BEGIN_ALLOW_THREADS
    summary = as_scan(self)->scanner->summary();
    Py_END_ALLOW_THREADS
    return PyBytes_FromStringAndSize(summary.data(), static_cast<Py_ssize_t>(summary.size()));
}

PyMethodDef scan_methods[] = {
    {"__arrow_c_stream__", as_cfunction(scan_arrow_c_stream), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("The batches as an Arrow C stream (a PyCapsule named 'arrow_array_stream').")},
    {"stats", scan_stats, METH_NOARGS,
     PyDoc_STR("Frames read, rows built, frames skipped by reason, bytes read and in all, files done.")},
    {"damage", scan_damage, METH_NOARGS,
     PyDoc_STR("The files that could not be read to their end: (path, byte offset, libpcap's text).")},
    {"bounds", scan_bounds, METH_NOARGS,
     PyDoc_STR("(where the first source's records began, where its reading ended); None where unknown.")},
    {"summary", scan_summary, METH_NOARGS,
     PyDoc_STR("A shard's destinations, packed, for CarryState.next().")},
    {"set_alerts", scan_set_alerts, METH_VARARGS,
     PyDoc_STR("set_alerts(capsules) gives a labelled scan its alerts; set_alerts(None, why) fails it.")},
    {"unmatched_alerts", scan_unmatched_alerts, METH_NOARGS,
     PyDoc_STR("How many of the alerts given have labelled no packet so far.")},
    {"matched_alerts", scan_matched_alerts, METH_NOARGS,
     PyDoc_STR("One byte per usable alert, in the labeller's order: 1 when it labelled a packet.")},
    {"failure", scan_failure, METH_NOARGS,
     PyDoc_STR("None, or (errno, text) of the failure that ended the scan.")},
    {"cancel", scan_cancel, METH_NOARGS,
     PyDoc_STR("Ends the batch being read, and every later one, with ECANCELED; any thread.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot scan_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scan_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scan_dealloc)},
    {Py_tp_methods, scan_methods},
    {Py_tp_doc, const_cast<char*>("A native scan of capture files into record batches.")},
    {0, nullptr},
};

PyType_Spec scan_spec = {"kavrel._engine.Scan", sizeof(Scan), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                         scan_slots};

// ---- alert logs ------------------------------------------------------------------

void schema_capsule_free(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema && schema->release) schema->release(schema);
    delete schema;
}

void array_capsule_free(PyObject* capsule) {
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (array && array->release) array->release(array);
    delete array;
}

PyObject* schema_capsule(const std::vector<columnar::Field>& fields) {
    auto* schema = new (std::nothrow) ArrowSchema;
    if (!schema || !columnar::export_schema(fields, schema)) {
        delete schema;
        return PyErr_NoMemory();
    }
    PyObject* capsule = PyCapsule_New(schema, "arrow_schema", schema_capsule_free);
    if (!capsule) {
        schema->release(schema);
        delete schema;
    }
    return capsule;
}

// Takes ownership of `batch`.
PyObject* array_capsule(ArrowArray batch) {
    auto* array = new (std::nothrow) ArrowArray(batch);
    if (!array) {
        batch.release(&batch);
        return PyErr_NoMemory();
    }
    PyObject* capsule = PyCapsule_New(array, "arrow_array", array_capsule_free);
    if (!capsule) {
        array->release(array);
        delete array;
    }
    return capsule;
}

// read_alert_log(path, year, rollover_month, date_order) ->
//     (schema capsule, [batch capsules], lines, lines skipped)
PyObject* read_alert_log(PyObject*, PyObject* args) {
    PyObject* path_obj;
    int year, rollover_month;
    const char* order_text;
    Py_ssize_t text_limit = static_cast<Py_ssize_t>(columnar::kMaxTextBytes);
    if (!PyArg_ParseTuple(args, "O&iis|n", PyUnicode_FSConverter, &path_obj, &year, &rollover_month, &order_text,
                          &text_limit))
        return nullptr;
    Ref path(path_obj);
    alerts::DateOrder order;
    if (std::strcmp(order_text, "auto") == 0) order = alerts::DateOrder::automatic;
    else if (std::strcmp(order_text, "mdy") == 0) order = alerts::DateOrder::mdy;
    else if (std::strcmp(order_text, "ymd") == 0) order = alerts::DateOrder::ymd;
    else {
        PyErr_Format(PyExc_ValueError, "date_order must be 'auto', 'mdy' or 'ymd', not %R",
                     PyTuple_GET_ITEM(args, 3));
        return nullptr;
    }
    const std::string name(PyBytes_AS_STRING(path.get()));
    alerts::AlertLog log;
    Py_BEGIN_ALLOW_THREADS
    log = alerts::read_alert_log(name, {year, rollover_month}, order,
                                 static_cast<std::size_t>(std::clamp<Py_ssize_t>(text_limit, 1, INT32_MAX)));
    Py_END_ALLOW_THREADS
    Ref batches(PyList_New(0));
    bool failed = !batches;
    for (ArrowArray& batch : log.batches) {
        if (failed) {
            batch.release(&batch);
            continue;
        }
        Ref capsule(array_capsule(batch));
        if (!capsule || PyList_Append(batches.get(), capsule.get()) < 0) failed = true;
    }
    if (failed) return nullptr;
    if (log.os_errno) {
        Ref filename(PyUnicode_DecodeFSDefault(name.c_str()));
        errno = log.os_errno;
        return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
    }
    Ref schema(schema_capsule(std::vector<columnar::Field>(std::begin(alerts::kAlertFields),
                                                           std::end(alerts::kAlertFields))));
    if (!schema) return nullptr;
    return Py_BuildValue("(OOKKK)", schema.get(), batches.get(), static_cast<unsigned long long>(log.lines),
                         static_cast<unsigned long long>(log.skipped), static_cast<unsigned long long>(log.invalid_utf8));
}

// fast_alert_groups(line) -> the eight texts of a fast-alert line ("" for a part
// it lacks) in a dict, or None; the line holds no line feed.
PyObject* fast_alert_groups(PyObject*, PyObject* arg) {
    if (!PyUnicode_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "line must be str, not %.200s", Py_TYPE(arg)->tp_name);
        return nullptr;
    }
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(arg, &size);
    if (!utf8) return nullptr;
    if (std::memchr(utf8, '\n', static_cast<std::size_t>(size))) {
        PyErr_SetString(PyExc_ValueError, "the line holds a line feed");
        return nullptr;
    }
    alerts::Line line;
    alerts::decode_line(reinterpret_cast<const uint8_t*>(utf8), static_cast<std::size_t>(size), line);
    alerts::FastAlert a;
    alerts::FastAlertMatcher<char32_t> matcher;
    if (!matcher.match(line.chars.data(), line.size(), a)) Py_RETURN_NONE;
    Ref out(PyDict_New());
    if (!out) return nullptr;
    const std::pair<const char*, const alerts::Span*> groups[] = {
        {"ts", &a.ts}, {"sid", &a.sid}, {"msg", &a.msg}, {"class", &a.cls},
        {"pri", &a.pri}, {"proto", &a.proto}, {"src", &a.src}, {"dst", &a.dst},
    };
    for (const auto& [name, span] : groups) {
        const uint32_t b = span->present ? line.starts[span->begin] : 0;
        const uint32_t e = span->present ? line.starts[span->end] : 0;
        Ref text(PyUnicode_DecodeUTF8(line.utf8.data() + b, e - b, "strict"));
        if (!text || PyDict_SetItemString(out.get(), name, text.get()) < 0) return nullptr;
    }
    return out.release();
}

// first_time_ns(path) -> the capture time of the first frame (ns since the epoch), or None.
PyObject* first_time_ns(PyObject*, PyObject* arg) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(arg, &encoded)) return nullptr;
    Ref path(encoded);
    const std::string name(PyBytes_AS_STRING(encoded));
    capture::CaptureFile file;
    capture::Frame frame;
    bool opened, got = false;
    Py_BEGIN_ALLOW_THREADS
    opened = file.open(name);
    if (opened) got = file.next(frame) == capture::ReadStatus::frame;
    Py_END_ALLOW_THREADS
    if (!opened) {
        Ref filename(PyUnicode_DecodeFSDefault(name.c_str()));
        if (file.os_errno()) {
            errno = file.os_errno();
            return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
        }
        return PyErr_Format(PyExc_ValueError, "%U: not a capture file (%s)", filename.get(), file.error());
    }
    if (!got) Py_RETURN_NONE;
    return PyLong_FromLongLong(frame.time_ns());
}


// ---- shards -----------------------------------------------------------------------

struct Carry {
    PyObject_HEAD
    engine::CarryState state;
};

Carry* as_carry(PyObject* self) { return reinterpret_cast<Carry*>(self); }

// CarryState(state=b""): the chains after the shards so far.
PyObject* carry_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"state", nullptr};
    Py_buffer state{};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|y*", const_cast<char**>(kwlist), &state)) return nullptr;
    Ref self(type->tp_alloc(type, 0));
    if (!self) {
        PyBuffer_Release(&state);
        return nullptr;
    }
    new (&as_carry(self.get())->state) engine::CarryState();
    const bool ok = !state.buf || as_carry(self.get())->state.load(static_cast<const char*>(state.buf),
                                                                    static_cast<std::size_t>(state.len));
    PyBuffer_Release(&state);
    if (!ok) {
        PyErr_SetString(PyExc_ValueError, "not a carry state");
        return nullptr;
    }
    return self.release();
}

void carry_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_carry(self)->state.~CarryState();
    type->tp_free(self);
    Py_DECREF(type);
}

// next(summary) -> the carry of each destination of the shard (uint32, native order).
PyObject* carry_next(PyObject* self, PyObject* arg) {
    Py_buffer summary;
    if (PyObject_GetBuffer(arg, &summary, PyBUF_SIMPLE) < 0) return nullptr;
    std::vector<uint32_t> carry;
    bool ok;
    Py_BEGIN_ALLOW_THREADS
    ok = as_carry(self)->state.next(static_cast<const char*>(summary.buf), static_cast<std::size_t>(summary.len),
                                    carry);
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&summary);
    if (!ok) {
        PyErr_SetString(PyExc_ValueError, "not a shard summary");
        return nullptr;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(carry.data()),
                                     static_cast<Py_ssize_t>(carry.size() * sizeof(uint32_t)));
}

PyObject* carry_serialize(PyObject* self, PyObject*) {
    const std::string out = as_carry(self)->state.serialize();
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

PyObject* carry_len(PyObject* self, PyObject*) { return PyLong_FromSize_t(as_carry(self)->state.size()); }

PyMethodDef carry_methods[] = {
    {"next", carry_next, METH_O, PyDoc_STR("next(summary) -> the shard's carries, uint32 per destination id.")},
    {"serialize", carry_serialize, METH_NOARGS, PyDoc_STR("The state as bytes, for CarryState(state).")},
    {"destinations", carry_len, METH_NOARGS, PyDoc_STR("How many destinations the state holds.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot carry_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(carry_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(carry_dealloc)},
    {Py_tp_methods, carry_methods},
    {Py_tp_doc, const_cast<char*>("The count chains after the shards of a capture read so far.")},
    {0, nullptr},
};

PyType_Spec carry_spec = {"kavrel._engine.CarryState", sizeof(Carry), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, carry_slots};

// mended_counts(batch, carry) -> (schema, array) capsules of a one-column batch:
// the `count` of a features shard's batch (with its mending columns) with the
// carries (uint32 per destination id) added to each destination's first chain.
PyObject* mended_counts(PyObject*, PyObject* args) {
    PyObject* batch_obj;
    Py_buffer carry;
    if (!PyArg_ParseTuple(args, "Oy*", &batch_obj, &carry)) return nullptr;
    Ref capsules(PyObject_CallMethod(batch_obj, "__arrow_c_array__", nullptr));
    if (!capsules || !PyTuple_Check(capsules.get()) || PyTuple_GET_SIZE(capsules.get()) != 2) {
        PyBuffer_Release(&carry);
        return nullptr;
    }
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(capsules.get(), 0), "arrow_schema"));
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GET_ITEM(capsules.get(), 1), "arrow_array"));
    columnar::ImportedColumn count, mend;
    if (!schema || !array || !columnar::find_column(schema, array, "count", "I", count) ||
        !columnar::find_column(schema, array, "__mend", "I", mend)) {
        PyBuffer_Release(&carry);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "not a features shard's batch");
        return nullptr;
    }
    const auto* carries = static_cast<const uint32_t*>(carry.buf);
    const std::size_t n = static_cast<std::size_t>(carry.len) / sizeof(uint32_t);
    std::vector<columnar::Column> out;
    out.emplace_back(engine::kFeatureFields[engine::kFeatCount]);
    bool ok = out[0].start(static_cast<std::size_t>(array->length));
    for (int64_t i = 0; ok && i < array->length; ++i) {
        uint32_t c = count.value<uint32_t>(i);
        const uint32_t id = mend.value<uint32_t>(i);  // kNotFirstChain is past every carry
        if (id < n) c += carries[id];
        out[0].push<uint32_t>(c);
    }
    PyBuffer_Release(&carry);
    ArrowArray result;
    if (!ok || !columnar::export_batch(out, &result)) return PyErr_NoMemory();
    Ref result_schema(schema_capsule(std::vector<columnar::Field>{engine::kFeatureFields[engine::kFeatCount]}));
    if (!result_schema) {
        result.release(&result);
        return nullptr;
    }
    Ref result_array(array_capsule(result));
    if (!result_array) return nullptr;
    return PyTuple_Pack(2, result_schema.get(), result_array.get());
}

// A tuple of the names of `fields`.
PyObject* names_of(const columnar::Field* fields, int n) {
    Ref out(PyTuple_New(n));
    if (!out) return nullptr;
    for (int i = 0; i < n; ++i) {
        PyObject* name = PyUnicode_FromString(fields[i].name);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(out.get(), i, name);
    }
    return out.release();
}

PyMethodDef module_methods[] = {
    {"mended_counts", mended_counts, METH_VARARGS,
     PyDoc_STR("mended_counts(batch, carry) -> capsules of the batch's count with the carries added.")},
    {"fast_alert_groups", fast_alert_groups, METH_O,
     PyDoc_STR("fast_alert_groups(line) -> dict of the eight texts of a fast-alert line, or None.")},
    {"first_time_ns", first_time_ns, METH_O,
     PyDoc_STR("first_time_ns(path) -> the capture time of the first frame in ns, or None when it has none.")},
    {"read_alert_log", read_alert_log, METH_VARARGS,
     PyDoc_STR("read_alert_log(path, year, rollover_month, date_order) -> (schema, batches, lines, skipped, "
               "invalid_utf8)\n\n"
               "The alerts table of a fast-alert log, `timestamp` as wall-clock microseconds.")},
    {nullptr, nullptr, 0, nullptr},
};

// ---- live capture ----------------------------------------------------------------

using engine::LiveScanner;
using engine::LiveStatus;

struct LiveScan {
    PyObject_HEAD
    std::shared_ptr<LiveScanner> scanner;
};

LiveScan* as_live(PyObject* self) { return reinterpret_cast<LiveScan*>(self); }

// The open failure of a device as the exception a Python program expects.
PyObject* raise_live_open_failure(const LiveScanner& scanner, PyObject* filter) {
    const char* text = scanner.error().c_str();
    int err;
    switch (scanner.open_status()) {
    case LiveScanner::kBadFilter:
        PyErr_Format(PyExc_ValueError, "bad capture filter %R: %s", filter, text);
        return nullptr;
    case PCAP_ERROR_NO_SUCH_DEVICE: err = ENODEV; break;
    case PCAP_ERROR_PERM_DENIED:
    case PCAP_ERROR_PROMISC_PERM_DENIED: err = EPERM; break;
    case PCAP_ERROR_IFACE_NOT_UP: err = ENETDOWN; break;
    default: PyErr_SetString(PyExc_OSError, text); return nullptr;
    }
    Ref error(PyObject_CallFunction(PyExc_OSError, "is", err, text));  // PermissionError for EPERM
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

// LiveScan(device, table, columns, filter, snaplen, promisc, buffer_bytes,
// immediate, batch_rows, batch_seconds): the device opened, the filter set.
PyObject* live_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"device", "table", "columns", "filter", "snaplen", "promisc", "buffer_bytes",
                                   "immediate", "batch_rows", "batch_seconds", nullptr};
    PyObject* device;
    const char* table;
    PyObject* columns;
    PyObject* filter;
    int snaplen, promisc, buffer_bytes, immediate;
    Py_ssize_t batch_rows;
    double batch_seconds;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&sOOipipnd", const_cast<char**>(kwlist), PyUnicode_FSConverter,
                                     &device, &table, &columns, &filter, &snaplen, &promisc, &buffer_bytes,
                                     &immediate, &batch_rows, &batch_seconds)) {
        return nullptr;
    }
    Ref device_bytes(device);
    engine::LiveSettings settings;
    settings.device = PyBytes_AS_STRING(device);
    settings.features = std::strcmp(table, "features") == 0;
    if (!settings.features && std::strcmp(table, "packets") != 0) {
        PyErr_Format(PyExc_ValueError, "unknown table %s", table);
        return nullptr;
    }
    if (filter != Py_None) {
        Py_ssize_t size;
        const char* text = PyUnicode_Check(filter) ? PyUnicode_AsUTF8AndSize(filter, &size) : nullptr;
        if (!text) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "filter must be str or None");
            return nullptr;
        }
        if (std::strlen(text) != static_cast<std::size_t>(size)) {
            PyErr_SetString(PyExc_ValueError, "the filter holds a NUL character");
            return nullptr;
        }
        settings.filter.assign(text, static_cast<std::size_t>(size));
    }
    if (snaplen < 1 || buffer_bytes < 0 || batch_rows < 1 || !(batch_seconds > 0) || batch_seconds > 1e9) {
        PyErr_SetString(PyExc_ValueError, "snaplen, batch_rows and batch_seconds must be positive");
        return nullptr;
    }
    settings.snaplen = snaplen;
    settings.promiscuous = promisc != 0;
    settings.buffer_bytes = buffer_bytes;
    settings.immediate = immediate != 0;
    settings.batch_rows = static_cast<std::size_t>(batch_rows);
    settings.batch_ns = static_cast<int64_t>(batch_seconds * 1e9);
    if (settings.batch_ns < 1) settings.batch_ns = 1;
    Ref names(PySequence_Fast(columns, "columns must be a sequence of column names"));
    if (!names) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names.get()); ++i) {
        PyObject* name = PySequence_Fast_GET_ITEM(names.get(), i);
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "a column name must be str, not %.200s", Py_TYPE(name)->tp_name);
            return nullptr;
        }
        const int c = packet_column(name);
        if (c < 0) return nullptr;
        settings.packet_columns.push_back(c);
    }

    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* live = as_live(self.get());
    new (&live->scanner) std::shared_ptr<LiveScanner>();
    try {
        live->scanner = std::make_shared<LiveScanner>(std::move(settings));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    // A large filter takes a while to compile; Ctrl-C does not wait for it (the
    // device is closed once it is done).
    bool opened;
    std::shared_ptr<LiveScanner> scanner = live->scanner;
    if (!run_interruptibly([scanner] { return scanner->open(); }, [scanner] { scanner->stop(); }, opened)) {
        return nullptr;
    }
    if (!opened) return raise_live_open_failure(*live->scanner, filter);
    return self.release();
}

void live_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    {
        // The last owner closes the device; a stream handed out may outlive this object.
        std::shared_ptr<LiveScanner> scanner = std::move(as_live(self)->scanner);
        Py_BEGIN_ALLOW_THREADS
        scanner.reset();
        Py_END_ALLOW_THREADS
    }
    as_live(self)->scanner.~shared_ptr<LiveScanner>();
    type->tp_free(self);
    Py_DECREF(type);
}

// next_batch() -> None when the capture has ended, else (batch capsule,
// exception or None): an exception raised by a signal handler while the batch
// was read comes with the rows read before it, to be raised next. A device that
// failed raises OSError once its rows are out.
PyObject* live_next_batch(PyObject* self, PyObject*) {
    std::shared_ptr<LiveScanner> scanner = as_live(self)->scanner;
    ArrowArray batch;
    LiveStatus status;
    // The batch is read without the interpreter lock; it is taken back only to
    // run pending signal handlers, which may raise.
    PyThreadState* saved = PyEval_SaveThread();
    status = scanner->next_batch(&batch, [&saved] {
        PyEval_RestoreThread(saved);
        const bool go_on = PyErr_CheckSignals() == 0;
        saved = PyEval_SaveThread();
        return go_on;
    });
    PyEval_RestoreThread(saved);
    Ref raised;
    if (status == LiveStatus::interrupted) raised.reset(PyErr_GetRaisedException());
    if (!batch.release) {
        if (raised) {
            PyErr_SetRaisedException(raised.release());
            return nullptr;
        }
        if (status == LiveStatus::failed) {
            PyErr_SetString(PyExc_OSError, scanner->error().c_str());
            return nullptr;
        }
        if (status == LiveStatus::interrupted) return nullptr;  // keep_going() said no without raising: cannot be
        Py_RETURN_NONE;
    }
    Ref capsule(array_capsule(batch));
    if (!capsule) return nullptr;
    return PyTuple_Pack(2, capsule.get(), raised ? raised.get() : Py_None);
}

PyObject* live_arrow_c_schema(PyObject* self, PyObject*) { return schema_capsule(as_live(self)->scanner->fields()); }

PyObject* live_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    return stream_capsule(as_live(self)->scanner, args, kwargs);
}

PyObject* live_stats(PyObject* self, PyObject*) {
    const engine::LiveStats s = as_live(self)->scanner->stats();
    using ull = unsigned long long;
    return Py_BuildValue("{sKsKsKsKsK}", "received", ull{s.received}, "dropped", ull{s.dropped}, "if_dropped",
                         ull{s.if_dropped}, "frames", ull{s.frames}, "rows", ull{s.rows});
}

PyObject* live_close(PyObject* self, PyObject*) {
    std::shared_ptr<LiveScanner> scanner = as_live(self)->scanner;
    Py_BEGIN_ALLOW_THREADS  // waits for a batch being read elsewhere to give up
    scanner->close();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject* live_linktype(PyObject* self, void*) { return PyLong_FromLong(as_live(self)->scanner->linktype()); }

PyObject* live_nanoseconds(PyObject* self, void*) { return PyBool_FromLong(as_live(self)->scanner->nanoseconds()); }

PyMethodDef live_methods[] = {
    {"next_batch", live_next_batch, METH_NOARGS,
     PyDoc_STR("next_batch() -> None at the end, else (batch capsule, exception to raise next or None).")},
    {"__arrow_c_schema__", live_arrow_c_schema, METH_NOARGS, PyDoc_STR("The batches' schema as a PyCapsule.")},
    {"__arrow_c_stream__", as_cfunction(live_arrow_c_stream), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("The batches as an Arrow C stream, pulled without the interpreter.")},
    {"stats", live_stats, METH_NOARGS,
     PyDoc_STR("pcap_stats as last read (received, dropped, if_dropped) with the frames read and rows built.")},
    {"close", live_close, METH_NOARGS, PyDoc_STR("Stops the capture and closes the device.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef live_getset[] = {
    {"linktype", live_linktype, nullptr, PyDoc_STR("The device's link type (DLT_*)."), nullptr},
    {"nanoseconds", live_nanoseconds, nullptr, PyDoc_STR("Whether the device stamps frames in nanoseconds."),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot live_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(live_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(live_dealloc)},
    {Py_tp_methods, live_methods},
    {Py_tp_getset, live_getset},
    {Py_tp_doc, const_cast<char*>("A live capture from one device into record batches.")},
    {0, nullptr},
};

PyType_Spec live_spec = {"kavrel._engine.LiveScan", sizeof(LiveScan), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, live_slots};

// _count_destinations(version, destinations, times, mode) -> (counts, final
// size, peak size, peak capacity): the destination table fed packets to
// `destinations` (4 or 16 bytes each, by version) at `times` (float64), counted
// as a file is (mode 0), as a live capture is (1), or as a live capture swept
// after every packet (2). `counts` holds the uint32 counts.
PyObject* count_destinations(PyObject*, PyObject* args) {
    int version, mode;
    Py_buffer dst, times;
    if (!PyArg_ParseTuple(args, "iy*y*i", &version, &dst, &times, &mode)) return nullptr;
    struct Release {
        Py_buffer& a;
        Py_buffer& b;
        ~Release() {
            PyBuffer_Release(&a);
            PyBuffer_Release(&b);
        }
    } release{dst, times};
    const Py_ssize_t width = version == 6 ? 16 : 4;
    const Py_ssize_t n = times.len / 8;
    if ((version != 4 && version != 6) || mode < 0 || mode > 2 || times.len % 8 || dst.len != n * width) {
        PyErr_SetString(PyExc_ValueError, "destinations and times do not match");
        return nullptr;
    }
    Ref counts(PyBytes_FromStringAndSize(nullptr, n * 4));
    if (!counts) return nullptr;
    auto* out = reinterpret_cast<uint32_t*>(PyBytes_AS_STRING(counts.get()));
    const auto* d = static_cast<const uint8_t*>(dst.buf);
    const auto* t = static_cast<const char*>(times.buf);
    std::size_t peak = 0, peak_capacity = 0, size;
    bool failed = false;
    Py_BEGIN_ALLOW_THREADS
    features::DestinationTable table;
    for (Py_ssize_t i = 0; i < n && !failed; ++i) {
        double now;
        std::memcpy(&now, t + 8 * i, 8);
        const uint8_t* key = d + width * i;
        out[i] = mode == 0 ? table.count(version, key, now) : table.count_live(version, key, now);
        if (mode == 2) table.evict_idle();
        failed = out[i] == 0;
        peak = std::max(peak, table.size());
        peak_capacity = std::max(peak_capacity, table.capacity());
    }
    size = table.size();
    Py_END_ALLOW_THREADS
    if (failed) return PyErr_NoMemory();
    return Py_BuildValue("(Onnn)", counts.get(), static_cast<Py_ssize_t>(size), static_cast<Py_ssize_t>(peak),
                         static_cast<Py_ssize_t>(peak_capacity));
}

PyMethodDef live_module_methods[] = {
    {"_count_destinations", count_destinations, METH_VARARGS,
     PyDoc_STR("_count_destinations(version, destinations, times, mode) -> (counts, size, peak size, peak capacity)")},
    {nullptr, nullptr, 0, nullptr},
};

int exec_live(PyObject* module) {
    Ref type(PyType_FromModuleAndSpec(module, &live_spec, nullptr));
    if (!type || PyModule_AddObjectRef(module, "LiveScan", type.get()) < 0) return -1;
    return PyModule_AddFunctions(module, live_module_methods);
}

int exec_module(PyObject* module) {
    State* st = state_of<State>(module);
    if (exec_live(module) < 0) return -1;
    if (!(st->scan_type = PyType_FromModuleAndSpec(module, &scan_spec, nullptr))) return -1;
    if (PyModule_AddObjectRef(module, "Scan", st->scan_type) < 0) return -1;
    if (!(st->carry_type = PyType_FromModuleAndSpec(module, &carry_spec, nullptr))) return -1;
    if (PyModule_AddObjectRef(module, "CarryState", st->carry_type) < 0) return -1;
    Ref packets(names_of(engine::kPacketFields, engine::kPacketColumnCount));
    Ref features(names_of(engine::kFeatureFields, engine::kFeatureColumnCount));
    if (!packets || !features) return -1;
    if (PyModule_AddObjectRef(module, "PACKET_COLUMNS", packets.get()) < 0) return -1;
    if (PyModule_AddObjectRef(module, "FEATURE_COLUMNS", features.get()) < 0) return -1;
    // The values of every dictionary column, in index order: a frame's categories.
    Ref dictionaries(PyDict_New());
    if (!dictionaries) return -1;
    for (const columnar::Field& f : engine::kFeatureFields) {
        if (f.type != columnar::Type::dictionary_utf8) continue;
        Ref values(PyTuple_New(f.dictionary_size));
        if (!values) return -1;
        for (int i = 0; i < f.dictionary_size; ++i) {
            PyObject* v = PyUnicode_FromString(f.dictionary[i]);
            if (!v) return -1;
            PyTuple_SET_ITEM(values.get(), i, v);
        }
        if (PyDict_SetItemString(dictionaries.get(), f.name, values.get()) < 0) return -1;
    }
    return PyModule_AddObjectRef(module, "DICTIONARIES", dictionaries.get());
}

}  // namespace
}  // namespace kavrel

PyMODINIT_FUNC PyInit__engine(void) {
    using namespace kavrel;
    return PyModuleDef_Init(module_definition<State, exec_module>(
        "_engine", "The dataset engine's native batch producer.", module_methods));
}
