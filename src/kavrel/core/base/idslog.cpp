// The idslog module: parses Snort fast-alert lines, tests IPv4 addresses against
// an internal subnet, and converts a whole fast-alert log into a CSV file.
//
// Matching and CSV writing are left to the host's re and csv modules so that the
// output is exactly what Python code using them would produce; what this file does
// natively is the loop around them and the subnet test.

#include "py/args.hpp"
#include "py/module.hpp"
#include "py/ref.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>

namespace {

using kavrel::Ref;

// ---- constants ------------------------------------------------------------

// One fast-alert line: time (with or without a year), rule id, message, the
// optional classification and priority, protocol, source and destination
// (each as written, ports included).
constexpr char kSnortPatternText[] =
    R"re((?P<ts>\d+/\d+(?:/\d+)?-\d+:\d+:\d+\.\d+)\s+\[\*\*\]\s+\[(?P<sid>\d+:\d+:\d+)\]\s+(?P<msg>.*?) \[\*\*\]\s+(?:\[Classification: (?P<class>.*?)\]\s+)?(?:\[Priority: (?P<pri>\d+)\]\s+)?{(?P<proto>[^}]+)}\s+(?P<src>.*?) -> ?(?P<dst>.*))re";
static_assert(sizeof(kSnortPatternText) - 1 == 231);

// Each docstring starts with the call signature for introspection; the host
// strips it (up to "--") from __doc__, which keeps the text after it.
constexpr const char kParseDoc[] = "parse_snort_line($module, /, line)\n--\n\nBóc tách dòng log với kiểu trả về dict rõ ràng.";
constexpr const char kIsInternalDoc[] =
    "is_internal($module, /, ip_str, subnet_str)\n--\n\n"
    "\n"
    "    Kiểm tra IP thuộc Subnet siêu tốc bằng phép toán Bitwise C.\n"
    "    (Hỗ trợ IPv4. Ví dụ subnet_str: '192.168.1.0/24')\n"
    "    ";
constexpr const char kProcessDoc[] =
    "process_alerts_to_csv($module, /, alert_log_path, ip_range)\n--\n\n"
    "\n"
    "    API End-to-End: Đọc file log Snort thô, bóc tách đặc trưng,\n"
    "    định hình thực thể hướng mạng và kết xuất ra file CSV sạch.\n"
    "    ";

// A prefix length this large or larger compares whole addresses.
constexpr long kFullPrefix = 32;
// Port suffix accepted after an address in the converter ("10.0.0.1:443").
constexpr Py_ssize_t kMaxPortDigits = 5;
constexpr long kMaxPort = 65535;
// Address part copied out of "address:port"; longer text cannot be dotted-decimal
// ("255.255.255.255" is 15 bytes) and is tested as it stands.
constexpr std::size_t kAddressBuf = 64;

// Columns of the CSV file: the eight alert fields in key order, then the flags.
constexpr int kColumns = 10;
constexpr int kSrcColumn = 6;
constexpr int kDstColumn = 7;
constexpr int kSrcInsideColumn = 8;
constexpr int kDstInsideColumn = 9;

// Strings the module uses by identity: names it looks up, keys of the parsed
// alert, the CSV header and the arguments given to open().
enum Text : int {
    kSnortPatternName, kOsName, kCsvName, kPathName, kExistsName, kWriterName,
    kWriterowName, kSearchName, kGroupdictName, kStripName, kEnterName, kExitName,
    kCompileName, kOpenName, kEncodingName, kErrorsName, kNewlineName,
    kKeyTs, kKeySid, kKeyMsg, kKeyClass, kKeyPri, kKeyProto, kKeySrc, kKeyDst,  // in column order
    kHeaderFirst,
    kModeRead = kHeaderFirst + kColumns, kModeWrite, kUtf8, kIgnore, kEmpty, kCsvSuffix,
    kTextCount
};

constexpr const char* kTexts[kTextCount] = {
    "SNORT_PATTERN", "os", "csv", "path", "exists", "writer",
    "writerow", "search", "groupdict", "strip", "__enter__", "__exit__",
    "compile", "open", "encoding", "errors", "newline",
    "ts", "sid", "msg", "class", "pri", "proto", "src", "dst",
    "timestamp", "sid", "msg", "classification", "priority", "protocol",
    "src_ip", "dst_ip", "is_src_internal", "is_dst_internal",
    "r", "w", "utf-8", "ignore", "", ".csv",
};
constexpr bool every_text_given() {
    for (const char* text : kTexts)
        if (!text) return false;
    return true;
}
static_assert(every_text_given(), "kTexts must name every Text");
static_assert(kKeySrc - kKeyTs == kSrcColumn && kKeyDst - kKeyTs == kDstColumn);

// ---- module state ---------------------------------------------------------

struct State {
    PyObject* globals;        // the module namespace
    PyObject* builtins;       // where names missing from it are looked up
    PyObject* open;           // builtins.open as it was at import
    PyObject* read_kwnames;   // ("encoding", "errors") for the log
    PyObject* write_kwnames;  // ("newline", "encoding") for the CSV file
    PyObject* text[kTextCount];

