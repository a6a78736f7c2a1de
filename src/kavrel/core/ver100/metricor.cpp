// metricor: KDD-style per-packet features (protocol type, source bytes, land,
// wrong fragment, and the 2-second same-destination count) from a capture file
// at once (process_pcap) or one by one (iter_pcap), or from a live device as a
// generator (process_live).
#include "capture.hpp"
#include "packet_record.hpp"
#include "pyglue.hpp"

#include <sys/random.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace kavrel {
namespace {

// ---- constants ------------------------------------------------------------

constexpr const char* kOpenFilePrefix = "Lỗi mở file PCAP: ";
constexpr const char* kOpenDevicePrefix = "Lỗi mở card mạng: ";
constexpr const char* kReadFilePrefix = "Lỗi đọc file PCAP: ";
constexpr const char* kReadDevicePrefix = "Lỗi đọc card mạng: ";
constexpr const char* kNoReduce = "no default __reduce__ due to non-trivial __cinit__";

// Packets to one destination belong to the same chain while each follows the
// previous one by at most this many seconds.
constexpr double kWindowSeconds = 2.0;
constexpr Py_ssize_t kFeatureKeys = 8;

// Interned once at module init; the hot path only hands out these objects.
struct Names {
    PyObject* timestamp;
    PyObject* src_port;
    PyObject* dst_port;
    PyObject* protocol_type;
    PyObject* src_bytes;
    PyObject* land;
    PyObject* wrong_fragment;
    PyObject* count;
    // protocol_type values
    PyObject* tcp;
    PyObject* udp;
    PyObject* icmp;
} N;

// Secret per-process salt for the destination hash, so that traffic cannot be
// crafted to pile its destinations onto one probe sequence.
uint64_t hash_salt;

// ---- native core: the connection table ------------------------------------

struct ConnectionState {
    uint32_t count;         // packets in the current chain to this destination
    double last_seen_time;  // timestamp of the chain's latest packet
};

struct Ip6Address {
    uint64_t head, tail;  // the 16 address bytes as they stand in the frame
    bool operator==(const Ip6Address&) const = default;
};

// splitmix64's finaliser: every input bit reaches every output bit.
inline uint64_t mix64(uint64_t x) noexcept {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

inline uint64_t hash_key(uint32_t dst_ip) noexcept { return mix64(dst_ip ^ hash_salt); }
inline uint64_t hash_key(const Ip6Address& dst) noexcept { return mix64(mix64(dst.head ^ hash_salt) ^ dst.tail); }

// Open addressing with linear probing over a power-of-two array kept at most
// half full: a lookup is one hash and, almost always, one cache line.
template <class Key>
class DestinationMap {
public:
    DestinationMap() noexcept = default;
    DestinationMap(const DestinationMap&) = delete;
    DestinationMap& operator=(const DestinationMap&) = delete;
    ~DestinationMap() { delete[] slots_; }

    // The state for `key`, inserted as {0, 0.0} when missing; nullptr if the
    // table had to grow and memory ran out.
    ConnectionState* find_or_insert(const Key& key) noexcept {
        if (2 * (size_ + 1) > capacity_ && !grow()) return nullptr;
        Slot* slot = probe(slots_, capacity_ - 1, key);
        if (!slot->used) {
            *slot = Slot{key, {0, 0.0}, true};
            ++size_;
        }
        return &slot->state;
    }

    // Empties the table and gives its memory back.
    void clear() noexcept {
        delete[] std::exchange(slots_, nullptr);
        capacity_ = size_ = 0;
    }

private:
    struct Slot {
        Key key;
        ConnectionState state;
        bool used;
    };
    static constexpr std::size_t kInitialCapacity = 64;

    static Slot* probe(Slot* slots, std::size_t mask, const Key& key) noexcept {
        for (std::size_t i = hash_key(key) & mask;; i = (i + 1) & mask) {
            if (!slots[i].used || slots[i].key == key) return &slots[i];
        }
    }

    bool grow() noexcept {
        const std::size_t capacity = capacity_ ? 2 * capacity_ : kInitialCapacity;
        Slot* slots = new (std::nothrow) Slot[capacity]();
        if (!slots) return false;
        for (std::size_t i = 0; i < capacity_; ++i) {
            if (slots_[i].used) *probe(slots, capacity - 1, slots_[i].key) = slots_[i];
        }
        delete[] slots_;
        slots_ = slots;
        capacity_ = capacity;
        return true;
    }

    Slot* slots_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

// One chain per destination host, keyed on the address of the packet's own IP
// version: an IPv4 and an IPv6 destination never share an entry.
class ConnectionTable {
public:
    ConnectionState* find_or_insert(const PacketRecord& rec) noexcept {
        if (rec.version == 6) {
            Ip6Address dst;
            std::memcpy(&dst, rec.dst_ip6, sizeof dst);
            return ipv6_.find_or_insert(dst);
        }
        return ipv4_.find_or_insert(rec.dst_ip);
    }
    void clear() noexcept {
        ipv4_.clear();
        ipv6_.clear();
    }

private:
    DestinationMap<uint32_t> ipv4_;
    DestinationMap<Ip6Address> ipv6_;
};

// ---- native core: features of one packet ----------------------------------

struct FeatureRecord {
    double timestamp;
    uint32_t src_ip;
    uint32_t dst_ip;
    uint16_t src_port;
    uint16_t dst_port;
    uint8_t ip_proto;
    uint32_t count;
    uint64_t src_bytes;  // length on the wire, not the captured length
    uint8_t land;
    uint32_t wrong_fragment;
    uint32_t urgent;
};

struct FeatureExtractor {
    PyObject_HEAD
    ConnectionTable connection_count;

    // Fills `feat` from a decoded record and counts it against its destination.
    // False (with nothing set) only when the table could not grow.
    bool update_features(const PacketRecord& rec, FeatureRecord& feat) noexcept {
        feat.timestamp = rec.timestamp;
        feat.src_ip = rec.src_ip;
        feat.dst_ip = rec.dst_ip;
        feat.src_port = rec.src_port;
        feat.dst_port = rec.dst_port;
        feat.ip_proto = rec.ip_proto;
        feat.src_bytes = rec.frame_length;
        feat.land = static_cast<uint8_t>(rec.land);
        feat.wrong_fragment = static_cast<uint32_t>(rec.wrong_fragment);
        feat.urgent = static_cast<uint32_t>(rec.urgent);

        ConnectionState* state = connection_count.find_or_insert(rec);
        if (!state) return false;
        // A new entry holds count 0, so either branch gives it 1. A negative gap
        // continues the chain; a NaN gap fails the test and restarts it.
        const double now = rec.timestamp;
        state->count = now - state->last_seen_time <= kWindowSeconds ? state->count + 1 : 1;
        state->last_seen_time = now;
        feat.count = state->count;
        return true;
    }
};

FeatureExtractor* as_extractor(PyObject* self) { return reinterpret_cast<FeatureExtractor*>(self); }


PyObject* feature_dict(const FeatureRecord& feat) {
    Ref dict(_PyDict_NewPresized(kFeatureKeys));
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    PyObject* protocol = feat.ip_proto == frame::kProtoTcp   ? N.tcp
                         : feat.ip_proto == frame::kProtoUdp ? N.udp
                                                             : N.icmp;
    if (!put(d, N.timestamp, PyFloat_FromDouble(feat.timestamp))) return nullptr;
    if (!put(d, N.src_port, PyLong_FromLong(feat.src_port))) return nullptr;
    if (!put(d, N.dst_port, PyLong_FromLong(feat.dst_port))) return nullptr;
    if (PyDict_SetItem(d, N.protocol_type, protocol) < 0) return nullptr;
    if (!put(d, N.src_bytes, PyLong_FromUnsignedLongLong(feat.src_bytes))) return nullptr;
    if (!put(d, N.land, PyLong_FromLong(feat.land))) return nullptr;
    if (!put(d, N.wrong_fragment, PyLong_FromUnsignedLong(feat.wrong_fragment))) return nullptr;
    if (!put(d, N.count, PyLong_FromUnsignedLong(feat.count))) return nullptr;
    return dict.release();
}

// Reads the next frame that decodes as IPv4 or IPv6 into `rec`.
inline ReadStatus next_decoded(pcap_t* handle, bool live, PacketRecord& rec) {
    return next_accepted(handle, live, [&rec](const pcap_pkthdr& header, const u_char* bytes) {
        parse_packet(&header, bytes, &rec);
        return rec.success != 0;
    });
}

// ---- native core: a whole capture file ------------------------------------

// Every packet's features, in file order. The table is cleared on every way
// out once the file is open.
PyObject* extract_file(FeatureExtractor* extractor, const char* path) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_open_offline(path, errbuf);
    if (!handle) return raise_pcap_error(kOpenFilePrefix, errbuf);
    struct EndOfRun {
        pcap_t* handle;
        FeatureExtractor* extractor;
        ~EndOfRun() {
            pcap_close(handle);
            extractor->connection_count.clear();
        }
    } end_of_run{handle, extractor};

    Ref list(PyList_New(0));
    if (!list) return nullptr;
    PacketRecord rec{};
    FeatureRecord feat{};
    for (unsigned packets = 1;; ++packets) {
        switch (next_decoded(handle, false, rec)) {
        case ReadStatus::frame:
            break;
        case ReadStatus::end:
            return list.release();
        case ReadStatus::pcap_error:
            // The packets already read stand; the caller is told the file ended early.
            if (!warn_pcap_error(kReadFilePrefix, pcap_geterr(handle))) return nullptr;
            return list.release();
        case ReadStatus::py_error:
            return nullptr;
        }
        if (!extractor->update_features(rec, feat)) return PyErr_NoMemory();
        Ref dict(feature_dict(feat));
        if (!dict || PyList_Append(list.get(), dict.get()) < 0) return nullptr;
        // A long file still lets Ctrl-C through.
        if (packets % kSignalCheckEvery == 0 && PyErr_CheckSignals() < 0) return nullptr;
    }
}

// ---- native core: one generator run ----------------------------------------

// The state of one process_live or iter_pcap generator. The source is opened by
// the first step; the table is cleared only by a run that opened it.
template <bool Live>
struct FeatureRun {
    Ref owner;   // the FeatureExtractor whose table this run counts in
    Ref source;  // device name or file path: bytes or None, as given at the call
    pcap_t* handle = nullptr;
    PacketRecord rec{};
    FeatureRecord feat{};
    char errbuf[PCAP_ERRBUF_SIZE] = {};

    FeatureRun(PyObject* extractor, PyObject* arg) : owner(Ref::borrow(extractor)), source(Ref::borrow(arg)) {}

    // The owner may be a Python subclass instance holding this generator.
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(owner.get());
        return 0;
    }

    PyObject* resume() {
        if (!handle) {
            const char* name = c_name(source.get());
            if (!name) return nullptr;
            handle = Live ? open_live(name, errbuf) : pcap_open_offline(name, errbuf);
            if (!handle) return raise_pcap_error(Live ? kOpenDevicePrefix : kOpenFilePrefix, errbuf);
        }
        // Any way out without an item ends the run: finish() closes the handle
        // and clears the table.
        switch (next_decoded(handle, Live, rec)) {
        case ReadStatus::frame:
            break;
        case ReadStatus::pcap_error:
            if (Live) return raise_pcap_error(kReadDevicePrefix, pcap_geterr(handle));
            // The packets already yielded stand; the caller is told the file ended early.
            warn_pcap_error(kReadFilePrefix, pcap_geterr(handle));
            return nullptr;
        case ReadStatus::end:  // end of file, or pcap_breakloop on a device
        case ReadStatus::py_error:
            return nullptr;
        }
        if (!as_extractor(owner.get())->update_features(rec, feat)) return PyErr_NoMemory();
        return feature_dict(feat);
    }

    void finish() noexcept {
        if (!handle) return;
        pcap_close(handle);
        handle = nullptr;
        as_extractor(owner.get())->connection_count.clear();
    }
};

using LiveGenerator = Generator<FeatureRun<true>>;
using FileGenerator = Generator<FeatureRun<false>>;

// ---- Python-facing: FeatureExtractor ----------------------------------------

// Arguments are accepted and ignored, both here and in __init__.
PyObject* extractor_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_extractor(self)->connection_count) ConnectionTable();
    return self;
}

