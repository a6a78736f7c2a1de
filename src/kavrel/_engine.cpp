// kavrel._engine: the dataset engine for Python. Scans read captures natively
// and hand record batches over through the Arrow C stream interface
// (__arrow_c_stream__); no Python object is made per packet. Laid out as the
// module reads: its state, its types (Scan, ShardRows, CarryState, LiveScan),
// its functions, one method table, and its initialisation.
#include "alerts/alert_reader.hpp"
#include "capture/capture_file.hpp"
#include "columnar/arena.hpp"
#include "columnar/arrow_c.hpp"
#include "columnar/arrow_import.hpp"
#include "columnar/columns.hpp"
#include "engine/connection_scanner.hpp"
#include "engine/connection_shards.hpp"
#include "engine/live_scanner.hpp"
#include "engine/scanner.hpp"
#include "engine/shard_rows.hpp"
#include "engine/tables.hpp"
#include "labels/alert_index.hpp"
#include "py/args.hpp"
#include "py/arrow.hpp"
#include "py/errors.hpp"
#include "py/interruptible.hpp"
#include "py/module.hpp"
#include "py/ref.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace kavrel {
namespace {

using engine::LiveScanner;
using engine::LiveStatus;
using engine::Scanner;
using engine::ShardRows;

// ---- state --------------------------------------------------------------------------

struct State {
    PyObject* shard_rows_type;   // what Scan.take_shard() makes
    PyObject* memory_file_type;  // what Scan(shared=...) takes

    template <class F>
    int for_each_ref(F&& f) {
        if (int rc = f(shard_rows_type)) return rc;
        return f(memory_file_type);
    }
};

State* state_of_type(PyTypeObject* type) { return state_of<State>(PyType_GetModule(type)); }

// ---- what every entry shares ----------------------------------------------------------

// The columns of `fields` named by `names` (a sequence of str), as column
// numbers; false with TypeError or ValueError set.
template <std::size_t N>
bool parse_columns(PyObject* names, std::vector<int>& out, const columnar::Field (&fields)[N], const char* table) {
    Ref seq(PySequence_Fast(names, "columns must be a sequence of column names"));
    if (!seq) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* name = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "a column name must be str, not %.200s", Py_TYPE(name)->tp_name);
            return false;
        }
        int found = -1;
        for (std::size_t c = 0; c < N && found < 0; ++c) {
            if (PyUnicode_EqualToUTF8(name, fields[c].name)) found = static_cast<int>(c);
        }
        if (found < 0) {
            PyErr_Format(PyExc_ValueError, "unknown %s column %R", table, name);
            return false;
        }
        out.push_back(found);
    }
    return true;
}

bool parse_columns(PyObject* names, std::vector<int>& out) {
    return parse_columns(names, out, engine::kPacketFields, "packet");
}

// "packets" or "features"; false with ValueError set.
bool parse_table(const char* table, bool& features) {
    features = std::strcmp(table, "features") == 0;
    if (features || std::strcmp(table, "packets") == 0) return true;
    PyErr_Format(PyExc_ValueError, "unknown table %s", table);
    return false;
}

// What a capture that could not be opened is to a Python program: the OSError
// subclass of the system's errno, naming the file; or ValueError for a file that
// is no capture, with the file (`filename`) and libpcap's words (`libpcap_text`).
PyObject* raise_open_failure(const std::string& path_bytes, int os_errno, const std::string& text) {
    Ref path(PyUnicode_DecodeFSDefault(path_bytes.c_str()));
    if (!path) return nullptr;
    if (os_errno) return raise_os_error(os_errno, std::strerror(os_errno), path.get());
    Ref said(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!said) return nullptr;
    Ref message(PyUnicode_FromFormat("%U: not a capture file (%U)", path.get(), said.get()));
    if (!message) return nullptr;
    Ref error(PyObject_CallOneArg(PyExc_ValueError, message.get()));
    if (!error || PyObject_SetAttrString(error.get(), "filename", path.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "libpcap_text", said.get()) < 0) {
        return nullptr;
    }
    PyErr_SetObject(PyExc_ValueError, error.get());
    return nullptr;
}

// The alert index of a record batch handed in as (schema, array) capsules with
// the columns time_us int64, protocol int16, src_ip/dst_ip utf8,
// src_port/dst_port/priority int32, gid/sid/rev uint32, msg utf8. nullptr with
// an exception set.
std::shared_ptr<labels::AlertIndex> alert_index(PyObject* capsules, bool by_pair) {
    ArrowSchema* schema;
    ArrowArray* array;
    if (!batch_capsules(capsules, schema, array)) return nullptr;
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
        a.priority = priority.valid(i) ? priority.value<int32_t>(i) : labels::kNoPriority;
        a.order = static_cast<uint32_t>(i);
        a.gid = gid.valid(i) ? gid.value<uint32_t>(i) : 0;
        a.sid = sid.valid(i) ? sid.value<uint32_t>(i) : 0;
        a.rev = rev.valid(i) ? rev.value<uint32_t>(i) : 0;
        index->add(a, msg.valid(i) ? msg.text(i) : std::string_view());
    }
    index->build(by_pair);
    return index;
}

// The usable alerts of (schema, array) capsules (None: none); false with an
// exception set. `by_pair`: indexed for labelling connections.
bool alerts_of(PyObject* capsules, std::shared_ptr<labels::AlertIndex>& out, bool by_pair = false) {
    if (capsules == Py_None) return true;
    try {
        out = alert_index(capsules, by_pair);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return out != nullptr;
}

// Opens every source of a new scan: each file's header is read, and standard input
// or a pipe may say nothing for a long time, which Ctrl-C need not wait for. False
// with the exception of what could not be opened set.
template <class S>
bool prepare_scanner(const std::shared_ptr<S>& scanner) {
    bool ready;
    if (scanner->opens_a_stream()) {
        if (!run_interruptibly([scanner] { return scanner->prepare(); }, [scanner] { scanner->cancel(); }, ready)) {
            return false;
        }
    } else {
        Py_BEGIN_ALLOW_THREADS
        ready = scanner->prepare();
        Py_END_ALLOW_THREADS
    }
    if (!ready) raise_open_failure(scanner->error_path(), scanner->os_errno(), scanner->error());
    return ready;
}

// "auto" or "libpcap"; false with ValueError set.
bool parse_reader(const char* reader, capture::ReadWith& how) {
    if (std::strcmp(reader, "auto") == 0) {
        how = capture::ReadWith::automatic;
    } else if (std::strcmp(reader, "libpcap") == 0) {
        how = capture::ReadWith::libpcap;
    } else {
        PyErr_Format(PyExc_ValueError, "unknown reader %s", reader);
        return false;
    }
    return true;
}

// ---- MemoryFile ---------------------------------------------------------------------

// A worker's memory file, kept from shard to shard: once the process it was lent
// to gives it back, the next shard is built over the pages already there, which
// costs far less than faulting in a new file's.
struct MemoryFile {
    PyObject_HEAD
    std::shared_ptr<columnar::SharedArena> arena;
};

MemoryFile* as_memory(PyObject* self) { return reinterpret_cast<MemoryFile*>(self); }

PyObject* memory_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "", const_cast<char**>(kwlist))) return nullptr;
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&as_memory(self.get())->arena) std::shared_ptr<columnar::SharedArena>(columnar::SharedArena::create());
    if (!as_memory(self.get())->arena) return PyErr_SetFromErrno(PyExc_OSError);
    return self.release();
}

void memory_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_memory(self)->arena.~shared_ptr<columnar::SharedArena>();
    type->tp_free(self);
    Py_DECREF(type);
}

// reset(): the file is free to be written over (it was given back).
PyObject* memory_reset(PyObject* self, PyObject*) {
    auto& arena = as_memory(self)->arena;
    if (arena.use_count() > 1) {
        PyErr_SetString(PyExc_ValueError, "rows built in this memory file are still held here");
        return nullptr;
    }
    arena->reset();
    Py_RETURN_NONE;
}

PyObject* memory_capacity(PyObject* self, PyObject*) {
    return PyLong_FromSize_t(as_memory(self)->arena->high_water());
}