    template <typename F>
    int for_each_ref(F&& f) {
        for (PyObject** slot : {&globals, &builtins, &open, &read_kwnames, &write_kwnames})
            if (int rc = f(*slot)) return rc;
        for (PyObject*& slot : text)
            if (int rc = f(slot)) return rc;
        return 0;
    }
};

State* state_of(PyObject* module) { return kavrel::state_of<State>(module); }

// A global name as Python code in this module sees it, so that rebinding a
// module attribute takes effect at once.
PyObject* lookup_global(PyObject* module, PyObject* name) {
    const State* st = state_of(module);
    return kavrel::lookup_global(st->globals, st->builtins, name);
}

// ---- alert line parser ----------------------------------------------------

// Native entry of parse_snort_line: a new reference to the match's groupdict(),
// each group that took no part in the match (an alert without classification
// or priority) as "", or to None; nullptr with an exception set.
PyObject* parse_line(PyObject* module, PyObject* line) {
    State* st = state_of(module);
    Ref pattern(lookup_global(module, st->text[kSnortPatternName]));
    if (!pattern) return nullptr;
    PyObject* search_args[] = {pattern.get(), line};
    Ref match(PyObject_VectorcallMethod(st->text[kSearchName], search_args, 2, nullptr));
    if (!match || match.get() == Py_None) return match.release();
    PyObject* groupdict_args[] = {match.get()};
    Ref groups(PyObject_VectorcallMethod(st->text[kGroupdictName], groupdict_args, 1, nullptr));
    if (!groups || groups.get() == Py_None) return groups.release();
    if (!PyDict_CheckExact(groups.get())) {
        // Only a pattern object put in place of the compiled one gets here.
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(groups.get())->tp_name);
        return nullptr;
    }
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(groups.get(), &pos, &key, &value)) {
        // Replacing a value of an existing key does not disturb the iteration.
        if (value == Py_None && PyDict_SetItem(groups.get(), key, st->text[kEmpty]) < 0) return nullptr;
    }
    return groups.release();
}

// ---- subnet test ----------------------------------------------------------

// An internal subnet, parsed once; network and mask in host byte order.
// `valid` false means no address is inside.
struct Subnet {
    bool valid = false;
    std::uint32_t network = 0;
    std::uint32_t mask = 0;
};

// Dotted-decimal IPv4 text to a host-order address.
bool parse_ipv4(const char* text, std::uint32_t& out) {
    in_addr addr;
    if (inet_pton(AF_INET, text, &addr) != 1) return false;
    out = ntohl(addr.s_addr);
    return true;
}

// NUL-terminated UTF-8 of a str; nullptr, with the error cleared, if it has none
// (lone surrogates). Text holding a NUL is no address either: C would read only
// the part before it.
const char* utf8_of(PyObject* text, Py_ssize_t& size) {
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) {
        PyErr_Clear();
        return nullptr;
    }
    return std::strlen(utf8) == static_cast<std::size_t>(size) ? utf8 : nullptr;
}