int extractor_init(PyObject*, PyObject*, PyObject*) { return 0; }

// Also the dealloc of Python subclasses: subtype_dealloc leaves the heap type's
// reference to the base's dealloc, and frees through the subclass's tp_free.
void extractor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_extractor(self)->connection_count.~ConnectionTable();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* extractor_process_pcap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"file_path"};
    PyObject* values[1];
    if (!parse_typed_args("process_pcap", names, &PyBytes_Type, args, nargs, kwnames, values)) return nullptr;
    const char* path = c_name(values[0]);
    if (!path) return nullptr;
    return extract_file(as_extractor(self), path);
}

PyObject* extractor_process_live(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return make_generator<LiveGenerator>("process_live", "device_name", args, nargs, kwnames, self);
}

PyObject* extractor_iter_pcap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return make_generator<FileGenerator>("iter_pcap", "file_path", args, nargs, kwnames, self);
}

// The table cannot be rebuilt from Python, so pickling and copying are refused.
PyObject* extractor_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

PyObject* extractor_setstate(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

// ---- method tables ----------------------------------------------------------

template <class F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef extractor_methods[] = {
    {"process_pcap", as_cfunction(extractor_process_pcap), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("process_pcap($self, /, file_path)\n--\n\nHàm API gọi từ Python để xử lý toàn bộ file PCAP")},
    {"process_live", as_cfunction(extractor_process_live), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("process_live($self, /, device_name)\n--\n\n"
               "Hàm API gọi từ Python để trích xuất đặc trưng KDD trực tiếp từ Card mạng")},
    {"iter_pcap", as_cfunction(extractor_iter_pcap), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("iter_pcap($self, /, file_path)\n--\n\n"
               "Hàm API gọi từ Python để trích xuất đặc trưng KDD từ file PCAP, từng gói một")},
    {"__reduce__", extractor_reduce, METH_NOARGS, nullptr},
    {"__setstate__", extractor_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot extractor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(extractor_new)},
    {Py_tp_init, reinterpret_cast<void*>(extractor_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(extractor_dealloc)},
    {Py_tp_methods, extractor_methods},
    {0, nullptr},
};

PyType_Spec extractor_spec = {
    "kavrel.core.ver100.metricor.FeatureExtractor",
    sizeof(FeatureExtractor),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    extractor_slots,
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "metricor",
    PyDoc_STR("Trích xuất đặc trưng kiểu KDD cho từng gói tin từ file PCAP hoặc card mạng."), -1, nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

bool init_names() {
    return intern_all({
        {&N.timestamp, "timestamp"}, {&N.src_port, "src_port"},   {&N.dst_port, "dst_port"},
        {&N.protocol_type, "protocol_type"}, {&N.src_bytes, "src_bytes"}, {&N.land, "land"},
        {&N.wrong_fragment, "wrong_fragment"}, {&N.count, "count"}, {&N.tcp, "TCP"},
        {&N.udp, "UDP"}, {&N.icmp, "ICMP"},
    });
}

void init_hash_salt() {
    if (getrandom(&hash_salt, sizeof hash_salt, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof hash_salt)) return;
    // No entropy yet (early boot): the clock still varies between processes.
    hash_salt = mix64(static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
}

}  // namespace
}  // namespace kavrel

// ---- module init ------------------------------------------------------------

PyMODINIT_FUNC PyInit_metricor(void) {
    using namespace kavrel;
    if (!init_names()) return nullptr;
    init_hash_salt();
    if (!LiveGenerator::ready("kavrel.core.ver100.metricor.process_live_generator",
                              "Generator of feature dictionaries captured from a live device.") ||
        !FileGenerator::ready("kavrel.core.ver100.metricor.iter_pcap_generator",
                              "Generator of feature dictionaries read from a capture file.")) {
        return nullptr;
    }
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    Ref type(PyType_FromSpec(&extractor_spec));
    if (!type) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "FeatureExtractor", type.get()) < 0) return nullptr;
    return module.release();
}