PyMethodDef memory_methods[] = {
    {"reset", memory_reset, METH_NOARGS, PyDoc_STR("Frees the whole file for the next shard's rows.")},
    {"capacity", memory_capacity, METH_NOARGS, PyDoc_STR("The most bytes the file has held: about its memory.")},
    {nullptr, nullptr, 0, nullptr},
};

TypeSlots memory_slots(memory_new, memory_dealloc, memory_methods,
                       "An anonymous memory file that shards' rows are built in, kept from shard to shard.");
PyType_Spec memory_spec = memory_slots.spec("kavrel._engine.MemoryFile", sizeof(MemoryFile));

// ---- Scan ---------------------------------------------------------------------------

struct Scan {
    PyObject_HEAD
    std::shared_ptr<Scanner> scanner;
    std::shared_ptr<columnar::SharedArena> arena;  // a shard built for another process
};

Scan* as_scan(PyObject* self) { return reinterpret_cast<Scan*>(self); }

// The sources of `paths`: each a path, or (path, first record's byte offset, where
// the shard ends, whether the offset is only near a record).
bool parse_sources(PyObject* paths, std::vector<engine::Source>& out) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(paths); ++i) {
        PyObject* item = PyList_GET_ITEM(paths, i);
        PyObject* path = item;
        unsigned long long start = 0, limit = UINT64_MAX;
        int guess = 0;
        if (PyTuple_Check(item) && !PyArg_ParseTuple(item, "OKK|p", &path, &start, &limit, &guess)) return false;
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(path, &encoded)) return false;
        out.push_back({PyBytes_AS_STRING(encoded), start, limit, guess != 0});
        Py_DECREF(encoded);
    }
    if (out.empty()) {
        PyErr_SetString(PyExc_ValueError, "no capture to read");
        return false;
    }
    return true;
}

// Scan(paths, table, columns, batch_size, reader="auto", alerts=None, shard=False,
// shared=None, _text_limit=2**31-1): `table` "packets" or "features"; `columns`
// packet column names; `reader` "auto" or "libpcap"; `alerts` None (no labels),
// True (labels whose alerts come later through set_alerts), or the (schema,
// array) capsules of the alerts. `shard`: a features shard, read whole with
// take_shard(); `shared`: its rows built in a MemoryFile (reset), for another
// process to map.
PyObject* scan_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"paths", "table", "columns", "batch_size", "reader", "alerts", "shard",
                                   "shared", "_text_limit", nullptr};
    PyObject* paths;
    const char* table;
    PyObject* columns;
    Py_ssize_t batch_size;
    const char* reader = "auto";
    PyObject* alerts = Py_None;
    int shard = 0;
    PyObject* shared = Py_None;
    Py_ssize_t text_limit = static_cast<Py_ssize_t>(columnar::kMaxTextBytes);
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!sOn|sOpOn", const_cast<char**>(kwlist), &PyList_Type, &paths,
                                     &table, &columns, &batch_size, &reader, &alerts, &shard, &shared,
                                     &text_limit)) {
        return nullptr;
    }
    auto* memory_type = reinterpret_cast<PyTypeObject*>(state_of_type(type)->memory_file_type);
    if (shared != Py_None && !PyObject_TypeCheck(shared, memory_type)) {
        PyErr_SetString(PyExc_TypeError, "shared must be a MemoryFile or None");
        return nullptr;
    }
    if (text_limit < 1 || static_cast<std::size_t>(text_limit) > columnar::kMaxTextBytes) {
        PyErr_SetString(PyExc_ValueError, "_text_limit must be from 1 to 2**31 - 1");
        return nullptr;
    }
    bool features;
    if (!parse_table(table, features)) return nullptr;
    capture::ReadWith how;
    if (!parse_reader(reader, how)) return nullptr;
    if (batch_size < 1) {
        PyErr_SetString(PyExc_ValueError, "batch_size must be at least 1");
        return nullptr;
    }
    const bool labelled = alerts != Py_None;
    std::shared_ptr<labels::AlertIndex> index;
    if (labelled && alerts != Py_True && !alerts_of(alerts, index)) return nullptr;
    std::vector<engine::Source> sources;
    std::vector<int> chosen;
    if (!parse_sources(paths, sources) || !parse_columns(columns, chosen)) return nullptr;

    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* scan = as_scan(self.get());
    new (&scan->scanner) std::shared_ptr<Scanner>();
    new (&scan->arena) std::shared_ptr<columnar::SharedArena>();
    if (shared != Py_None) scan->arena = as_memory(shared)->arena;
    try {
        scan->scanner = std::make_shared<Scanner>(std::move(sources), features, std::move(chosen),
                                                  static_cast<std::size_t>(batch_size), how, labelled, shard != 0,
                                                  static_cast<std::size_t>(text_limit), scan->arena);
        if (index) scan->scanner->set_alerts(std::move(index));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (!prepare_scanner(scan->scanner)) return nullptr;
    return self.release();
}

void scan_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_scan(self)->scanner.~shared_ptr<Scanner>();
    as_scan(self)->arena.~shared_ptr<columnar::SharedArena>();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* scan_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    return stream_capsule(as_scan(self)->scanner, args, kwargs);
}

// What every file scan reports, the same way for every table.
PyObject* stats_dict(const engine::Stats& s) {
    using ull = unsigned long long;
    return Py_BuildValue("{sKsKsKsKsKsKsKsK}", "frames", ull{s.frames}, "rows", ull{s.rows}, "not_ip", ull{s.not_ip},
                         "unsupported_link", ull{s.unsupported_link}, "cut", ull{s.cut}, "bytes_done",
                         ull{s.bytes_done}, "bytes_total", ull{s.bytes_total}, "files_done", ull{s.files_done});
}

template <class Source>
PyObject* stats_of(Source& source) {
    engine::Stats s;
    Py_BEGIN_ALLOW_THREADS  // waits while another thread builds a batch
    s = source.stats();
    Py_END_ALLOW_THREADS
    return stats_dict(s);
}