// Prefix length as int() reads the text after the first "/", within the signed
// 32-bit range; false for anything else.
bool parse_prefix(PyObject* part, long& prefix) {
    Ref value(PyLong_FromUnicodeObject(part, 10));
    if (!value) {
        PyErr_Clear();
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX) return false;
    prefix = static_cast<long>(v);
    return true;
}

// "A.B.C.D/N" or "A.B.C.D" (meaning /32); text after a second "/" is ignored.
// Never leaves an exception set: every failure is an empty subnet.
Subnet parse_subnet(PyObject* subnet_text) {
    Subnet subnet;
    if (subnet_text == Py_None) return subnet;
    const Py_ssize_t len = PyUnicode_GET_LENGTH(subnet_text);
    if (len == 0) return subnet;

    long prefix = kFullPrefix;
    Py_ssize_t network_end = PyUnicode_FindChar(subnet_text, '/', 0, len, 1);
    if (network_end < 0) {
        network_end = len;
    } else {
        Py_ssize_t prefix_end = PyUnicode_FindChar(subnet_text, '/', network_end + 1, len, 1);
        if (prefix_end < 0) prefix_end = len;
        Ref part(PyUnicode_Substring(subnet_text, network_end + 1, prefix_end));
        if (!part) {
            PyErr_Clear();
            return subnet;
        }
        // A negative length has no mask: nothing is inside.
        if (!parse_prefix(part.get(), prefix) || prefix < 0) return subnet;
    }

    Ref network_text(PyUnicode_Substring(subnet_text, 0, network_end));
    if (!network_text) {
        PyErr_Clear();
        return subnet;
    }
    Py_ssize_t size = 0;
    const char* utf8 = utf8_of(network_text.get(), size);
    std::uint32_t network = 0;
    if (!utf8 || !parse_ipv4(utf8, network)) return subnet;

    subnet.mask = prefix >= kFullPrefix ? 0xFFFFFFFFu
                  : prefix == 0         ? 0u
                                        : 0xFFFFFFFFu << (kFullPrefix - prefix);
    subnet.network = network & subnet.mask;
    subnet.valid = true;
    return subnet;
}

// When `text` is "address:port" with a port of one to five ASCII digits up to
// 65535, copies the address part into `buf` and returns it; otherwise returns
// `text`. Only the converter does this: alerts carry ports, subnets never do.
const char* without_port(const char* text, Py_ssize_t size, char (&buf)[kAddressBuf]) {
    Py_ssize_t digits = 0;
    long port = 0;
    for (long scale = 1; digits < size && digits <= kMaxPortDigits; ++digits, scale *= 10) {
        const char c = text[size - 1 - digits];
        if (c < '0' || c > '9') break;
        port += (c - '0') * scale;
    }
    const Py_ssize_t colon = size - 1 - digits;
    if (digits == 0 || digits > kMaxPortDigits || port > kMaxPort || colon < 0 || text[colon] != ':' ||
        static_cast<std::size_t>(colon) >= kAddressBuf)
        return text;
    std::memcpy(buf, text, static_cast<std::size_t>(colon));
    buf[colon] = '\0';
    return buf;
}

// 1 when the address text (a str, or None) lies inside `subnet`, else 0.
int address_inside(const Subnet& subnet, PyObject* ip_text, bool port_allowed) {
    if (!subnet.valid || ip_text == Py_None) return 0;
    Py_ssize_t size = 0;
    const char* utf8 = utf8_of(ip_text, size);
    if (!utf8 || size == 0) return 0;
    char buf[kAddressBuf];
    if (port_allowed) utf8 = without_port(utf8, size, buf);
    std::uint32_t address = 0;
    if (!parse_ipv4(utf8, address)) return 0;
    return (address & subnet.mask) == subnet.network ? 1 : 0;
}

// Native entry of is_internal: takes two str objects (either may be None) and
// never raises.
std::int32_t is_internal(PyObject* ip_text, PyObject* subnet_text) {
    if (ip_text == Py_None || PyUnicode_GET_LENGTH(ip_text) == 0) return 0;
    return address_inside(parse_subnet(subnet_text), ip_text, false);
}

