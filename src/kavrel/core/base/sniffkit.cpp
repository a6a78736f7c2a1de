// sniffkit: decoded packets from a live device or a capture file, one dict per
// IPv4/IPv6 frame, through two native generators (start_sniff, read_pcap).
#include "packet_capture.hpp"
#include "packet_record.hpp"
#include "columnar/text.hpp"
#include "py/args.hpp"
#include "py/generator.hpp"
#include "py/module.hpp"
#include "py/ref.hpp"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace kavrel {
namespace {

constexpr const char kModuleDoc[] = "Giải mã gói tin Ethernet/IPv4/IPv6/TCP/UDP/ICMP từ card mạng hoặc file PCAP.";
constexpr CaptureMessages kMessages{
    "Could not open device: ",
    "Could not open file: ",
    "Could not read from device: ",
    "Could not read from file: ",
};
constexpr const char* kDateFormat = "%Y-%m-%d %H:%M:%S";
constexpr Py_ssize_t kFixedKeys = 12;

struct CaptureRun;
using CaptureGenerator = Generator<CaptureRun>;

// ---- module state -------------------------------------------------------------

struct State {
    // dictionary keys
    PyObject* success;
    PyObject* timestamp;
    PyObject* date_time;
    PyObject* frame_length;
    PyObject* src_mac;
    PyObject* dst_mac;
    PyObject* ip_proto;
    PyObject* ip_id;
    PyObject* wrong_fragment;
    PyObject* land;
    PyObject* src_port;
    PyObject* dst_port;
    PyObject* version;
    PyObject* src_ip;
    PyObject* dst_ip;
    PyObject* protocol_type;
    PyObject* tcp_flag;
    PyObject* tcp_seq;
    PyObject* tcp_ack;
    PyObject* urgent;
    PyObject* udp_length;
    PyObject* icmp_type;
    PyObject* icmp_code;
    // values
    PyObject* ipv4;
    PyObject* ipv6;
    PyObject* tcp;
    PyObject* udp;
    PyObject* icmp;
    PyObject* others;
    PyObject* date_format;
    // names of the globals and attributes the texts come from
    PyObject* time_name;
    PyObject* socket_name;
    PyObject* localtime_name;
    PyObject* strftime_name;
    PyObject* inet_ntop_name;
    PyObject* af_inet6_name;
    // The namespaces a global is looked up in, and what `time` and `socket`
    // held at import. While those are unchanged the texts are made natively,
    // which gives the same text as calling them; a replacement is called.
    PyObject* globals;
    PyObject* builtins;
    PyObject* time_module;
    PyObject* localtime;
    PyObject* strftime;
    PyObject* socket_module;
    PyObject* inet_ntop;
    PyObject* af_inet6;
    PyObject* live_generator;  // the generator types
    PyObject* file_generator;