template <class Source>
PyObject* damage_of(Source& source) {
    std::vector<engine::Damage> damage;
    Py_BEGIN_ALLOW_THREADS
    damage = source.damage();
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

// failure() -> None, or (errno, text, file or None, byte offset) of what ended the
// scan; for a failed read of a file, the text says what went wrong, not which file.
template <class Source>
PyObject* failure_of(Source& source) {
    std::string text, path;
    uint64_t offset = 0;
    int err;
    Py_BEGIN_ALLOW_THREADS
    err = source.failure(text, path, offset);
    Py_END_ALLOW_THREADS
    if (!err) Py_RETURN_NONE;
    Ref file(path.empty() ? Py_NewRef(Py_None) : PyUnicode_DecodeFSDefault(path.c_str()));
    if (!file) return nullptr;
    return Py_BuildValue("(isOK)", err, text.c_str(), file.get(), static_cast<unsigned long long>(offset));
}

PyObject* scan_stats(PyObject* self, PyObject*) { return stats_of(*as_scan(self)->scanner); }
PyObject* scan_damage(PyObject* self, PyObject*) { return damage_of(*as_scan(self)->scanner); }
PyObject* scan_failure(PyObject* self, PyObject*) { return failure_of(*as_scan(self)->scanner); }

// set_alerts(capsules) gives a labelled scan its alerts; set_alerts(None, why)
// says they could not be read, which fails the scan. `by_pair`: for a table of connections.
template <class Source>
PyObject* set_alerts_of(Source& source, PyObject* args, bool by_pair) {
    PyObject* capsules;
    const char* why = "";
    if (!PyArg_ParseTuple(args, "O|s", &capsules, &why)) return nullptr;
    std::shared_ptr<labels::AlertIndex> index;
    if (!alerts_of(capsules, index, by_pair)) return nullptr;
    const std::string reason(why);
    Py_BEGIN_ALLOW_THREADS  // waits while another thread reads a batch
    source.set_alerts(std::move(index), reason);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

template <class Source>
PyObject* unmatched_alerts_of(Source& source) {
    uint64_t n;
    Py_BEGIN_ALLOW_THREADS
    n = source.unmatched_alerts();
    Py_END_ALLOW_THREADS
    return PyLong_FromUnsignedLongLong(n);
}

template <class Source>
PyObject* matched_alerts_of(Source& source) {
    std::vector<uint8_t> matched;
    Py_BEGIN_ALLOW_THREADS
    matched = source.matched_alerts();
    Py_END_ALLOW_THREADS
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(matched.data()),
                                     static_cast<Py_ssize_t>(matched.size()));
}

PyObject* scan_set_alerts(PyObject* self, PyObject* args) { return set_alerts_of(*as_scan(self)->scanner, args, false); }
PyObject* scan_unmatched_alerts(PyObject* self, PyObject*) { return unmatched_alerts_of(*as_scan(self)->scanner); }
PyObject* scan_matched_alerts(PyObject* self, PyObject*) { return matched_alerts_of(*as_scan(self)->scanner); }

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

PyObject* scan_summary(PyObject* self, PyObject*) {
    std::string summary;
    Py_BEGIN_ALLOW_THREADS
    summary = as_scan(self)->scanner->summary();
    Py_END_ALLOW_THREADS
    return PyBytes_FromStringAndSize(summary.data(), static_cast<Py_ssize_t>(summary.size()));
}

PyObject* scan_cancel(PyObject* self, PyObject*) {
    as_scan(self)->scanner->cancel();
    Py_RETURN_NONE;
}

PyObject* shard_rows_from(PyTypeObject* type, std::unique_ptr<ShardRows> rows, std::vector<columnar::Field> fields,
                          std::shared_ptr<columnar::SharedArena> arena);

// take_shard() -> ShardRows: the whole shard read (a failed read keeps the rows
// before it, failure() says what it was).
PyObject* scan_take_shard(PyObject* self, PyObject*) {
    Scan* scan = as_scan(self);
    std::unique_ptr<ShardRows> rows(new (std::nothrow) ShardRows);
    if (!rows) return PyErr_NoMemory();
    int rc;
    Py_BEGIN_ALLOW_THREADS
    rc = scan->scanner->read_shard(*rows);
    Py_END_ALLOW_THREADS
    (void)rc;  // kept in the scan's failure()
    auto* type = reinterpret_cast<PyTypeObject*>(state_of_type(Py_TYPE(self))->shard_rows_type);
    return shard_rows_from(type, std::move(rows), scan->scanner->fields(), scan->arena);
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
    {"summary", scan_summary, METH_NOARGS, PyDoc_STR("A shard's destinations, packed, for CarryState.next().")},
    {"take_shard", scan_take_shard, METH_NOARGS,
     PyDoc_STR("The whole shard's rows, with what mends their counts, as a ShardRows.")},
    {"set_alerts", scan_set_alerts, METH_VARARGS,
     PyDoc_STR("set_alerts(capsules) gives a labelled scan its alerts; set_alerts(None, why) fails it.")},
    {"unmatched_alerts", scan_unmatched_alerts, METH_NOARGS,
     PyDoc_STR("How many of the alerts given have labelled no packet so far.")},
    {"matched_alerts", scan_matched_alerts, METH_NOARGS,
     PyDoc_STR("One byte per usable alert, in the labeller's order: 1 when it labelled a packet.")},
    {"failure", scan_failure, METH_NOARGS,
     PyDoc_STR("None, or (errno, text, file or None, byte offset) of the failure that ended the scan.")},
    {"cancel", scan_cancel, METH_NOARGS,
     PyDoc_STR("Ends the batch being read, and every later one, with ECANCELED; any thread.")},
    {nullptr, nullptr, 0, nullptr},
};

TypeSlots scan_slots(scan_new, scan_dealloc, scan_methods,
                      "A native scan of capture files into record batches.");
PyType_Spec scan_spec = scan_slots.spec("kavrel._engine.Scan", sizeof(Scan));

// ---- ConnectionScan -----------------------------------------------------------------

struct ConnectionScan {
    PyObject_HEAD
    std::shared_ptr<engine::ConnectionScanner> scanner;
};

ConnectionScan* as_connections(PyObject* self) { return reinterpret_cast<ConnectionScan*>(self); }

// The connection settings of a call: the timeouts and close delay in seconds, the
// traffic windows; false with ValueError set.
bool parse_connection_settings(PyObject* timing, double time_window, unsigned long long host_window,
                               engine::ConnectionOptions& out) {
    double t[5];
    if (!PyArg_ParseTuple(timing, "ddddd", &t[0], &t[1], &t[2], &t[3], &t[4])) return false;
    int64_t* to[5] = {&out.timing.tcp_timeout_ns, &out.timing.udp_timeout_ns, &out.timing.icmp_timeout_ns,
                      &out.timing.other_timeout_ns, &out.timing.close_delay_ns};
    for (int i = 0; i < 5; ++i) {
        if (!connections::seconds_to_ns(t[i], *to[i])) {
            PyErr_SetString(PyExc_ValueError, "a timeout or the close delay is out of range");
            return false;
        }
    }
    out.traffic.time_window = time_window;
    out.traffic.host_window = host_window;
    if (const char* why = connections::TrafficWindows::check(out.traffic)) {
        PyErr_SetString(PyExc_ValueError, why);
        return false;
    }
    return true;
}

// ConnectionScan(paths, columns, batch_size, timing, time_window, host_window,
// reader="auto", alerts=None, _hold_bytes=64 MiB, _text_limit=2**31-1): the
// connection table of `paths` (as Scan takes them), `columns` connection column
// names; `timing` (tcp, udp, icmp, other timeout, close delay) in seconds;
// `alerts` as for Scan.
PyObject* connections_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"paths", "columns", "batch_size", "timing", "time_window", "host_window",
                                   "reader", "alerts", "pipelined", "_hold_bytes", "_text_limit", nullptr};
    PyObject *paths, *columns, *timing, *alerts = Py_None;
    Py_ssize_t batch_size, hold_bytes = Py_ssize_t{64} << 20;
    Py_ssize_t text_limit = static_cast<Py_ssize_t>(columnar::kMaxTextBytes);
    double time_window;
    unsigned long long host_window;
    const char* reader = "auto";
    int pipelined = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OnO!dK|sOpnn", const_cast<char**>(kwlist), &PyList_Type, &paths,
                                     &columns, &batch_size, &PyTuple_Type, &timing, &time_window, &host_window,
                                     &reader, &alerts, &pipelined, &hold_bytes, &text_limit)) {
        return nullptr;
    }
    engine::ConnectionOptions options;
    capture::ReadWith how;
    std::vector<engine::Source> sources;
    if (!parse_reader(reader, how) || !parse_sources(paths, sources) ||
        !parse_columns(columns, options.columns, engine::kConnectionFields, "connection") ||
        !parse_connection_settings(timing, time_window, host_window, options)) {
        return nullptr;
    }
    if (batch_size < 1 || hold_bytes < 0 || text_limit < 1 ||
        static_cast<std::size_t>(text_limit) > columnar::kMaxTextBytes) {
        PyErr_SetString(PyExc_ValueError, "batch_size, _hold_bytes or _text_limit out of range");
        return nullptr;
    }
    options.batch_rows = static_cast<std::size_t>(batch_size);
    options.hold_bytes = static_cast<std::size_t>(hold_bytes);
    options.text_limit = static_cast<std::size_t>(text_limit);
    options.labelled = alerts != Py_None;
    std::shared_ptr<labels::AlertIndex> index;
    if (options.labelled && alerts != Py_True && !alerts_of(alerts, index, true)) return nullptr;

    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* scan = as_connections(self.get());
    new (&scan->scanner) std::shared_ptr<engine::ConnectionScanner>();
    try {
        scan->scanner = std::make_shared<engine::ConnectionScanner>(std::move(sources), how, options, pipelined != 0);
        if (index) scan->scanner->set_alerts(std::move(index));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (!prepare_scanner(scan->scanner)) return nullptr;
    return self.release();
}

void connections_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_connections(self)->scanner.~shared_ptr<engine::ConnectionScanner>();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* connections_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    return stream_capsule(as_connections(self)->scanner, args, kwargs);
}
PyObject* connections_stats(PyObject* self, PyObject*) { return stats_of(*as_connections(self)->scanner); }
PyObject* connections_damage(PyObject* self, PyObject*) { return damage_of(*as_connections(self)->scanner); }
PyObject* connections_failure(PyObject* self, PyObject*) { return failure_of(*as_connections(self)->scanner); }
PyObject* connections_set_alerts(PyObject* self, PyObject* args) {
    return set_alerts_of(*as_connections(self)->scanner, args, true);
}
PyObject* connections_unmatched_alerts(PyObject* self, PyObject*) {
    return unmatched_alerts_of(*as_connections(self)->scanner);
}
PyObject* connections_matched_alerts(PyObject* self, PyObject*) {
    return matched_alerts_of(*as_connections(self)->scanner);
}
PyObject* connections_cancel(PyObject* self, PyObject*) {
    as_connections(self)->scanner->cancel();
    Py_RETURN_NONE;
}

