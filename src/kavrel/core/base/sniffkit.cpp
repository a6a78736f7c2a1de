// sniffkit: decoded packets from a live device or a capture file, one dict per
// IPv4/IPv6 frame, through two native generators (start_sniff, read_pcap).
#include "capture.hpp"
#include "packet_record.hpp"
#include "pyglue.hpp"

#include <arpa/inet.h>
#include <cstdio>
#include <ctime>

namespace kavrel {
namespace {

// ---- constants ------------------------------------------------------------

constexpr const char* kOpenDevicePrefix = "Could not open device: ";
constexpr const char* kOpenFilePrefix = "Could not open file: ";
constexpr const char* kReadDevicePrefix = "Could not read from device: ";
constexpr const char* kReadFilePrefix = "Could not read from file: ";
constexpr const char* kDateFormat = "%Y-%m-%d %H:%M:%S";
constexpr Py_ssize_t kFixedKeys = 12;

// Interned once at module init; the hot path only compares pointers.
struct Names {
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
    // globals and their attributes
    PyObject* time;
    PyObject* socket;
    PyObject* localtime;
    PyObject* strftime;
    PyObject* inet_ntop;
    PyObject* af_inet6;
} N;

// The module namespace and the objects its `time` and `socket` globals held at
// import. While they are unchanged the texts are computed natively, which gives
// the same bytes as calling them; a replaced module or function is called.
struct Host {
    PyObject* globals;
    PyObject* builtins;
    PyObject* time_module;
    PyObject* localtime;
    PyObject* strftime;
    PyObject* socket_module;
    PyObject* inet_ntop;
    PyObject* af_inet6;
} H;

// ---- native core: texts ---------------------------------------------------

constexpr char kHex[] = "0123456789abcdef";

PyObject* mac_text(const uint8_t* mac) {
    PyObject* s = PyUnicode_New(17, 127);
    if (!s) return nullptr;
    auto* out = static_cast<char*>(PyUnicode_DATA(s));
    for (int i = 0; i < 6; ++i) {
        out[3 * i] = kHex[mac[i] >> 4];
        out[3 * i + 1] = kHex[mac[i] & 0x0F];
        if (i < 5) out[3 * i + 2] = ':';
    }
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

// Looks a name up as the interpreter would for a module global: the module
// namespace, then the builtins. Returns a new reference or raises NameError.
PyObject* load_global(PyObject* name) {
    PyObject* value;
    if (PyDict_GetItemRef(H.globals, name, &value) != 0) return value;  // found, or error
    if (PyDict_GetItemRef(H.builtins, name, &value) != 0) return value;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

// True while `module.attr` is still the object captured at import. For a
// plain module object its namespace is all attribute lookup consults; a module
// whose class was replaced is left to the ordinary lookup.
bool attr_is(PyObject* module, PyObject* attr, PyObject* expected) {
    if (!Py_IS_TYPE(module, &PyModule_Type)) return false;
    PyObject* dict = PyModule_GetDict(module);
    return dict && PyDict_GetItemWithError(dict, attr) == expected;
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

PyObject* date_time_by_call(PyObject* time_module, int32_t ts_sec) {
    Ref strftime(PyObject_GetAttr(time_module, N.strftime));
    if (!strftime) return nullptr;
    Ref localtime(PyObject_GetAttr(time_module, N.localtime));
    if (!localtime) return nullptr;
    Ref seconds(PyLong_FromLong(ts_sec));
    if (!seconds) return nullptr;
    Ref local(PyObject_CallOneArg(localtime.get(), seconds.get()));
    if (!local) return nullptr;
    return PyObject_CallFunctionObjArgs(strftime.get(), N.date_format, local.get(), nullptr);
}

// time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(ts_sec)), honouring a
// replaced `time` global or replaced functions in the time module.
PyObject* date_time_text(int32_t ts_sec, TextCache& cache) {
    Ref time_module(load_global(N.time));
    if (!time_module) return nullptr;
    if (time_module.get() != H.time_module || !attr_is(H.time_module, N.localtime, H.localtime) ||
        !attr_is(H.time_module, N.strftime, H.strftime)) {
        if (PyErr_Occurred()) return nullptr;
        return date_time_by_call(time_module.get(), ts_sec);
    }
    // The host's time.localtime is localtime_r: same zone rules, same tzset() state.
    const time_t t = ts_sec;
    tm local;
    if (!localtime_r(&t, &local)) return date_time_by_call(time_module.get(), ts_sec);
    const int fields[6] = {local.tm_year, local.tm_mon, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
    if (cache.date_text && std::memcmp(fields, cache.date_fields, sizeof fields) == 0) {
        return Py_NewRef(cache.date_text.get());
    }
    const long year = local.tm_year + 1900L;
    if (year < 1000 || year > 9999) return date_time_by_call(time_module.get(), ts_sec);
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
PyObject* ipv6_text(const uint8_t* addr, TextCache::Slot& slot) {
    Ref socket_module(load_global(N.socket));
    if (!socket_module) return nullptr;
    if (socket_module.get() == H.socket_module && attr_is(H.socket_module, N.inet_ntop, H.inet_ntop) &&
        attr_is(H.socket_module, N.af_inet6, H.af_inet6)) {
        return TextCache::get(slot, addr, 16, [addr] {
            char buf[INET6_ADDRSTRLEN];
            if (!inet_ntop(AF_INET6, addr, buf, sizeof buf)) return PyErr_SetFromErrno(PyExc_OSError);
            return PyUnicode_DecodeASCII(buf, static_cast<Py_ssize_t>(std::strlen(buf)), nullptr);
        });
    }
    if (PyErr_Occurred()) return nullptr;
    Ref inet_ntop_fn(PyObject_GetAttr(socket_module.get(), N.inet_ntop));
    if (!inet_ntop_fn) return nullptr;
    Ref family(PyObject_GetAttr(socket_module.get(), N.af_inet6));
    if (!family) return nullptr;
    Ref packed(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(addr), 16));
    if (!packed) return nullptr;
    return PyObject_CallFunctionObjArgs(inet_ntop_fn.get(), family.get(), packed.get(), nullptr);
}

// ---- native core: the packet dictionary -----------------------------------


PyObject* packet_dict(const PacketRecord& rec, TextCache& cache) {
    const bool tcp = rec.ip_proto == frame::kProtoTcp;
    const bool udp = rec.ip_proto == frame::kProtoUdp;
    const bool icmp = rec.ip_proto == frame::kProtoIcmp || rec.ip_proto == frame::kProtoIcmp6;
    const bool ip = rec.version == 4 || rec.version == 6;
    Ref dict(_PyDict_NewPresized(kFixedKeys + (ip ? 3 : 0) + (tcp ? 5 : udp ? 2 : icmp ? 3 : 1)));
    if (!dict) return nullptr;
    PyObject* d = dict.get();

    if (PyDict_SetItem(d, N.success, Py_True) < 0) return nullptr;
    if (!put(d, N.timestamp, PyFloat_FromDouble(rec.timestamp))) return nullptr;
    if (!put(d, N.date_time, date_time_text(rec.ts_sec, cache))) return nullptr;
    if (!put(d, N.frame_length, PyLong_FromUnsignedLong(rec.frame_length))) return nullptr;
    if (!put(d, N.src_mac, cache.get(cache.src_mac, rec.src_mac, 6, [&] { return mac_text(rec.src_mac); })))
        return nullptr;
    if (!put(d, N.dst_mac, cache.get(cache.dst_mac, rec.dst_mac, 6, [&] { return mac_text(rec.dst_mac); })))
        return nullptr;
    if (!put(d, N.ip_proto, PyLong_FromLong(rec.ip_proto))) return nullptr;
    if (!put(d, N.ip_id, PyLong_FromLong(rec.ip_id))) return nullptr;
    if (!put(d, N.wrong_fragment, PyLong_FromLong(rec.wrong_fragment))) return nullptr;
    if (!put(d, N.land, PyLong_FromLong(rec.land))) return nullptr;
    if (!put(d, N.src_port, PyLong_FromLong(rec.src_port))) return nullptr;
    if (!put(d, N.dst_port, PyLong_FromLong(rec.dst_port))) return nullptr;

    if (rec.version == 4) {
        if (PyDict_SetItem(d, N.version, N.ipv4) < 0) return nullptr;
        if (!put(d, N.src_ip, cache.get(cache.src_ip, &rec.src_ip, 4, [&] { return ipv4_text(rec.src_ip); })))
            return nullptr;
        if (!put(d, N.dst_ip, cache.get(cache.dst_ip, &rec.dst_ip, 4, [&] { return ipv4_text(rec.dst_ip); })))
            return nullptr;
    } else if (rec.version == 6) {
        if (PyDict_SetItem(d, N.version, N.ipv6) < 0) return nullptr;
        if (!put(d, N.src_ip, ipv6_text(rec.src_ip6, cache.src_ip6))) return nullptr;
        if (!put(d, N.dst_ip, ipv6_text(rec.dst_ip6, cache.dst_ip6))) return nullptr;
    }

    if (tcp) {
        if (PyDict_SetItem(d, N.protocol_type, N.tcp) < 0) return nullptr;
        if (!put(d, N.tcp_flag, PyLong_FromLong(rec.tcp_flag))) return nullptr;
        if (!put(d, N.tcp_seq, PyLong_FromUnsignedLong(rec.tcp_seq))) return nullptr;
        if (!put(d, N.tcp_ack, PyLong_FromUnsignedLong(rec.tcp_ack))) return nullptr;
        if (!put(d, N.urgent, PyLong_FromLong(rec.urgent))) return nullptr;
    } else if (udp) {
        if (PyDict_SetItem(d, N.protocol_type, N.udp) < 0) return nullptr;
        if (!put(d, N.udp_length, PyLong_FromLong(rec.udp_length))) return nullptr;
    } else if (icmp) {
        if (PyDict_SetItem(d, N.protocol_type, N.icmp) < 0) return nullptr;
        if (!put(d, N.icmp_type, PyLong_FromLong(rec.icmp_type))) return nullptr;
        if (!put(d, N.icmp_code, PyLong_FromLong(rec.icmp_code))) return nullptr;
    } else {
        if (PyDict_SetItem(d, N.protocol_type, N.others) < 0) return nullptr;
    }
    return dict.release();
}

// ---- native core: one capture run -----------------------------------------

template <bool Live>
struct CaptureRun {
    Ref source;  // bytes or None, as given at the call
    pcap_t* handle = nullptr;
    PacketRecord rec{};
    TextCache cache;
    char errbuf[PCAP_ERRBUF_SIZE] = {};

    explicit CaptureRun(PyObject* arg) : source(Ref::borrow(arg)) {}

    PyObject* resume() {
        if (!handle) {
            const char* name = c_name(source.get());
            if (!name) return nullptr;
            handle = Live ? open_live(name, errbuf) : pcap_open_offline(name, errbuf);
            if (!handle) return raise_pcap_error(Live ? kOpenDevicePrefix : kOpenFilePrefix, errbuf);
        }
        const ReadStatus status = next_accepted(handle, Live, [this](const pcap_pkthdr& header, const u_char* bytes) {
            parse_packet(&header, bytes, &rec);
            return rec.success != 0;
        });
        switch (status) {
        case ReadStatus::frame:
            return packet_dict(rec, cache);
        case ReadStatus::pcap_error:
            if (Live) return raise_pcap_error(kReadDevicePrefix, pcap_geterr(handle));
            // The packets already read stand; the caller is told the file ended early.
            warn_pcap_error(kReadFilePrefix, pcap_geterr(handle));
            return nullptr;
        case ReadStatus::end:
        case ReadStatus::py_error:
            break;
        }
        return nullptr;
    }

    void finish() noexcept {
        if (handle) {
            pcap_close(handle);
            handle = nullptr;
        }
    }
};

using LiveGenerator = Generator<CaptureRun<true>>;
using FileGenerator = Generator<CaptureRun<false>>;

// ---- Python-facing functions ----------------------------------------------

PyObject* start_sniff(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return make_generator<LiveGenerator>("start_sniff", "device_name", args, nargs, kwnames);
}

PyObject* read_pcap(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return make_generator<FileGenerator>("read_pcap", "file_path", args, nargs, kwnames);
}

// ---- method table ---------------------------------------------------------

PyMethodDef methods[] = {
    {"start_sniff", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(start_sniff)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("start_sniff($module, /, device_name)\n--\n\n"
               "Bắt gói tin trực tiếp từ card mạng; trả về generator sinh một dict cho mỗi gói IPv4/IPv6.")},
    {"read_pcap", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_pcap)),
     METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("read_pcap($module, /, file_path)\n--\n\n"
               "Đọc file PCAP; trả về generator sinh một dict cho mỗi gói IPv4/IPv6.")},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "sniffkit",
    PyDoc_STR("Giải mã gói tin Ethernet/IPv4/IPv6/TCP/UDP/ICMP từ card mạng hoặc file PCAP."), -1, methods,
    nullptr, nullptr, nullptr, nullptr,
};

bool init_names() {
    return intern_all({
        {&N.success, "success"}, {&N.timestamp, "timestamp"}, {&N.date_time, "date_time"},
        {&N.frame_length, "frame_length"}, {&N.src_mac, "src_mac"}, {&N.dst_mac, "dst_mac"},
        {&N.ip_proto, "ip_proto"}, {&N.ip_id, "ip_id"}, {&N.wrong_fragment, "wrong_fragment"},
        {&N.land, "land"}, {&N.src_port, "src_port"}, {&N.dst_port, "dst_port"},
        {&N.version, "version"}, {&N.src_ip, "src_ip"}, {&N.dst_ip, "dst_ip"},
        {&N.protocol_type, "protocol_type"}, {&N.tcp_flag, "tcp_flag"}, {&N.tcp_seq, "tcp_seq"},
        {&N.tcp_ack, "tcp_ack"}, {&N.urgent, "urgent"}, {&N.udp_length, "udp_length"},
        {&N.icmp_type, "icmp_type"}, {&N.icmp_code, "icmp_code"}, {&N.ipv4, "IPv4"}, {&N.ipv6, "IPv6"},
        {&N.tcp, "TCP"}, {&N.udp, "UDP"}, {&N.icmp, "ICMP"}, {&N.others, "Others"},
        {&N.date_format, kDateFormat}, {&N.time, "time"}, {&N.socket, "socket"},
        {&N.localtime, "localtime"}, {&N.strftime, "strftime"}, {&N.inet_ntop, "inet_ntop"},
        {&N.af_inet6, "AF_INET6"},
    });
}

// Imports time, then socket, into the module and remembers what they held.
bool init_host(PyObject* module) {
    H.globals = PyModule_GetDict(module);
    H.builtins = PyEval_GetBuiltins();
    if (!H.builtins) {
        Ref builtins_module(PyImport_ImportModule("builtins"));
        if (!builtins_module) return false;
        H.builtins = PyModule_GetDict(builtins_module.get());
    }
    Py_INCREF(H.globals);
    Py_INCREF(H.builtins);
    struct Import {
        PyObject* name;
        PyObject** module;
        PyObject* attr_a;
        PyObject** value_a;
        PyObject* attr_b;
        PyObject** value_b;
    };
    const Import imports[] = {
        {N.time, &H.time_module, N.localtime, &H.localtime, N.strftime, &H.strftime},
        {N.socket, &H.socket_module, N.inet_ntop, &H.inet_ntop, N.af_inet6, &H.af_inet6},
    };
    for (const Import& imp : imports) {
        PyObject* mod = PyImport_Import(imp.name);
        if (!mod) return false;
        *imp.module = mod;  // kept for the life of the process
        if (PyModule_AddObjectRef(module, PyUnicode_AsUTF8(imp.name), mod) < 0) return false;
        if (!(*imp.value_a = PyObject_GetAttr(mod, imp.attr_a))) return false;
        if (!(*imp.value_b = PyObject_GetAttr(mod, imp.attr_b))) return false;
    }
    return true;
}

}  // namespace
}  // namespace kavrel

// ---- module init ----------------------------------------------------------

PyMODINIT_FUNC PyInit_sniffkit(void) {
    using namespace kavrel;
    if (!init_names()) return nullptr;
    if (!LiveGenerator::ready("kavrel.core.base.sniffkit.start_sniff_generator",
                              "Generator of packet dictionaries captured from a live device.") ||
        !FileGenerator::ready("kavrel.core.base.sniffkit.read_pcap_generator",
                              "Generator of packet dictionaries read from a capture file.")) {
        return nullptr;
    }
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!init_host(module.get())) return nullptr;
    return module.release();
}
