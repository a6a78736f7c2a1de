// metricor: KDD-style per-packet features (protocol type, source bytes, land,
// wrong fragment, and the 2-second same-destination count) from a capture file
// at once (process_pcap) or one by one (iter_pcap), or from a live device as a
// generator (process_live).
#include "features/destination_table.hpp"
#include "features/packet_features.hpp"
#include "../base/packet_capture.hpp"
#include "../base/packet_record.hpp"
#include "py/args.hpp"
#include "py/generator.hpp"
#include "py/module.hpp"
#include "py/ref.hpp"

#include <cstdint>
#include <memory>
#include <new>

namespace kavrel {
namespace {

constexpr const char kModuleDoc[] = "Trích xuất đặc trưng kiểu KDD cho từng gói tin từ file PCAP hoặc card mạng.";
constexpr CaptureMessages kMessages{
    "Lỗi mở card mạng: ",
    "Lỗi mở file PCAP: ",
    "Lỗi đọc card mạng: ",
    "Lỗi đọc file PCAP: ",
};
constexpr const char* kNoReduce = "no default __reduce__ due to non-trivial __cinit__";
constexpr Py_ssize_t kFeatureKeys = 8;

struct FeatureRun;
using FeatureGenerator = Generator<FeatureRun>;

// ---- module state -------------------------------------------------------------

struct State {
    PyObject* timestamp;
    PyObject* src_port;
    PyObject* dst_port;
    PyObject* protocol_type;
    PyObject* src_bytes;
    PyObject* land;
    PyObject* wrong_fragment;
    PyObject* count;
    PyObject* tcp;  // protocol_type values
    PyObject* udp;
    PyObject* icmp;
    PyObject* live_generator;  // the generator types
    PyObject* file_generator;

    template <class F>
    int for_each_ref(F&& f) {
        for (PyObject** slot : {&timestamp, &src_port, &dst_port, &protocol_type, &src_bytes, &land, &wrong_fragment,
                                &count, &tcp, &udp, &icmp,
                                &live_generator, &file_generator}) {
            if (int rc = f(*slot)) return rc;
        }
        return 0;
    }
};

constexpr NameText<State> kNames[] = {
    {&State::timestamp, "timestamp"}, {&State::src_port, "src_port"}, {&State::dst_port, "dst_port"},
    {&State::protocol_type, "protocol_type"}, {&State::src_bytes, "src_bytes"}, {&State::land, "land"},
    {&State::wrong_fragment, "wrong_fragment"}, {&State::count, "count"}, {&State::tcp, features::kProtocolTypes[0]},
    {&State::udp, features::kProtocolTypes[1]}, {&State::icmp, features::kProtocolTypes[2]},
};

// ---- features of one packet ---------------------------------------------------

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
    features::DestinationTable connection_count;

    // Fills `feat` from a decoded record and counts it against its destination;
    // a live capture forgets idle destinations, so that days of traffic fit.
    // False (with nothing set) only when the table could not grow.
    bool update_features(const PacketRecord& rec, FeatureRecord& feat, bool live = false) noexcept {
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
        const auto* dst = rec.version == 6 ? rec.dst_ip6 : reinterpret_cast<const uint8_t*>(&rec.dst_ip);
        feat.count = live ? connection_count.count_live(rec.version, dst, rec.timestamp)
                          : connection_count.count(rec.version, dst, rec.timestamp);
        return feat.count != 0;
    }
};

FeatureExtractor* as_extractor(PyObject* self) { return reinterpret_cast<FeatureExtractor*>(self); }

PyObject* feature_dict(const State* st, const FeatureRecord& feat) {
    Ref dict(new_dict(kFeatureKeys));
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    PyObject* const protocols[features::kProtocolTypeCount] = {st->tcp, st->udp, st->icmp};
    PyObject* protocol = protocols[features::protocol_type(feat.ip_proto)];
    if (!put(d, st->timestamp, PyFloat_FromDouble(feat.timestamp))) return nullptr;
    if (!put(d, st->src_port, PyLong_FromLong(feat.src_port))) return nullptr;
    if (!put(d, st->dst_port, PyLong_FromLong(feat.dst_port))) return nullptr;
    if (PyDict_SetItem(d, st->protocol_type, protocol) < 0) return nullptr;
    if (!put(d, st->src_bytes, PyLong_FromUnsignedLongLong(feat.src_bytes))) return nullptr;
    if (!put(d, st->land, PyLong_FromLong(feat.land))) return nullptr;
    if (!put(d, st->wrong_fragment, PyLong_FromUnsignedLong(feat.wrong_fragment))) return nullptr;
    if (!put(d, st->count, PyLong_FromUnsignedLong(feat.count))) return nullptr;
    return dict.release();
}

// ---- a whole capture file -------------------------------------------------------

// Every packet's features, in file order. Once the file is open, the table is
// cleared on every way out.
PyObject* extract_file(const State* st, FeatureExtractor* extractor, PyObject* path) {
    PacketCapture capture(path, false);
    struct EndOfRun {
        PacketCapture& capture;
        FeatureExtractor* extractor;
        ~EndOfRun() {
            if (capture.is_open()) extractor->connection_count.clear();
            capture.close();
        }
    } end_of_run{capture, extractor};

    Ref list(PyList_New(0));
    if (!list) return nullptr;
    PacketRecord rec{};
    FeatureRecord feat{};
    for (unsigned packets = 1;; ++packets) {
        if (!capture.next(rec, kMessages)) return PyErr_Occurred() ? nullptr : list.release();
        if (!extractor->update_features(rec, feat)) return PyErr_NoMemory();
        Ref dict(feature_dict(st, feat));
        if (!dict || PyList_Append(list.get(), dict.get()) < 0) return nullptr;
        // A long file still lets Ctrl-C through.
        if (packets % pcap::kInterruptCheckEvery == 0 && PyErr_CheckSignals() < 0) return nullptr;
    }
}

// ---- one generator run ------------------------------------------------------------

// The state of one process_live or iter_pcap generator. The table is cleared
// only by a run that opened its source.
struct FeatureRun {
    const State* st;  // kept alive by the generator's type, which holds the module
    Ref owner;        // the FeatureExtractor whose table this run counts in
    PacketCapture capture;
    bool live;
    PacketRecord rec{};
    FeatureRecord feat{};