PyMethodDef connections_methods[] = {
    {"__arrow_c_stream__", as_cfunction(connections_arrow_c_stream), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("The batches as an Arrow C stream (a PyCapsule named 'arrow_array_stream').")},
    {"stats", connections_stats, METH_NOARGS, PyDoc_STR("As Scan.stats(); rows are connections.")},
    {"damage", connections_damage, METH_NOARGS, PyDoc_STR("As Scan.damage().")},
    {"failure", connections_failure, METH_NOARGS, PyDoc_STR("As Scan.failure().")},
    {"set_alerts", connections_set_alerts, METH_VARARGS, PyDoc_STR("As Scan.set_alerts().")},
    {"unmatched_alerts", connections_unmatched_alerts, METH_NOARGS,
     PyDoc_STR("How many of the alerts given have labelled no connection so far.")},
    {"matched_alerts", connections_matched_alerts, METH_NOARGS, PyDoc_STR("As Scan.matched_alerts().")},
    {"cancel", connections_cancel, METH_NOARGS, PyDoc_STR("As Scan.cancel().")},
    {nullptr, nullptr, 0, nullptr},
};

TypeSlots connections_slots(connections_new, connections_dealloc, connections_methods,
                            "A native scan of capture files into batches of the connection table.");
PyType_Spec connections_spec = connections_slots.spec("kavrel._engine.ConnectionScan", sizeof(ConnectionScan));

// ---- the connection table in shards -------------------------------------------------

// EventShard(source, buckets, memory, reader="auto"): one shard's IP packets as
// events filed by bucket, built in `memory` (a MemoryFile) for other processes.
struct EventShardObject {
    PyObject_HEAD
    std::shared_ptr<engine::EventShard> shard;
    std::shared_ptr<columnar::SharedArena> arena;
};

EventShardObject* as_events(PyObject* self) { return reinterpret_cast<EventShardObject*>(self); }

PyObject* events_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"source", "buckets", "memory", "reader", nullptr};
    PyObject *source, *memory;
    unsigned int buckets;
    const char* reader = "auto";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OIO|s", const_cast<char**>(kwlist), &source, &buckets, &memory,
                                     &reader)) {
        return nullptr;
    }
    auto* memory_type = reinterpret_cast<PyTypeObject*>(state_of_type(type)->memory_file_type);
    if (!PyObject_TypeCheck(memory, memory_type)) {
        PyErr_SetString(PyExc_TypeError, "memory must be a MemoryFile");
        return nullptr;
    }
    if (buckets < 1 || buckets > (1u << 16)) {
        PyErr_SetString(PyExc_ValueError, "buckets must be from 1 to 65,536");
        return nullptr;
    }
    capture::ReadWith how;
    std::vector<engine::Source> sources;
    Ref list(PyList_New(1));
    if (!list) return nullptr;
    PyList_SET_ITEM(list.get(), 0, Py_NewRef(source));
    if (!parse_reader(reader, how) || !parse_sources(list.get(), sources)) return nullptr;
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* e = as_events(self.get());
    new (&e->shard) std::shared_ptr<engine::EventShard>();
    new (&e->arena) std::shared_ptr<columnar::SharedArena>(as_memory(memory)->arena);
    try {
        e->shard = std::make_shared<engine::EventShard>(std::move(sources), how, buckets, e->arena);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (!prepare_scanner(e->shard)) return nullptr;
    return self.release();
}

void events_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_events(self)->shard.~shared_ptr<engine::EventShard>();
    as_events(self)->arena.~shared_ptr<columnar::SharedArena>();
    type->tp_free(self);
    Py_DECREF(type);
}

// read(): the whole shard (a failed read keeps the events before it; failure() says what it was).
PyObject* events_read(PyObject* self, PyObject*) {
    engine::EventShard& shard = *as_events(self)->shard;
    Py_BEGIN_ALLOW_THREADS
    (void)shard.read();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// describe() -> (memory file descriptor, description): the descriptor stays this object's.
PyObject* events_describe(PyObject* self, PyObject*) {
    std::string text;
    if (!as_events(self)->shard->describe(text)) {
        PyErr_SetString(PyExc_RuntimeError, "the shard's events could not be described");
        return nullptr;
    }
    return Py_BuildValue("(iy#)", as_events(self)->arena->fd(), text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* events_frames(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLongLong(as_events(self)->shard->frames());
}
PyObject* events_bounds(PyObject* self, PyObject*) {
    const auto b = as_events(self)->shard->bounds();
    auto value = [](uint64_t v) { return v == UINT64_MAX ? Py_NewRef(Py_None) : PyLong_FromUnsignedLongLong(v); };
    Ref start(value(b.first)), end(value(b.second));
    if (!start || !end) return nullptr;
    return PyTuple_Pack(2, start.get(), end.get());
}
PyObject* events_stats(PyObject* self, PyObject*) { return stats_of(*as_events(self)->shard); }
PyObject* events_damage(PyObject* self, PyObject*) { return damage_of(*as_events(self)->shard); }
PyObject* events_failure(PyObject* self, PyObject*) { return failure_of(*as_events(self)->shard); }
PyObject* events_cancel(PyObject* self, PyObject*) {
    as_events(self)->shard->cancel();
    Py_RETURN_NONE;
}

PyMethodDef events_methods[] = {
    {"read", events_read, METH_NOARGS, PyDoc_STR("Reads the whole shard.")},
    {"describe", events_describe, METH_NOARGS,
     PyDoc_STR("(memory file descriptor, description) of the events, for BucketAssembly.feed().")},
    {"frames", events_frames, METH_NOARGS, PyDoc_STR("How many frames the shard had.")},
    {"bounds", events_bounds, METH_NOARGS, PyDoc_STR("As Scan.bounds().")},
    {"stats", events_stats, METH_NOARGS, PyDoc_STR("As Scan.stats().")},
    {"damage", events_damage, METH_NOARGS, PyDoc_STR("As Scan.damage().")},
    {"failure", events_failure, METH_NOARGS, PyDoc_STR("As Scan.failure().")},
    {"cancel", events_cancel, METH_NOARGS, PyDoc_STR("As Scan.cancel().")},
    {nullptr, nullptr, 0, nullptr},
};

TypeSlots events_slots(events_new, events_dealloc, events_methods,
                       "One shard's IP packets as events filed by bucket, in a memory file.");
PyType_Spec events_spec = events_slots.spec("kavrel._engine.EventShard", sizeof(EventShardObject));

// BucketAssembly(timing, buckets): the assemblers of `buckets` (a list of bucket
// numbers), fed every shard's events of them in shard order.
struct BucketAssemblyObject {
    PyObject_HEAD
    std::unique_ptr<engine::BucketAssembly> assembly;
};

BucketAssemblyObject* as_assembly(PyObject* self) { return reinterpret_cast<BucketAssemblyObject*>(self); }

PyObject* assembly_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"timing", "buckets", nullptr};
    PyObject *timing, *buckets;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O", const_cast<char**>(kwlist), &PyTuple_Type, &timing,
                                     &buckets)) {
        return nullptr;
    }
    engine::ConnectionOptions options;
    if (!parse_connection_settings(timing, 2.0, 100, options)) return nullptr;
    std::vector<uint32_t> chosen;
    Ref seq(PySequence_Fast(buckets, "buckets must be a sequence of bucket numbers"));
    if (!seq) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        const unsigned long b = PyLong_AsUnsignedLong(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (PyErr_Occurred()) return nullptr;
        chosen.push_back(static_cast<uint32_t>(b));
    }
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&as_assembly(self.get())->assembly) std::unique_ptr<engine::BucketAssembly>();
    try {
        as_assembly(self.get())->assembly = std::make_unique<engine::BucketAssembly>(options.timing, std::move(chosen));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return self.release();
}

void assembly_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_assembly(self)->assembly.~unique_ptr<engine::BucketAssembly>();
    type->tp_free(self);
    Py_DECREF(type);
}

