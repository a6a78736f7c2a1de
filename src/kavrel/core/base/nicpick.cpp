// nicpick: lists the capture devices libpcap reports and picks the one best
// suited for sniffing.
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/module.hpp"
#include "py/ref.hpp"

#include <pcap/pcap.h>

namespace {

using kavrel::Ref;

static_assert(kavrel::kErrbufSize == PCAP_ERRBUF_SIZE);

constexpr const char kFindError[] = "Lỗi tìm thiết bị: ";

// ---- module state ---------------------------------------------------------

// Constants only: created at import, never changed by a call.
struct State {
    PyObject* key_name;            // "name"
    PyObject* key_description;     // "description"
    PyObject* key_flags;           // "flags"
    PyObject* attr_lister;         // "get_all_devices"
    PyObject* meth_lower;          // "lower"
    PyObject* meth_startswith;     // "startswith"
    PyObject* preferred_prefixes;  // ("en", "eth", "wlan"): wired and wireless NICs
    PyObject* loopback_name;       // "lo0"
    PyObject* loopback_marker;     // "loopback"
    PyObject* up_mask;             // PCAP_IF_UP
    PyObject* globals;             // the module namespace, then the builtins
    PyObject* builtins;

    template <typename F>
    int for_each_ref(F&& f) {
        for (PyObject** slot : {&key_name, &key_description, &key_flags, &attr_lister, &meth_lower,
                                &meth_startswith, &preferred_prefixes, &loopback_name, &loopback_marker, &up_mask,
                                &globals, &builtins}) {
            if (int rc = f(*slot)) return rc;
        }
        return 0;
    }
};

State* state_of(PyObject* module) { return kavrel::state_of<State>(module); }

// ---- device chain ---------------------------------------------------------

// Owns the chain pcap_findalldevs returned, so every way out of the walk frees it.
class DeviceChain {
public:
    DeviceChain() = default;
    DeviceChain(const DeviceChain&) = delete;
    DeviceChain& operator=(const DeviceChain&) = delete;
    ~DeviceChain() {
        if (head_) pcap_freealldevs(head_);
    }

    pcap_if_t** out() { return &head_; }
    const pcap_if_t* head() const { return head_; }

private:
    pcap_if_t* head_ = nullptr;
};

// A libpcap text as str; a null pointer is the empty text.
PyObject* text_or_empty(const char* text) {
    if (!text) return PyUnicode_New(0, 0);
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "strict");
}

PyObject* make_entry(const State* st, const pcap_if_t* dev) {
    Ref entry(PyDict_New());
    if (!entry) return nullptr;
    Ref name(text_or_empty(dev->name));
    if (!name || PyDict_SetItem(entry.get(), st->key_name, name.get()) < 0) return nullptr;
    Ref description(text_or_empty(dev->description));
    if (!description || PyDict_SetItem(entry.get(), st->key_description, description.get()) < 0) return nullptr;
    Ref flags(PyLong_FromUnsignedLong(dev->flags));
    if (!flags || PyDict_SetItem(entry.get(), st->key_flags, flags.get()) < 0) return nullptr;
    return entry.release();
}

// ---- choice helpers -------------------------------------------------------

// -1 on error, else whether "loopback" occurs in name.lower().
int has_loopback_marker(const State* st, PyObject* name) {
    Ref lowered(PyObject_CallMethodNoArgs(name, st->meth_lower));
    if (!lowered) return -1;
    return PySequence_Contains(lowered.get(), st->loopback_marker);
}

// The chosen name must be text: it is what gets encoded and handed to libpcap.
bool check_text(PyObject* name) {
    if (PyUnicode_CheckExact(name)) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(name)->tp_name);
    return false;
}

// The module attribute get_all_devices, looked up now so that a replacement counts.
PyObject* lookup_lister(const State* st) { return kavrel::lookup_global(st->globals, st->builtins, st->attr_lister); }

// First pass: a non-loopback device named like a wired or wireless NIC that is up.
// Sets *chosen (a new reference) or leaves it null when nothing qualifies.
bool pick_preferred(const State* st, PyObject* devices, Ref* chosen) {
    Ref it(PyObject_GetIter(devices));
    if (!it) return false;
    while (Ref entry{PyIter_Next(it.get())}) {
        Ref name(PyObject_GetItem(entry.get(), st->key_name));
        if (!name) return false;
        Ref flags(PyObject_GetItem(entry.get(), st->key_flags));
        if (!flags) return false;

        int hit = PyObject_RichCompareBool(name.get(), st->loopback_name, Py_EQ);
        if (hit == 0) hit = has_loopback_marker(st, name.get());
        if (hit < 0) return false;
        if (hit) continue;

        Ref starts(PyObject_CallMethodOneArg(name.get(), st->meth_startswith, st->preferred_prefixes));
        if (!starts) return false;
        hit = PyObject_IsTrue(starts.get());
        if (hit < 0) return false;
        if (!hit) continue;

        Ref up(PyNumber_And(flags.get(), st->up_mask));
        if (!up) return false;
        hit = PyObject_IsTrue(up.get());
        if (hit < 0) return false;
        if (!hit) continue;

        if (!check_text(name.get())) return false;
        *chosen = std::move(name);
        return true;
    }
    return !PyErr_Occurred();
}