// ---- alert log to CSV -----------------------------------------------------

// str.strip() for an exact str: the same whitespace rule, and the same object
// back when there is nothing to remove.
PyObject* strip_text(PyObject* text) {
    const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t start = 0;
    Py_ssize_t end = len;
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    return PyUnicode_Substring(text, start, end);
}

// A value of the parsed alert; a missing key raises KeyError as alert[key] would.
PyObject* alert_field(PyObject* alert, PyObject* key) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(alert, key, &value) == 0) PyErr_SetObject(PyExc_KeyError, key);
    return value;
}

// The native parser and subnet test take str or None; other values come only
// from a replaced pattern object.
bool check_str_or_none(PyObject* value) {
    if (value == Py_None || PyUnicode_CheckExact(value)) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(value)->tp_name);
    return false;
}

// One `with` block: the bound __exit__ and what __enter__ returned.
struct Context {
    Ref exit;
    Ref value;
};

// Enters `manager` as a with statement does: both methods are looked up before
// __enter__ runs, so a manager without __exit__ is never entered.
bool enter_context(State* st, PyObject* manager, Context& ctx) {
    Ref enter(PyObject_GetAttr(manager, st->text[kEnterName]));
    if (!enter) return false;
    ctx.exit.reset(PyObject_GetAttr(manager, st->text[kExitName]));
    if (!ctx.exit) return false;
    ctx.value.reset(PyObject_CallNoArgs(enter.get()));
    return static_cast<bool>(ctx.value);
}

// Leaves a with block. `failed` means the body raised: its exception is handed
// to __exit__ and stays raised unless __exit__ returns a true value. Returns
// true when the code after the block goes on (no exception set).
bool exit_context(PyObject* exit, bool failed) {
    if (!failed) {
        PyObject* args[] = {Py_None, Py_None, Py_None};
        Ref result(PyObject_Vectorcall(exit, args, 3, nullptr));
        return static_cast<bool>(result);
    }
    PyObject* exc = PyErr_GetRaisedException();
    Ref traceback(PyException_GetTraceback(exc));
    PyObject* args[] = {reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc, traceback ? traceback.get() : Py_None};
    // While __exit__ runs the exception is the one being handled, so anything
    // raised there gets it as __context__.
    PyObject* outer = PyErr_GetHandledException();
    PyErr_SetHandledException(exc);
    Ref result(PyObject_Vectorcall(exit, args, 3, nullptr));
    const int swallowed = result ? PyObject_IsTrue(result.get()) : -1;
    PyErr_SetHandledException(outer);
    Py_XDECREF(outer);
    if (swallowed == 0) {
        PyErr_SetRaisedException(exc);
        return false;
    }
    Py_DECREF(exc);
    return swallowed > 0;
}

PyObject* make_header(State* st) {
    PyObject* header = PyList_New(kColumns);
    if (!header) return nullptr;
    for (int i = 0; i < kColumns; ++i) PyList_SET_ITEM(header, i, Py_NewRef(st->text[kHeaderFirst + i]));
    return header;
}

// One data row: the alert's texts in column order, then the two flags.
PyObject* make_row(State* st, PyObject* alert, Ref& src, Ref& dst, int src_inside, int dst_inside) {
    Ref row(PyList_New(kColumns));
    if (!row) return nullptr;
    for (int column = 0; column < kSrcColumn; ++column) {
        PyObject* value = alert_field(alert, st->text[kKeyTs + column]);
        if (!value) return nullptr;
        PyList_SET_ITEM(row.get(), column, value);
    }
    PyList_SET_ITEM(row.get(), kSrcColumn, src.release());
    PyList_SET_ITEM(row.get(), kDstColumn, dst.release());
    PyList_SET_ITEM(row.get(), kSrcInsideColumn, PyLong_FromLong(src_inside));  // small ints: cannot fail
    PyList_SET_ITEM(row.get(), kDstInsideColumn, PyLong_FromLong(dst_inside));
    return row.release();
}