// feed(fd, description, frame_offset): the next shard's events (`fd` its memory
// file, which the caller keeps), the frames of the capture before it.
PyObject* assembly_feed(PyObject* self, PyObject* args) {
    int fd;
    Py_buffer description;
    unsigned long long frame_offset;
    if (!PyArg_ParseTuple(args, "iy*K", &fd, &description, &frame_offset)) return nullptr;
    const std::string text(static_cast<const char*>(description.buf), static_cast<std::size_t>(description.len));
    PyBuffer_Release(&description);
    const std::shared_ptr<columnar::MappedShare> share = columnar::MappedShare::map(fd, UINT64_MAX);
    if (!share) return PyErr_SetFromErrno(PyExc_OSError);
    bool ok;
    engine::BucketAssembly& a = *as_assembly(self)->assembly;
    Py_BEGIN_ALLOW_THREADS
    ok = a.feed(share->base(), share->size(), text, frame_offset);
    Py_END_ALLOW_THREADS
    if (!ok) {
        PyErr_SetString(PyExc_RuntimeError, a.error().c_str());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* assembly_finish(PyObject* self, PyObject*) {
    engine::BucketAssembly& a = *as_assembly(self)->assembly;
    Py_BEGIN_ALLOW_THREADS
    a.finish();
    Py_END_ALLOW_THREADS
    if (!a.error().empty()) {
        PyErr_SetString(PyExc_RuntimeError, a.error().c_str());
        return nullptr;
    }
    Py_RETURN_NONE;
}

// take_rows() -> the rows finished since the last call, in uid order, as bytes.
PyObject* assembly_take_rows(PyObject* self, PyObject*) {
    std::vector<connections::Connection> rows;
    try {
        rows = as_assembly(self)->assembly->take_rows();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rows.data()),
                                     static_cast<Py_ssize_t>(rows.size() * sizeof(connections::Connection)));
}

PyObject* assembly_oldest(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLongLong(as_assembly(self)->assembly->oldest_open_uid());
}

PyMethodDef assembly_methods[] = {
    {"feed", assembly_feed, METH_VARARGS, PyDoc_STR("feed(fd, description, frame_offset): the next shard's events.")},
    {"finish", assembly_finish, METH_NOARGS, PyDoc_STR("The capture has ended: every open connection ends.")},
    {"take_rows", assembly_take_rows, METH_NOARGS, PyDoc_STR("The rows finished since the last call, in uid order.")},
    {"oldest_open_uid", assembly_oldest, METH_NOARGS,
     PyDoc_STR("The uid of the oldest connection still open (2**64 - 1: none).")},
    {nullptr, nullptr, 0, nullptr},
};

TypeSlots assembly_slots(assembly_new, assembly_dealloc, assembly_methods,
                         "The connection assemblers of a set of buckets.");
PyType_Spec assembly_spec = assembly_slots.spec("kavrel._engine.BucketAssembly", sizeof(BucketAssemblyObject));

// ConnectionMerge(columns, batch_size, time_window, host_window, alerts=None,
// history=b"", _hold_bytes=64 MiB, _text_limit=2**31-1): finished rows (bytes of
// BucketAssembly.take_rows()) merged by uid into batches of the connection table.
// `history`: the rows just before the first it will be given (a part of a table).
struct ConnectionMergeObject {
    PyObject_HEAD
    std::unique_ptr<engine::ConnectionMerge> merge;
};

ConnectionMergeObject* as_merge(PyObject* self) { return reinterpret_cast<ConnectionMergeObject*>(self); }

// The rows of bytes that BucketAssembly.take_rows() made; false with ValueError set.
bool rows_of(const Py_buffer& view, const connections::Connection*& rows, std::size_t& n) {
    if (view.len % static_cast<Py_ssize_t>(sizeof(connections::Connection))) {
        PyErr_SetString(PyExc_ValueError, "not rows of finished connections");
        return false;
    }
    rows = static_cast<const connections::Connection*>(view.buf);
    n = static_cast<std::size_t>(view.len) / sizeof(connections::Connection);
    return true;
}

PyObject* merge_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"columns", "batch_size", "time_window", "host_window", "alerts", "history",
                                   "_hold_bytes", "_text_limit", nullptr};
    PyObject *columns, *alerts = Py_None;
    Py_ssize_t batch_size, hold_bytes = Py_ssize_t{64} << 20;
    Py_ssize_t text_limit = static_cast<Py_ssize_t>(columnar::kMaxTextBytes);
    double time_window;
    unsigned long long host_window;
    HeldBuffer history;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OndK|Oy*nn", const_cast<char**>(kwlist), &columns, &batch_size,
                                     &time_window, &host_window, &alerts, &history.view, &hold_bytes, &text_limit)) {
        return nullptr;
    }
    engine::ConnectionOptions options;
    Ref timing(Py_BuildValue("(ddddd)", 300.0, 60.0, 60.0, 60.0, 5.0));  // not used in merging
    if (!timing || !parse_columns(columns, options.columns, engine::kConnectionFields, "connection") ||
        !parse_connection_settings(timing.get(), time_window, host_window, options)) {
        return nullptr;
    }
    if (batch_size < 1 || hold_bytes < 0 || text_limit < 1 ||
        static_cast<std::size_t>(text_limit) > columnar::kMaxTextBytes) {
        PyErr_SetString(PyExc_ValueError, "batch_size, _hold_bytes or _text_limit out of range");
        return nullptr;
    }
    options.batch_rows = static_cast<std::size_t>(batch_size);
    options.hold_bytes = static_cast<std::size_t>(hold_bytes);
    options.text_limit = static_cast<std::size_t>(text_limit);
    options.labelled = alerts != Py_None;
    std::shared_ptr<labels::AlertIndex> index;
    if (options.labelled && !alerts_of(alerts, index, true)) return nullptr;
    std::vector<connections::TrafficInput> before;
    if (history.view.obj) {
        const connections::Connection* rows;
        std::size_t n;
        if (!rows_of(history.view, rows, n)) return nullptr;
        for (std::size_t i = 0; i < n; ++i) before.push_back(engine::traffic_input(rows[i]));
    }
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&as_merge(self.get())->merge) std::unique_ptr<engine::ConnectionMerge>();
    try {
        auto merge = std::make_unique<engine::ConnectionMerge>(options, before);
        if (index) merge->set_alerts(std::move(index));
        as_merge(self.get())->merge = std::move(merge);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return self.release();
}

void merge_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_merge(self)->merge.~unique_ptr<engine::ConnectionMerge>();
    type->tp_free(self);
    Py_DECREF(type);
}

// push(rows): rows of a bucket set, in uid order.
PyObject* merge_push(PyObject* self, PyObject* arg) {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0) return nullptr;
    const connections::Connection* rows;
    std::size_t n;
    bool ok = rows_of(view, rows, n);
    engine::ConnectionMerge& m = *as_merge(self)->merge;
    if (ok) {
        Py_BEGIN_ALLOW_THREADS
        ok = m.push(rows, n);
        Py_END_ALLOW_THREADS
        if (!ok) PyErr_SetString(PyExc_OSError, m.error().c_str());
    }
    PyBuffer_Release(&view);
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

// release(bound, flush=False) -> a list of (schema, array) capsules: the batches of
// the rows below `bound` (a batch not full waits for more, unless `flush`).
PyObject* merge_release(PyObject* self, PyObject* args) {
    unsigned long long bound;
    int flush = 0;
    if (!PyArg_ParseTuple(args, "K|p", &bound, &flush)) return nullptr;
    engine::ConnectionMerge& m = *as_merge(self)->merge;
    std::vector<ArrowArray> batches;
    int rc;
    Py_BEGIN_ALLOW_THREADS
    rc = m.release(bound, flush != 0, batches);
    Py_END_ALLOW_THREADS
    Ref out(PyList_New(0));
    bool ok = static_cast<bool>(out);
    for (ArrowArray& b : batches) {
        if (!ok) {
            b.release(&b);
            continue;
        }
        Ref schema(schema_capsule(m.fields()));
        Ref array(schema ? array_capsule(b) : nullptr);
        if (!schema) b.release(&b);
        Ref pair(array ? PyTuple_Pack(2, schema.get(), array.get()) : nullptr);
        ok = pair && PyList_Append(out.get(), pair.get()) == 0;
    }
    if (!ok) return nullptr;
    if (rc) return raise_os_error(rc, m.error().c_str(), nullptr);
    return out.release();
}