    template <class F>
    int for_each_ref(F&& f) {
        for (PyObject** slot : {&success, &timestamp, &date_time, &frame_length, &src_mac, &dst_mac, &ip_proto,
                                &ip_id, &wrong_fragment, &land, &src_port, &dst_port, &version, &src_ip, &dst_ip,
                                &protocol_type, &tcp_flag, &tcp_seq, &tcp_ack, &urgent, &udp_length, &icmp_type,
                                &icmp_code, &ipv4, &ipv6, &tcp, &udp, &icmp, &others, &date_format, &time_name,
                                &socket_name, &localtime_name, &strftime_name, &inet_ntop_name, &af_inet6_name,
                                &globals, &builtins, &time_module, &localtime, &strftime, &socket_module,
                                &inet_ntop, &af_inet6, &live_generator, &file_generator}) {
            if (int rc = f(*slot)) return rc;
        }
        return 0;
    }
};

constexpr NameText<State> kNames[] = {
    {&State::success, "success"}, {&State::timestamp, "timestamp"}, {&State::date_time, "date_time"},
    {&State::frame_length, "frame_length"}, {&State::src_mac, "src_mac"}, {&State::dst_mac, "dst_mac"},
    {&State::ip_proto, "ip_proto"}, {&State::ip_id, "ip_id"}, {&State::wrong_fragment, "wrong_fragment"},
    {&State::land, "land"}, {&State::src_port, "src_port"}, {&State::dst_port, "dst_port"},
    {&State::version, "version"}, {&State::src_ip, "src_ip"}, {&State::dst_ip, "dst_ip"},
    {&State::protocol_type, "protocol_type"}, {&State::tcp_flag, "tcp_flag"}, {&State::tcp_seq, "tcp_seq"},
    {&State::tcp_ack, "tcp_ack"}, {&State::urgent, "urgent"}, {&State::udp_length, "udp_length"},
    {&State::icmp_type, "icmp_type"}, {&State::icmp_code, "icmp_code"}, {&State::ipv4, "IPv4"},
    {&State::ipv6, "IPv6"}, {&State::tcp, "TCP"}, {&State::udp, "UDP"}, {&State::icmp, "ICMP"},
    {&State::others, "Others"}, {&State::date_format, kDateFormat}, {&State::time_name, "time"},
    {&State::socket_name, "socket"}, {&State::localtime_name, "localtime"}, {&State::strftime_name, "strftime"},
    {&State::inet_ntop_name, "inet_ntop"}, {&State::af_inet6_name, "AF_INET6"},
};

// ---- texts --------------------------------------------------------------------

PyObject* mac_text(const uint8_t* mac) {
    PyObject* s = PyUnicode_New(columnar::kMacTextLen, 127);
    if (!s) return nullptr;
    columnar::format_mac(mac, static_cast<char*>(PyUnicode_DATA(s)));
    return s;
}

// Dotted decimal, as inet_ntoa writes it, without its thread-local buffer.
PyObject* ipv4_text(uint32_t addr_frame_order) {
    uint8_t b[4];
    std::memcpy(b, &addr_frame_order, 4);
    char buf[16];
    char* p = buf;
    for (int i = 0; i < 4; ++i) {
        const unsigned v = b[i];
        if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
        if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
        *p++ = static_cast<char>('0' + v % 10);
        if (i < 3) *p++ = '.';
    }
    return PyUnicode_DecodeASCII(buf, p - buf, nullptr);
}

// True while `module.attr` is still the object captured at import. For a
// plain module object its namespace is all attribute lookup consults; a module
// whose class was replaced is left to the ordinary lookup.
bool attr_is(PyObject* module, PyObject* attr, PyObject* expected) {
    if (!Py_IS_TYPE(module, &PyModule_Type)) return false;
    return PyDict_GetItemWithError(PyModule_GetDict(module), attr) == expected;
}

// Per-generator memory of the last texts made: consecutive packets often
// share a second, MAC pair or address, and str objects are immutable.
struct TextCache {
    struct Slot {
        Ref text;
        uint8_t key[16];
    };
    Slot src_mac, dst_mac, src_ip, dst_ip, src_ip6, dst_ip6;
    Ref date_text;
    int date_fields[6] = {};