// Second pass: the first device not named as a loopback, whatever its name.
// Each test subscripts the entry afresh, as a replaced lister may return any mapping.
bool pick_non_loopback(const State* st, PyObject* devices, Ref* chosen) {
    Ref it(PyObject_GetIter(devices));
    if (!it) return false;
    while (Ref entry{PyIter_Next(it.get())}) {
        Ref name(PyObject_GetItem(entry.get(), st->key_name));
        if (!name) return false;
        int hit = has_loopback_marker(st, name.get());
        if (hit < 0) return false;
        if (hit) continue;

        name.reset(PyObject_GetItem(entry.get(), st->key_name));
        if (!name) return false;
        hit = PyObject_RichCompareBool(name.get(), st->loopback_name, Py_EQ);
        if (hit < 0) return false;
        if (hit) continue;

        name.reset(PyObject_GetItem(entry.get(), st->key_name));
        if (!name || !check_text(name.get())) return false;
        *chosen = std::move(name);
        return true;
    }
    return !PyErr_Occurred();
}

bool is_empty_text(const Ref& text) { return !text || PyUnicode_GET_LENGTH(text.get()) == 0; }

// ---- Python-facing functions ----------------------------------------------

PyObject* get_all_devices(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!kavrel::parse_no_args("get_all_devices", nargs, kwnames)) return nullptr;
    const State* st = state_of(module);
    Ref devices(PyList_New(0));
    if (!devices) return nullptr;

    char errbuf[PCAP_ERRBUF_SIZE];
    errbuf[0] = '\0';
    DeviceChain chain;
    if (pcap_findalldevs(chain.out(), errbuf) == -1) return kavrel::raise_pcap_error(kFindError, errbuf);

    for (const pcap_if_t* dev = chain.head(); dev; dev = dev->next) {
        Ref entry(make_entry(st, dev));
        if (!entry || PyList_Append(devices.get(), entry.get()) < 0) return nullptr;
    }
    return devices.release();
}

PyObject* get_auto_device(PyObject* module, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!kavrel::parse_no_args("get_auto_device", nargs, kwnames)) return nullptr;
    const State* st = state_of(module);
    Ref lister(lookup_lister(st));
    if (!lister) return nullptr;
    Ref devices(PyObject_CallNoArgs(lister.get()));
    if (!devices) return nullptr;

    int present = PyObject_IsTrue(devices.get());
    if (present < 0) return nullptr;
    if (!present) Py_RETURN_NONE;

    // Empty text (or nothing) means no choice has been made yet.
    Ref best_match;
    if (!pick_preferred(st, devices.get(), &best_match)) return nullptr;
    if (is_empty_text(best_match) && !pick_non_loopback(st, devices.get(), &best_match)) return nullptr;
    if (is_empty_text(best_match)) {
        present = PyObject_IsTrue(devices.get());
        if (present < 0) return nullptr;
        if (present) {
            // Whatever comes first, even a loopback device, beats no device at all.
            Ref index(PyLong_FromLong(0));
            if (!index) return nullptr;
            Ref first(PyObject_GetItem(devices.get(), index.get()));
            if (!first) return nullptr;
            best_match.reset(PyObject_GetItem(first.get(), st->key_name));
            if (!best_match || !check_text(best_match.get())) return nullptr;
        }
    }

    if (is_empty_text(best_match)) Py_RETURN_NONE;
    return PyUnicode_AsUTF8String(best_match.get());
}

// ---- method table and module init -----------------------------------------

// Each docstring starts with the call signature for introspection; the host
// strips it (up to "--") from __doc__.
PyDoc_STRVAR(get_all_devices_doc, "get_all_devices($module, /)\n--\n\nLiệt kê tất cả các thiết bị mạng.");

PyDoc_STRVAR(get_auto_device_doc,
             "get_auto_device($module, /)\n--\n\n"
             "\n"
             "    Tự động tìm kiếm card mạng phù hợp nhất để thực hiện sniffing.\n"
             "    Trả về: bytes (tên card mạng) hoặc None.\n"
             "    ");

using kavrel::as_cfunction;

PyMethodDef nicpick_methods[] = {
    {"get_all_devices", as_cfunction(get_all_devices), METH_FASTCALL | METH_KEYWORDS, get_all_devices_doc},
    {"get_auto_device", as_cfunction(get_auto_device), METH_FASTCALL | METH_KEYWORDS, get_auto_device_doc},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    State* st = state_of(module);
    const kavrel::NameText<State> names[] = {
        {&State::key_name, "name"}, {&State::key_description, "description"}, {&State::key_flags, "flags"},
        {&State::attr_lister, "get_all_devices"}, {&State::meth_lower, "lower"},
        {&State::meth_startswith, "startswith"}, {&State::loopback_name, "lo0"},
        {&State::loopback_marker, "loopback"},
    };
    if (!kavrel::intern_names(st, names)) return -1;
    st->preferred_prefixes = Py_BuildValue("(sss)", "en", "eth", "wlan");
    st->up_mask = PyLong_FromUnsignedLong(PCAP_IF_UP);
    st->globals = Py_NewRef(PyModule_GetDict(module));
    st->builtins = kavrel::builtins_namespace();
    return st->preferred_prefixes && st->up_mask && st->builtins ? 0 : -1;
}

}  // namespace

PyMODINIT_FUNC PyInit_nicpick(void) {
    return PyModuleDef_Init(kavrel::module_definition<State, exec_module>("nicpick", nullptr, nicpick_methods));
}