PyObject* merge_schema(PyObject* self, PyObject*) { return schema_capsule(as_merge(self)->merge->fields()); }
PyObject* merge_rows(PyObject* self, PyObject*) { return PyLong_FromUnsignedLongLong(as_merge(self)->merge->rows()); }
PyObject* merge_unmatched(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLongLong(as_merge(self)->merge->unmatched_alerts());
}

PyMethodDef merge_methods[] = {
    {"push", merge_push, METH_O, PyDoc_STR("push(rows): finished rows of a set of buckets, in uid order.")},
    {"release", merge_release, METH_VARARGS,
     PyDoc_STR("release(bound, flush=False) -> [(schema, array)]: batches of the rows below bound.")},
    {"__arrow_c_schema__", merge_schema, METH_NOARGS, PyDoc_STR("The batches' schema as a PyCapsule.")},
    {"rows", merge_rows, METH_NOARGS, PyDoc_STR("Rows handed on so far.")},
    {"unmatched_alerts", merge_unmatched, METH_NOARGS,
     PyDoc_STR("How many of the alerts given have labelled no connection so far.")},
    {nullptr, nullptr, 0, nullptr},
};

TypeSlots merge_slots(merge_new, merge_dealloc, merge_methods,
                      "Finished connections of every bucket merged by uid into batches of the connection table.");
PyType_Spec merge_spec = merge_slots.spec("kavrel._engine.ConnectionMerge", sizeof(ConnectionMergeObject));

// ---- ShardRows ----------------------------------------------------------------------

// The batches of a ShardRows, once mended, as a C stream's source.
struct ShardBatches {
    std::vector<ArrowArray> batches;
    std::vector<columnar::Field> schema;
    std::size_t next_batch = 0;

    ~ShardBatches() {
        for (std::size_t i = next_batch; i < batches.size(); ++i) batches[i].release(&batches[i]);
    }
    const std::vector<columnar::Field>& fields() const { return schema; }
    int next(ArrowArray* out, std::string&) {
        if (next_batch < batches.size()) *out = batches[next_batch++];
        return 0;
    }
};

struct ShardRowsObject {
    PyObject_HEAD
    std::unique_ptr<ShardRows> rows;
    std::vector<columnar::Field> fields;
    std::shared_ptr<columnar::SharedArena> arena;  // where a worker's rows were built
};

ShardRowsObject* as_rows(PyObject* self) { return reinterpret_cast<ShardRowsObject*>(self); }

PyObject* shard_rows_from(PyTypeObject* type, std::unique_ptr<ShardRows> rows, std::vector<columnar::Field> fields,
                          std::shared_ptr<columnar::SharedArena> arena) {
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* r = as_rows(self.get());
    new (&r->rows) std::unique_ptr<ShardRows>(std::move(rows));
    new (&r->fields) std::vector<columnar::Field>(std::move(fields));
    new (&r->arena) std::shared_ptr<columnar::SharedArena>(std::move(arena));
    return self.release();
}

// ShardRows(fd, description, table, columns, labelled, giveback=-1, memory=0): the
// rows another process built in the memory file `fd` (the caller keeps the
// descriptor) and described; once no batch over them is held, the file's number
// `memory` goes back to that process over the datagram socket `giveback`.
PyObject* rows_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"fd", "description", "table", "columns", "labelled", "giveback", "memory",
                                   nullptr};
    int fd, labelled, giveback = -1;
    unsigned long long memory = 0;
    Py_buffer description;
    const char* table;
    PyObject* columns;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "iy*sOp|iK", const_cast<char**>(kwlist), &fd, &description,
                                     &table, &columns, &labelled, &giveback, &memory)) {
        return nullptr;
    }
    const std::string manifest(static_cast<const char*>(description.buf), static_cast<std::size_t>(description.len));
    PyBuffer_Release(&description);
    bool features;
    std::vector<int> chosen;
    if (!parse_table(table, features) || !parse_columns(columns, chosen)) return nullptr;
    std::vector<columnar::Field> fields = engine::TableBuilder(features, chosen).fields();
    if (labelled) {
        for (const auto& f : engine::LabelBuilder::fields()) fields.push_back(f);
    }
    const std::shared_ptr<columnar::MappedShare> share =
        columnar::MappedShare::map(fd, ShardRows::described_bytes(manifest), giveback, memory);
    if (!share) return PyErr_SetFromErrno(PyExc_OSError);
    std::unique_ptr<ShardRows> rows(new (std::nothrow) ShardRows);
    if (!rows) return PyErr_NoMemory();
    std::string why;
    if (!ShardRows::rebuild(share, manifest, fields, *rows, why)) {
        PyErr_SetString(PyExc_ValueError, why.c_str());
        return nullptr;
    }
    return shard_rows_from(type, std::move(rows), std::move(fields), {});
}

void rows_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_rows(self)->rows.~unique_ptr<ShardRows>();
    as_rows(self)->fields.~vector<columnar::Field>();
    as_rows(self)->arena.~shared_ptr<columnar::SharedArena>();
    type->tp_free(self);
    Py_DECREF(type);
}

bool check_rows(ShardRowsObject* r) {
    if (r->rows) return true;
    PyErr_SetString(PyExc_ValueError, "the rows were handed on already");
    return false;
}

// mend(carry) adds each destination's carry (uint32 per destination id, native order)
// to the count of its first chain's rows, in place.
PyObject* rows_mend(PyObject* self, PyObject* arg) {
    ShardRowsObject* r = as_rows(self);
    if (!check_rows(r)) return nullptr;
    Py_buffer carry;
    if (PyObject_GetBuffer(arg, &carry, PyBUF_SIMPLE) < 0) return nullptr;
    const int count = engine::kFeatCount;
    Py_BEGIN_ALLOW_THREADS
    r->rows->mend(static_cast<const uint32_t*>(carry.buf), static_cast<std::size_t>(carry.len) / sizeof(uint32_t),
                  count);
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&carry);
    Py_RETURN_NONE;
}

// describe() -> (memory file descriptor, description) of rows built for another
// process; the descriptor stays this object's (the receiver gets its own).
PyObject* rows_describe(PyObject* self, PyObject*) {
    ShardRowsObject* r = as_rows(self);
    if (!check_rows(r)) return nullptr;
    if (!r->arena) {
        PyErr_SetString(PyExc_ValueError, "these rows were not built in a memory file");
        return nullptr;
    }
    std::string manifest;
    if (!r->rows->describe(*r->arena, manifest)) {
        PyErr_SetString(PyExc_RuntimeError, "a buffer of the rows lies outside their memory file");
        return nullptr;
    }
    return Py_BuildValue("(iy#)", r->arena->fd(), manifest.data(), static_cast<Py_ssize_t>(manifest.size()));
}

// mend_values() -> bytes: every row's mending value (uint32, native order), in row order.
PyObject* rows_mend_values(PyObject* self, PyObject*) {
    ShardRowsObject* r = as_rows(self);
    if (!check_rows(r)) return nullptr;
    std::vector<uint32_t> values;
    try {
        values = r->rows->mend_values();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                     static_cast<Py_ssize_t>(values.size() * sizeof(uint32_t)));
}

PyObject* rows_len(PyObject* self, PyObject*) {
    ShardRowsObject* r = as_rows(self);
    return PyLong_FromLongLong(r->rows ? r->rows->rows() : 0);
}

// __arrow_c_stream__: the batches, handed on (once), without their mending values.
PyObject* rows_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
    ShardRowsObject* r = as_rows(self);
    if (!check_rows(r)) return nullptr;
    std::shared_ptr<ShardBatches> batches;
    try {
        batches = std::make_shared<ShardBatches>();
        batches->schema = r->fields;
        batches->batches = r->rows->take_batches();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    r->rows.reset();
    return stream_capsule(batches, args, kwargs);
}