    FeatureRun(const State* state, PyObject* extractor, bool live, PyObject* source)
        : st(state), owner(Ref::borrow(extractor)), capture(source, live), live(live) {}

    // The owner may be a Python subclass instance holding this generator.
    int traverse(visitproc visit, void* arg) {
        Py_VISIT(owner.get());
        return 0;
    }

    PyObject* resume() {
        if (!capture.next(rec, kMessages)) return nullptr;
        if (!as_extractor(owner.get())->update_features(rec, feat, live)) return PyErr_NoMemory();
        return feature_dict(st, feat);
    }

    void finish() noexcept {
        if (!capture.is_open()) return;
        capture.close();
        as_extractor(owner.get())->connection_count.clear();
    }
};

// ---- Python-facing: FeatureExtractor ----------------------------------------------

// Arguments are accepted and ignored, both here and in __init__.
PyObject* extractor_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_extractor(self)->connection_count) features::DestinationTable();
    return self;
}

int extractor_init(PyObject*, PyObject*, PyObject*) { return 0; }

// Also the dealloc of Python subclasses: subtype_dealloc leaves the heap type's
// reference to the base's dealloc, and frees through the subclass's tp_free.
void extractor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&as_extractor(self)->connection_count);
    type->tp_free(self);
    Py_DECREF(type);
}

const State* state_of_class(PyTypeObject* defining_class) {
    return static_cast<const State*>(PyType_GetModuleState(defining_class));
}

PyObject* extractor_process_pcap(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    static const char* const names[] = {"file_path"};
    PyObject* values[1];
    if (!parse_typed_args("process_pcap", names, &PyBytes_Type, args, nargs, kwnames, values)) return nullptr;
    return extract_file(state_of_class(cls), as_extractor(self), values[0]);
}

PyObject* extractor_process_live(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    const State* st = state_of_class(cls);
    return make_generator<FeatureGenerator>(st->live_generator, "process_live", "device_name", args, nargs, kwnames,
                                            st, self, true);
}

PyObject* extractor_iter_pcap(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    const State* st = state_of_class(cls);
    return make_generator<FeatureGenerator>(st->file_generator, "iter_pcap", "file_path", args, nargs, kwnames, st,
                                            self, false);
}

// The table cannot be rebuilt from Python, so pickling and copying are refused.
PyObject* extractor_refuse_pickle(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, kNoReduce);
    return nullptr;
}

constexpr int kMethodCall = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

PyMethodDef extractor_methods[] = {
    {"process_pcap", as_cfunction(extractor_process_pcap), kMethodCall,
     PyDoc_STR("process_pcap($self, /, file_path)\n--\n\nHàm API gọi từ Python để xử lý toàn bộ file PCAP")},
    {"process_live", as_cfunction(extractor_process_live), kMethodCall,
     PyDoc_STR("process_live($self, /, device_name)\n--\n\n"
               "Hàm API gọi từ Python để trích xuất đặc trưng KDD trực tiếp từ Card mạng")},
    {"iter_pcap", as_cfunction(extractor_iter_pcap), kMethodCall,
     PyDoc_STR("iter_pcap($self, /, file_path)\n--\n\n"
               "Hàm API gọi từ Python để trích xuất đặc trưng KDD từ file PCAP, từng gói một")},
    {"__reduce__", extractor_refuse_pickle, METH_NOARGS, nullptr},
    {"__setstate__", extractor_refuse_pickle, METH_O, nullptr},
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

// ---- module init ------------------------------------------------------------------

int exec_module(PyObject* module) {
    State* st = state_of<State>(module);
    if (!intern_names(st, kNames)) return -1;
    st->live_generator = FeatureGenerator::make_type(module, "kavrel.core.ver100.metricor.process_live_generator",
                                                     "Generator of feature dictionaries captured from a live device.");
    if (!st->live_generator) return -1;
    st->file_generator = FeatureGenerator::make_type(module, "kavrel.core.ver100.metricor.iter_pcap_generator",
                                                     "Generator of feature dictionaries read from a capture file.");
    if (!st->file_generator) return -1;
    Ref extractor_type(PyType_FromModuleAndSpec(module, &extractor_spec, nullptr));
    if (!extractor_type) return -1;
    return PyModule_AddObjectRef(module, "FeatureExtractor", extractor_type.get());
}

}  // namespace
}  // namespace kavrel

PyMODINIT_FUNC PyInit_metricor(void) {
    using namespace kavrel;
    return PyModuleDef_Init(module_definition<State, exec_module>("metricor", kModuleDoc, nullptr));
}