// The body of the inner with block: header, then one row per alert line.
bool write_rows(PyObject* module, PyObject* log_file, PyObject* out_file, PyObject* header, PyObject* ip_range) {
    State* st = state_of(module);
    Ref csv(lookup_global(module, st->text[kCsvName]));
    if (!csv) return false;
    PyObject* writer_args[] = {csv.get(), out_file};
    Ref writer(PyObject_VectorcallMethod(st->text[kWriterName], writer_args, 2, nullptr));
    if (!writer) return false;
    Ref writerow(PyObject_GetAttr(writer.get(), st->text[kWriterowName]));
    if (!writerow) return false;
    if (!Ref(PyObject_CallOneArg(writerow.get(), header))) return false;

    // The subnet text cannot change during the call: parse it once.
    const Subnet subnet = parse_subnet(ip_range);
    Ref lines(PyObject_GetIter(log_file));
    if (!lines) return false;
    for (;;) {
        Ref line(PyIter_Next(lines.get()));
        if (!line) return !PyErr_Occurred();

        Ref stripped(PyUnicode_CheckExact(line.get())
                         ? strip_text(line.get())
                         : PyObject_CallMethodNoArgs(line.get(), st->text[kStripName]));
        if (!stripped) return false;
        if (PyUnicode_CheckExact(stripped.get())) {
            if (PyUnicode_GET_LENGTH(stripped.get()) == 0) continue;
        } else {
            const int nonempty = PyObject_IsTrue(stripped.get());
            if (nonempty <= 0) {
                if (nonempty < 0) return false;
                continue;
            }
            if (!check_str_or_none(stripped.get())) return false;
        }

        Ref alert(parse_line(module, stripped.get()));
        if (!alert) return false;
        if (alert.get() == Py_None) continue;

        Ref src(alert_field(alert.get(), st->text[kKeySrc]));
        if (!src || !check_str_or_none(src.get())) return false;
        const int src_inside = address_inside(subnet, src.get(), true);
        Ref dst(alert_field(alert.get(), st->text[kKeyDst]));
        if (!dst || !check_str_or_none(dst.get())) return false;
        const int dst_inside = address_inside(subnet, dst.get(), true);

        Ref row(make_row(st, alert.get(), src, dst, src_inside, dst_inside));
        if (!row || !Ref(PyObject_CallOneArg(writerow.get(), row.get()))) return false;
    }
}

// The body of the outer with block: opens the CSV file as the inner block.
bool write_csv(PyObject* module, PyObject* log_file, PyObject* out_path, PyObject* header, PyObject* ip_range) {
    State* st = state_of(module);
    PyObject* open_args[] = {out_path, st->text[kModeWrite], st->text[kEmpty], st->text[kUtf8]};
    Ref out_manager(PyObject_Vectorcall(st->open, open_args, 2, st->write_kwnames));
    if (!out_manager) return false;
    Context out;
    if (!enter_context(st, out_manager.get(), out)) return false;
    const bool ok = write_rows(module, log_file, out.value.get(), header, ip_range);
    return exit_context(out.exit.get(), !ok);
}

PyObject* convert(PyObject* module, PyObject* log_path, PyObject* ip_range) {
    State* st = state_of(module);
    Ref os(lookup_global(module, st->text[kOsName]));
    if (!os) return nullptr;
    Ref os_path(PyObject_GetAttr(os.get(), st->text[kPathName]));
    if (!os_path) return nullptr;
    PyObject* exists_args[] = {os_path.get(), log_path};
    Ref exists(PyObject_VectorcallMethod(st->text[kExistsName], exists_args, 2, nullptr));
    if (!exists) return nullptr;
    const int present = PyObject_IsTrue(exists.get());
    if (present < 0) return nullptr;
    if (!present) Py_RETURN_NONE;

    Ref out_path(PyNumber_Add(log_path, st->text[kCsvSuffix]));
    if (!out_path) return nullptr;
    Ref header(make_header(st));
    if (!header) return nullptr;

    PyObject* open_args[] = {log_path, st->text[kModeRead], st->text[kUtf8], st->text[kIgnore]};
    Ref log_manager(PyObject_Vectorcall(st->open, open_args, 2, st->read_kwnames));
    if (!log_manager) return nullptr;
    Context log;
    if (!enter_context(st, log_manager.get(), log)) return nullptr;
    const bool ok = write_csv(module, log.value.get(), out_path.get(), header.get(), ip_range);
    if (!exit_context(log.exit.get(), !ok)) return nullptr;
    return out_path.release();
}