PyMethodDef rows_methods[] = {
    {"mend", rows_mend, METH_O, PyDoc_STR("mend(carry): the carries added to each destination's first chain.")},
    {"describe", rows_describe, METH_NOARGS,
     PyDoc_STR("(memory file descriptor, description) of rows built for another process.")},
    {"mend_values", rows_mend_values, METH_NOARGS, PyDoc_STR("Every row's mending value, uint32, in row order.")},
    {"rows", rows_len, METH_NOARGS, PyDoc_STR("How many rows are held.")},
    {"__arrow_c_stream__", as_cfunction(rows_arrow_c_stream), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("The batches as an Arrow C stream, handed on once.")},
    {nullptr, nullptr, 0, nullptr},
};

TypeSlots rows_slots(rows_new, rows_dealloc, rows_methods,
                      "A shard's rows, held until their counts are mended.");
PyType_Spec rows_spec = rows_slots.spec("kavrel._engine.ShardRows", sizeof(ShardRowsObject));

// ---- CarryState ----------------------------------------------------------------------

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

TypeSlots carry_slots(carry_new, carry_dealloc, carry_methods,
                      "The count chains after the shards of a capture read so far.");
PyType_Spec carry_spec = carry_slots.spec("kavrel._engine.CarryState", sizeof(Carry));

// ---- LiveScan ------------------------------------------------------------------------

struct LiveScan {
    PyObject_HEAD
    std::shared_ptr<LiveScanner> scanner;
};

LiveScan* as_live(PyObject* self) { return reinterpret_cast<LiveScan*>(self); }

// A live capture's failure as an exception: "device: libpcap's words", with the
// device (`device`), the words alone (`libpcap_text`, without the device's name
// libpcap often puts first) and libpcap's status (`pcap_status`, when known) as
// attributes. `err` 0: a plain OSError.
PyObject* raise_device_error(PyObject* exception, int err, const std::string& device, const std::string& text,
                             int pcap_status) {
    std::string_view words(text);
    if (words.size() > device.size() + 2 && words.starts_with(device) && words.substr(device.size(), 2) == ": ") {
        words.remove_prefix(device.size() + 2);
    }
    Ref name(PyUnicode_DecodeFSDefault(device.c_str()));
    Ref said(PyUnicode_DecodeUTF8(words.data(), static_cast<Py_ssize_t>(words.size()), "replace"));
    if (!name || !said) return nullptr;
    Ref message(PyUnicode_FromFormat("%U: %U", name.get(), said.get()));
    if (!message) return nullptr;
    Ref error(err ? PyObject_CallFunction(exception, "iO", err, message.get())
                  : PyObject_CallOneArg(exception, message.get()));
    Ref status(pcap_status ? PyLong_FromLong(pcap_status) : Py_NewRef(Py_None));
    if (!error || !status || PyObject_SetAttrString(error.get(), "device", name.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "libpcap_text", said.get()) < 0 ||
        PyObject_SetAttrString(error.get(), "pcap_status", status.get()) < 0) {
        return nullptr;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

// The open failure of a device as the exception a Python program expects.
PyObject* raise_live_open_failure(const LiveScanner& scanner, const std::string& device, PyObject* filter) {
    const int status = scanner.open_status();
    if (status == LiveScanner::kBadFilter) {
        PyErr_Format(PyExc_ValueError, "bad capture filter %R: %s", filter, scanner.error().c_str());
        return nullptr;
    }
    const int err = status == PCAP_ERROR_NO_SUCH_DEVICE                                          ? ENODEV
                    : status == PCAP_ERROR_PERM_DENIED || status == PCAP_ERROR_PROMISC_PERM_DENIED ? EPERM
                    : status == PCAP_ERROR_IFACE_NOT_UP                                           ? ENETDOWN
                                                                                                  : 0;
    return raise_device_error(PyExc_OSError, err, device, scanner.error(), status);  // PermissionError for EPERM
}

// "packets", "features" or "connections"; false with ValueError set.
bool parse_live_table(const char* table, engine::LiveTable& out) {
    if (std::strcmp(table, "connections") == 0) {
        out = engine::LiveTable::connections;
        return true;
    }
    bool features;
    if (!parse_table(table, features)) return false;
    out = features ? engine::LiveTable::features : engine::LiveTable::packets;
    return true;
}

// LiveScan(device, table, columns, filter, snaplen, promisc, buffer_bytes,
// immediate, batch_rows, batch_seconds, timing=None, time_window=2.0,
// host_window=100): the device opened, the filter set. `columns` are packet
// column names, or connection column names for the connection table, whose
// `timing` (tcp, udp, icmp, other timeout, close delay, in seconds; None: the
// defaults) and traffic windows are ConnectionScan's.
PyObject* live_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"device", "table", "columns", "filter", "snaplen", "promisc", "buffer_bytes",
                                   "immediate", "batch_rows", "batch_seconds", "timing", "time_window",
                                   "host_window", nullptr};
    PyObject* device;
    const char* table;
    PyObject* columns;
    PyObject* filter;
    PyObject* timing = Py_None;
    int snaplen, promisc, buffer_bytes, immediate;
    Py_ssize_t batch_rows;
    double batch_seconds, time_window = 2.0;
    unsigned long long host_window = 100;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&sOOipipnd|OdK", const_cast<char**>(kwlist),
                                     PyUnicode_FSConverter, &device, &table, &columns, &filter, &snaplen, &promisc,
                                     &buffer_bytes, &immediate, &batch_rows, &batch_seconds, &timing, &time_window,
                                     &host_window)) {
        return nullptr;
    }
    Ref device_bytes(device);
    engine::LiveSettings settings;
    settings.device = PyBytes_AS_STRING(device);
    if (!parse_live_table(table, settings.table)) return nullptr;
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
    settings.batch_ns = std::max<int64_t>(1, static_cast<int64_t>(batch_seconds * 1e9));
    if (settings.table == engine::LiveTable::connections) {
        engine::ConnectionOptions options;
        if (timing != Py_None && !PyTuple_Check(timing)) {
            PyErr_SetString(PyExc_TypeError, "timing must be a tuple or None");
            return nullptr;
        }
        if (!parse_columns(columns, options.columns, engine::kConnectionFields, "connection") ||
            (timing != Py_None && !parse_connection_settings(timing, time_window, host_window, options))) {
            return nullptr;
        }
        if (timing == Py_None) {
            options.traffic.time_window = time_window;
            options.traffic.host_window = host_window;
            if (const char* why = connections::TrafficWindows::check(options.traffic)) {
                PyErr_SetString(PyExc_ValueError, why);
                return nullptr;
            }
        }
        if (options.columns.empty()) {
            PyErr_SetString(PyExc_ValueError, "the connection table needs at least one column");
            return nullptr;
        }
        settings.connections = {std::move(options.columns), options.timing, options.traffic};
    } else if (!parse_columns(columns, settings.packet_columns)) {
        return nullptr;
    }

    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* live = as_live(self.get());
    new (&live->scanner) std::shared_ptr<LiveScanner>();
    const std::string name = settings.device;
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
    if (!opened) return raise_live_open_failure(*live->scanner, name, filter);
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
            return raise_device_error(PyExc_OSError, 0, scanner->device(), scanner->error(), 0);
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

TypeSlots live_slots(live_new, live_dealloc, live_methods,
                      "A live capture from one device into record batches.", live_getset);
PyType_Spec live_spec = live_slots.spec("kavrel._engine.LiveScan", sizeof(LiveScan));

// ---- functions -----------------------------------------------------------------------

// read_alert_log(path, year, rollover_month, date_order, text_limit=2**31-1) ->
//     (schema capsule, [batch capsules], lines, lines skipped, lines with bytes that are no UTF-8)
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
        if (!filename) return nullptr;
        return raise_os_error(log.os_errno, std::strerror(log.os_errno), filename.get());
    }
    Ref schema(schema_capsule(std::vector<columnar::Field>(std::begin(alerts::kAlertFields),
                                                           std::end(alerts::kAlertFields))));
    if (!schema) return nullptr;
    return Py_BuildValue("(OOKKK)", schema.get(), batches.get(), static_cast<unsigned long long>(log.lines),
                         static_cast<unsigned long long>(log.skipped), static_cast<unsigned long long>(log.invalid_utf8));
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
    if (!opened) return raise_open_failure(name, file.os_errno(), file.error());
    if (!got) Py_RETURN_NONE;
    return PyLong_FromLongLong(frame.time_ns());
}