    template <class Make>
    static PyObject* get(Slot& slot, const void* key, std::size_t size, Make&& make) {
        if (slot.text && std::memcmp(slot.key, key, size) == 0) return Py_NewRef(slot.text.get());
        PyObject* text = make();
        if (!text) return nullptr;
        std::memcpy(slot.key, key, size);
        slot.text.reset(Py_NewRef(text));
        return text;
    }
};

PyObject* date_time_by_call(const State* st, PyObject* time_module, int32_t ts_sec) {
    Ref strftime(PyObject_GetAttr(time_module, st->strftime_name));
    if (!strftime) return nullptr;
    Ref localtime(PyObject_GetAttr(time_module, st->localtime_name));
    if (!localtime) return nullptr;
    Ref seconds(PyLong_FromLong(ts_sec));
    if (!seconds) return nullptr;
    Ref local(PyObject_CallOneArg(localtime.get(), seconds.get()));
    if (!local) return nullptr;
    return PyObject_CallFunctionObjArgs(strftime.get(), st->date_format, local.get(), nullptr);
}

// time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(ts_sec)), honouring a
// replaced `time` global or replaced functions in the time module.
PyObject* date_time_text(const State* st, int32_t ts_sec, TextCache& cache) {
    Ref time_module(lookup_global(st->globals, st->builtins, st->time_name));
    if (!time_module) return nullptr;
    if (time_module.get() != st->time_module || !attr_is(st->time_module, st->localtime_name, st->localtime) ||
        !attr_is(st->time_module, st->strftime_name, st->strftime)) {
        if (PyErr_Occurred()) return nullptr;
        return date_time_by_call(st, time_module.get(), ts_sec);
    }
    // The host's time.localtime is localtime_r: same zone rules, same tzset() state.
    const time_t t = ts_sec;
    tm local;
    if (!localtime_r(&t, &local)) return date_time_by_call(st, time_module.get(), ts_sec);
    const int fields[6] = {local.tm_year, local.tm_mon, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
    if (cache.date_text && std::memcmp(fields, cache.date_fields, sizeof fields) == 0) {
        return Py_NewRef(cache.date_text.get());
    }
    const long year = local.tm_year + 1900L;
    if (year < 1000 || year > 9999) return date_time_by_call(st, time_module.get(), ts_sec);
    char buf[20];
    const int n = std::snprintf(buf, sizeof buf, "%04ld-%02d-%02d %02d:%02d:%02d", year, local.tm_mon + 1,
                                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    PyObject* text = PyUnicode_DecodeASCII(buf, n, nullptr);
    if (!text) return nullptr;
    std::memcpy(cache.date_fields, fields, sizeof fields);
    cache.date_text.reset(Py_NewRef(text));
    return text;
}

// socket.inet_ntop(socket.AF_INET6, bytes(addr)), natively while `socket` is untouched.
PyObject* ipv6_text(const State* st, const uint8_t* addr, TextCache::Slot& slot) {
    Ref socket_module(lookup_global(st->globals, st->builtins, st->socket_name));
    if (!socket_module) return nullptr;
    if (socket_module.get() == st->socket_module && attr_is(st->socket_module, st->inet_ntop_name, st->inet_ntop) &&
        attr_is(st->socket_module, st->af_inet6_name, st->af_inet6)) {
        return TextCache::get(slot, addr, 16, [addr] {
            char buf[INET6_ADDRSTRLEN];
            if (!inet_ntop(AF_INET6, addr, buf, sizeof buf)) return PyErr_SetFromErrno(PyExc_OSError);
            return PyUnicode_DecodeASCII(buf, static_cast<Py_ssize_t>(std::strlen(buf)), nullptr);
        });
    }
    if (PyErr_Occurred()) return nullptr;
    Ref inet_ntop_fn(PyObject_GetAttr(socket_module.get(), st->inet_ntop_name));
    if (!inet_ntop_fn) return nullptr;
    Ref family(PyObject_GetAttr(socket_module.get(), st->af_inet6_name));
    if (!family) return nullptr;
    Ref packed(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(addr), 16));
    if (!packed) return nullptr;
    return PyObject_CallFunctionObjArgs(inet_ntop_fn.get(), family.get(), packed.get(), nullptr);
}

// ---- the packet dictionary ------------------------------------------------------

// `rec` is a decoded record: its version is 4 or 6.
PyObject* packet_dict(const State* st, const PacketRecord& rec, TextCache& cache) {
    const bool tcp = rec.ip_proto == decode::proto::kTcp;
    const bool udp = rec.ip_proto == decode::proto::kUdp;
    const bool icmp = decode::is_icmp(rec.ip_proto);
    Ref dict(new_dict(kFixedKeys + 3 + (tcp ? 5 : udp ? 2 : icmp ? 3 : 1)));
    if (!dict) return nullptr;
    PyObject* d = dict.get();

    if (PyDict_SetItem(d, st->success, Py_True) < 0) return nullptr;
    if (!put(d, st->timestamp, PyFloat_FromDouble(rec.timestamp))) return nullptr;
    if (!put(d, st->date_time, date_time_text(st, rec.ts_sec, cache))) return nullptr;
    if (!put(d, st->frame_length, PyLong_FromUnsignedLong(rec.frame_length))) return nullptr;
    if (!put(d, st->src_mac, cache.get(cache.src_mac, rec.src_mac, 6, [&] { return mac_text(rec.src_mac); })))
        return nullptr;
    if (!put(d, st->dst_mac, cache.get(cache.dst_mac, rec.dst_mac, 6, [&] { return mac_text(rec.dst_mac); })))
        return nullptr;
    if (!put(d, st->ip_proto, PyLong_FromLong(rec.ip_proto))) return nullptr;
    if (!put(d, st->ip_id, PyLong_FromLong(rec.ip_id))) return nullptr;
    if (!put(d, st->wrong_fragment, PyLong_FromLong(rec.wrong_fragment))) return nullptr;
    if (!put(d, st->land, PyLong_FromLong(rec.land))) return nullptr;
    if (!put(d, st->src_port, PyLong_FromLong(rec.src_port))) return nullptr;
    if (!put(d, st->dst_port, PyLong_FromLong(rec.dst_port))) return nullptr;

    if (rec.version == 4) {
        if (PyDict_SetItem(d, st->version, st->ipv4) < 0) return nullptr;
        if (!put(d, st->src_ip, cache.get(cache.src_ip, &rec.src_ip, 4, [&] { return ipv4_text(rec.src_ip); })))
            return nullptr;
        if (!put(d, st->dst_ip, cache.get(cache.dst_ip, &rec.dst_ip, 4, [&] { return ipv4_text(rec.dst_ip); })))
            return nullptr;
    } else {
        if (PyDict_SetItem(d, st->version, st->ipv6) < 0) return nullptr;
        if (!put(d, st->src_ip, ipv6_text(st, rec.src_ip6, cache.src_ip6))) return nullptr;
        if (!put(d, st->dst_ip, ipv6_text(st, rec.dst_ip6, cache.dst_ip6))) return nullptr;
    }

    if (tcp) {
        if (PyDict_SetItem(d, st->protocol_type, st->tcp) < 0) return nullptr;
        if (!put(d, st->tcp_flag, PyLong_FromLong(rec.tcp_flag))) return nullptr;
        if (!put(d, st->tcp_seq, PyLong_FromUnsignedLong(rec.tcp_seq))) return nullptr;
        if (!put(d, st->tcp_ack, PyLong_FromUnsignedLong(rec.tcp_ack))) return nullptr;
        if (!put(d, st->urgent, PyLong_FromLong(rec.urgent))) return nullptr;
    } else if (udp) {
        if (PyDict_SetItem(d, st->protocol_type, st->udp) < 0) return nullptr;
        if (!put(d, st->udp_length, PyLong_FromLong(rec.udp_length))) return nullptr;
    } else if (icmp) {
        if (PyDict_SetItem(d, st->protocol_type, st->icmp) < 0) return nullptr;
        if (!put(d, st->icmp_type, PyLong_FromLong(rec.icmp_type))) return nullptr;
        if (!put(d, st->icmp_code, PyLong_FromLong(rec.icmp_code))) return nullptr;
    } else {
        if (PyDict_SetItem(d, st->protocol_type, st->others) < 0) return nullptr;
    }
    return dict.release();
}

// ---- one capture run --------------------------------------------------------------

struct CaptureRun {
    const State* st;  // kept alive by the generator's type, which holds the module
    PacketCapture capture;
    PacketRecord rec{};
    TextCache cache;

    CaptureRun(const State* state, bool live, PyObject* source) : st(state), capture(source, live) {}

    PyObject* resume() {
        if (!capture.next(rec, kMessages)) return nullptr;
        return packet_dict(st, rec, cache);
    }
    void finish() noexcept { capture.close(); }
};

// ---- Python-facing functions ----------------------------------------------------

PyObject* start_sniff(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const State* st = state_of<State>(module);
    return make_generator<CaptureGenerator>(st->live_generator, "start_sniff", "device_name", args, nargs, kwnames,
                                            st, true);
}

PyObject* read_pcap(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const State* st = state_of<State>(module);
    return make_generator<CaptureGenerator>(st->file_generator, "read_pcap", "file_path", args, nargs, kwnames, st,
                                            false);
}

PyMethodDef methods[] = {
    {"start_sniff", as_cfunction(start_sniff), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("start_sniff($module, /, device_name)\n--\n\n"
               "Bắt gói tin trực tiếp từ card mạng; trả về generator sinh một dict cho mỗi gói IPv4/IPv6.")},
    {"read_pcap", as_cfunction(read_pcap), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("read_pcap($module, /, file_path)\n--\n\n"
               "Đọc file PCAP; trả về generator sinh một dict cho mỗi gói IPv4/IPv6.")},
    {nullptr, nullptr, 0, nullptr},
};

// ---- module init ------------------------------------------------------------------

// Imports time, then socket, into the module and remembers what they held.
int exec_module(PyObject* module) {
    State* st = state_of<State>(module);
    if (!intern_names(st, kNames)) return -1;
    st->live_generator = CaptureGenerator::make_type(module, "kavrel.core.base.sniffkit.start_sniff_generator",
                                                     "Generator of packet dictionaries captured from a live device.");
    if (!st->live_generator) return -1;
    st->file_generator = CaptureGenerator::make_type(module, "kavrel.core.base.sniffkit.read_pcap_generator",
                                                     "Generator of packet dictionaries read from a capture file.");
    if (!st->file_generator) return -1;
    st->globals = Py_NewRef(PyModule_GetDict(module));
    if (!(st->builtins = builtins_namespace())) return -1;
    struct Import {
        const char* name;
        PyObject** module;
        PyObject* attr_a;
        PyObject** value_a;
        PyObject* attr_b;
        PyObject** value_b;
    };
    const Import imports[] = {
        {"time", &st->time_module, st->localtime_name, &st->localtime, st->strftime_name, &st->strftime},
        {"socket", &st->socket_module, st->inet_ntop_name, &st->inet_ntop, st->af_inet6_name, &st->af_inet6},
    };
    for (const Import& imp : imports) {
        if (!(*imp.module = import_into(module, imp.name))) return -1;
        if (!(*imp.value_a = PyObject_GetAttr(*imp.module, imp.attr_a))) return -1;
        if (!(*imp.value_b = PyObject_GetAttr(*imp.module, imp.attr_b))) return -1;
    }
    return 0;
}

}  // namespace
}  // namespace kavrel

PyMODINIT_FUNC PyInit_sniffkit(void) {
    using namespace kavrel;
    return PyModuleDef_Init(module_definition<State, exec_module>("sniffkit", kModuleDoc, methods));
}