// ---- Python-facing functions ----------------------------------------------

PyObject* py_parse_snort_line(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"line"};
    PyObject* values[1];
    if (!kavrel::parse_typed_args("parse_snort_line", names, &PyUnicode_Type, args, nargs, kwnames, values))
        return nullptr;
    return parse_line(module, values[0]);
}

PyObject* py_is_internal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"ip_str", "subnet_str"};
    PyObject* values[2];
    if (!kavrel::parse_typed_args("is_internal", names, &PyUnicode_Type, args, nargs, kwnames, values))
        return nullptr;
    return PyLong_FromLong(is_internal(values[0], values[1]));
}

PyObject* py_process_alerts_to_csv(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    static const char* const names[] = {"alert_log_path", "ip_range"};
    PyObject* values[2];
    if (!kavrel::parse_typed_args("process_alerts_to_csv", names, &PyUnicode_Type, args, nargs, kwnames, values))
        return nullptr;
    return convert(module, values[0], values[1]);
}

// ---- method table and module init -----------------------------------------

using kavrel::as_cfunction;

PyMethodDef idslog_methods[] = {
    {"parse_snort_line", as_cfunction(py_parse_snort_line), METH_FASTCALL | METH_KEYWORDS, kParseDoc},
    {"is_internal", as_cfunction(py_is_internal), METH_FASTCALL | METH_KEYWORDS, kIsInternalDoc},
    {"process_alerts_to_csv", as_cfunction(py_process_alerts_to_csv), METH_FASTCALL | METH_KEYWORDS,
     kProcessDoc},
    {nullptr, nullptr, 0, nullptr},
};

// Imports os, re and csv into the namespace, then compiles SNORT_PATTERN.
int exec_module(PyObject* module) {
    State* st = state_of(module);
    for (int i = 0; i < kTextCount; ++i)
        if (!(st->text[i] = PyUnicode_InternFromString(kTexts[i]))) return -1;
    st->read_kwnames = PyTuple_Pack(2, st->text[kEncodingName], st->text[kErrorsName]);
    st->write_kwnames = PyTuple_Pack(2, st->text[kNewlineName], st->text[kEncodingName]);
    if (!st->read_kwnames || !st->write_kwnames) return -1;
    st->globals = Py_NewRef(PyModule_GetDict(module));
    if (!(st->builtins = kavrel::builtins_namespace())) return -1;
    // Taken once: a later change to builtins.open does not reach the converter.
    if (!(st->open = PyObject_GetItem(st->builtins, st->text[kOpenName]))) return -1;

    Ref os(kavrel::import_into(module, "os"));
    if (!os) return -1;
    Ref re(kavrel::import_into(module, "re"));
    if (!re) return -1;
    Ref csv(kavrel::import_into(module, "csv"));
    if (!csv) return -1;

    Ref pattern_text(PyUnicode_FromStringAndSize(kSnortPatternText, sizeof(kSnortPatternText) - 1));
    if (!pattern_text) return -1;
    PyObject* compile_args[] = {re.get(), pattern_text.get()};
    Ref pattern(PyObject_VectorcallMethod(st->text[kCompileName], compile_args, 2, nullptr));
    if (!pattern) return -1;
    return PyModule_AddObjectRef(module, "SNORT_PATTERN", pattern.get());
}

}  // namespace

PyMODINIT_FUNC PyInit_idslog(void) {
    return PyModuleDef_Init(kavrel::module_definition<State, exec_module>("idslog", nullptr, idslog_methods));
}