// capture_format(path) -> "classic", "pcapng", or None for a file of neither
// magic: what a plan of shards needs to know of a file before it is read.
PyObject* capture_format(PyObject*, PyObject* arg) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(arg, &encoded)) return nullptr;
    Ref path(encoded);
    uint8_t head[4] = {};
    ssize_t got = -1;
    Py_BEGIN_ALLOW_THREADS
    const int fd = ::open(PyBytes_AS_STRING(encoded), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        got = ::read(fd, head, sizeof head);
        ::close(fd);
    }
    Py_END_ALLOW_THREADS
    if (got < 0) return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, arg);
    if (got == 4 && capture::is_classic_magic(head)) return PyUnicode_FromString("classic");
    if (got == 4 && capture::pcapng::is_magic(head)) return PyUnicode_FromString("pcapng");
    Py_RETURN_NONE;
}

// mended_counts(batch, mend_values, carry) -> (schema, array) capsules of a one-column
// batch: the `count` of a features shard's batch with the carries (uint32 per
// destination id) added to each destination's first chain, `mend_values` the
// batch's rows' mending values (uint32 each). For rows read in memory that is
// not the engine's (a Dask partition), which ShardRows.mend cannot write.
PyObject* mended_counts(PyObject*, PyObject* args) {
    PyObject* batch_obj;
    HeldBuffer held_mend, held_carry;
    if (!PyArg_ParseTuple(args, "Oy*y*", &batch_obj, &held_mend.view, &held_carry.view)) return nullptr;
    const Py_buffer &mend = held_mend.view, &carry = held_carry.view;
    Ref capsules(PyObject_CallMethod(batch_obj, "__arrow_c_array__", nullptr));
    ArrowSchema* schema;
    ArrowArray* array;
    if (!capsules || !batch_capsules(capsules.get(), schema, array)) return nullptr;
    columnar::ImportedColumn count;
    if (!columnar::find_column(schema, array, "count", "I", count) ||
        mend.len != static_cast<Py_ssize_t>(array->length * sizeof(uint32_t))) {
        PyErr_SetString(PyExc_ValueError, "not a features shard's batch and its mending values");
        return nullptr;
    }
    const auto* carries = static_cast<const uint32_t*>(carry.buf);
    const auto* ids = static_cast<const uint32_t*>(mend.buf);
    const std::size_t n = static_cast<std::size_t>(carry.len) / sizeof(uint32_t);
    columnar::ColumnSet out;
    out.add(engine::kFeatureFields[engine::kFeatCount]);
    bool ok = out.start(static_cast<std::size_t>(array->length));
    for (int64_t i = 0; ok && i < array->length; ++i) {
        uint32_t c = count.value<uint32_t>(i);
        if (ids[i] < n) c += carries[ids[i]];  // kNotFirstChain is past every carry
        out[0].push<uint32_t>(c);
    }
    ArrowArray result;
    if (!ok || !out.export_batch(&result)) return PyErr_NoMemory();
    Ref result_schema(schema_capsule(out.fields()));
    if (!result_schema) {
        result.release(&result);
        return nullptr;
    }
    Ref result_array(array_capsule(result));
    if (!result_array) return nullptr;
    return PyTuple_Pack(2, result_schema.get(), result_array.get());
}

// _fast_alert_groups(line) -> the eight texts of a fast-alert line ("" for a part
// it lacks) in a dict, or None; the line holds no line feed. For tests.
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

// _count_destinations(version, destinations, times, mode) -> (counts, final
// size, peak size, peak capacity): the destination table fed packets to
// `destinations` (4 or 16 bytes each, by version) at `times` (float64), counted
// as a file is (mode 0), as a live capture is (1), or as a live capture swept
// after every packet (2). `counts` holds the uint32 counts. For tests.
PyObject* count_destinations(PyObject*, PyObject* args) {
    int version, mode;
    HeldBuffer held_dst, held_times;
    if (!PyArg_ParseTuple(args, "iy*y*i", &version, &held_dst.view, &held_times.view, &mode)) return nullptr;
    const Py_buffer &dst = held_dst.view, &times = held_times.view;
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

// ---- the method table and the module ----------------------------------------------------

PyMethodDef module_methods[] = {
    {"read_alert_log", read_alert_log, METH_VARARGS,
     PyDoc_STR("read_alert_log(path, year, rollover_month, date_order, text_limit=2**31-1) -> (schema, batches, "
               "lines, skipped, invalid_utf8)\n\nThe alerts table of a fast-alert log, `timestamp` as wall-clock "
               "microseconds.")},
    {"first_time_ns", first_time_ns, METH_O,
     PyDoc_STR("first_time_ns(path) -> the capture time of the first frame in ns, or None when it has none.")},
    {"capture_format", capture_format, METH_O,
     PyDoc_STR("capture_format(path) -> 'classic', 'pcapng' or None, by the file's first bytes.")},
    {"mended_counts", mended_counts, METH_VARARGS,
     PyDoc_STR("mended_counts(batch, mend_values, carry) -> capsules of the batch's count with the carries added.")},
    {"_fast_alert_groups", fast_alert_groups, METH_O,
     PyDoc_STR("_fast_alert_groups(line) -> dict of the eight texts of a fast-alert line, or None.")},
    {"_count_destinations", count_destinations, METH_VARARGS,
     PyDoc_STR("_count_destinations(version, destinations, times, mode) -> (counts, size, peak size, peak capacity)")},
    {nullptr, nullptr, 0, nullptr},
};

// name -> a tuple of the names of `fields`, in the module.
int add_names(PyObject* module, const char* name, const std::vector<columnar::Field>& fields) {
    Ref names(names_of(fields));
    return names ? PyModule_AddObjectRef(module, name, names.get()) : -1;
}

// KDD'99's 28 features that are not about content, as the connection table names them.
int add_kdd_columns(PyObject* module) {
    std::vector<columnar::Field> fields;
    for (int c : engine::kKddColumns) fields.push_back(engine::kConnectionFields[c]);
    return add_names(module, "KDD_COLUMNS", fields);
}

template <std::size_t N>
std::vector<columnar::Field> all(const columnar::Field (&fields)[N]) {
    return std::vector<columnar::Field>(std::begin(fields), std::end(fields));
}

int exec_module(PyObject* module) {
    State* st = state_of<State>(module);
    for (PyType_Spec* spec : {&scan_spec, &connections_spec, &events_spec, &assembly_spec, &merge_spec,
                              &carry_spec, &live_spec}) {
        Ref type(PyType_FromModuleAndSpec(module, spec, nullptr));
        if (!type || PyModule_AddObjectRef(module, std::strrchr(spec->name, '.') + 1, type.get()) < 0) return -1;
    }
    if (!(st->shard_rows_type = PyType_FromModuleAndSpec(module, &rows_spec, nullptr))) return -1;
    if (PyModule_AddObjectRef(module, "ShardRows", st->shard_rows_type) < 0) return -1;
    if (!(st->memory_file_type = PyType_FromModuleAndSpec(module, &memory_spec, nullptr))) return -1;
    if (PyModule_AddObjectRef(module, "MemoryFile", st->memory_file_type) < 0) return -1;
    // Every column list and default the Python side uses, written once, here.
    if (add_names(module, "PACKET_COLUMNS", all(engine::kPacketFields)) < 0 ||
        add_names(module, "FEATURE_COLUMNS", all(engine::kFeatureFields)) < 0 ||
        add_names(module, "LABEL_COLUMNS", all(engine::kLabelFields)) < 0 ||
        add_names(module, "ALERT_COLUMNS", all(alerts::kAlertFields)) < 0 ||
        add_names(module, "CONNECTION_COLUMNS", all(engine::kConnectionFields)) < 0 ||
        add_kdd_columns(module) < 0 ||
        PyModule_AddIntConstant(module, "DEFAULT_BATCH_ROWS", static_cast<long>(columnar::kDefaultBatchRows)) < 0 ||
        PyModule_AddIntConstant(module, "MAX_SNAPLEN", static_cast<long>(capture::kMaxCaplen)) < 0 ||
        PyModule_AddIntConstant(module, "CLASSIC_HEADER_BYTES", static_cast<long>(capture::kFileHeaderLen)) < 0 ||
        PyModule_AddIntConstant(module, "DEFAULT_BUFFER_BYTES", static_cast<long>(engine::kDefaultBufferBytes)) < 0) {
        return -1;
    }
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
