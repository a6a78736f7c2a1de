// What every extension module of the package does the same way: per-module
// state reached through one accessor, names interned into that state, module
// globals looked up as Python code in the module would, and standard modules
// imported into the namespace.
#pragma once

#include "py/ref.hpp"

#include <array>
#include <cstddef>

namespace kavrel {

// The state of a module created with multi-phase initialisation.
template <class State>
State* state_of(PyObject* module) noexcept {
    return static_cast<State*>(PyModule_GetState(module));
}

// An interned text for a slot of a state struct.
template <class State>
struct NameText {
    PyObject* State::*slot;
    const char* text;
};

template <class State, std::size_t N>
bool intern_names(State* st, const NameText<State> (&table)[N]) {
    for (const auto& entry : table) {
        if (!(st->*entry.slot = PyUnicode_InternFromString(entry.text))) return false;
    }
    return true;
}

// m_traverse, m_clear and m_free for a state whose `for_each_ref(f)` calls
// f(PyObject*&) on every reference it owns and stops at a non-zero result.
template <class State>
int traverse_state(PyObject* module, visitproc visit, void* arg) {
    return state_of<State>(module)->for_each_ref([&](PyObject*& ref) {
        Py_VISIT(ref);
        return 0;
    });
}
template <class State>
int clear_state(PyObject* module) {
    state_of<State>(module)->for_each_ref([](PyObject*& ref) {
        Py_CLEAR(ref);
        return 0;
    });
    return 0;
}
template <class State>
void free_state(void* module) {
    clear_state<State>(static_cast<PyObject*>(module));
}

// The definition of a module with per-module `State`, set up by `Exec` at
// import (multi-phase initialisation): PyInit_<name> returns
// PyModuleDef_Init(module_definition<State, exec>(...)).
template <class State, int (*Exec)(PyObject*)>
PyModuleDef* module_definition(const char* name, const char* doc, PyMethodDef* methods) {
    static PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(Exec)},
        {0, nullptr},
    };
    static PyModuleDef def = {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = name,
        .m_doc = doc,
        .m_size = sizeof(State),
        .m_methods = methods,
        .m_slots = slots,
        .m_traverse = traverse_state<State>,
        .m_clear = clear_state<State>,
        .m_free = free_state<State>,
    };
    return &def;
}

// The builtins namespace that code in a module falls back to (new reference).
// A heap type of the engine's: its instances made by `make` (tp_new) and unmade by
// `unmake` (tp_dealloc), its methods, its docstring, and its attributes when it has any.
struct TypeSlots {
    std::array<PyType_Slot, 6> slots;

    TypeSlots(newfunc make, destructor unmake, PyMethodDef* methods, const char* doc, PyGetSetDef* getset = nullptr)
        : slots{{{Py_tp_new, reinterpret_cast<void*>(make)},
                 {Py_tp_dealloc, reinterpret_cast<void*>(unmake)},
                 {Py_tp_methods, methods},
                 {Py_tp_doc, const_cast<char*>(doc)},
                 {getset ? Py_tp_getset : 0, getset},
                 {0, nullptr}}} {}

    PyType_Spec spec(const char* name, int basic_size) {
        return {name, basic_size, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots.data()};
    }
};

inline PyObject* builtins_namespace() {
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins) return nullptr;
    return Py_NewRef(PyModule_GetDict(builtins.get()));
}

// A global name as Python code in the module sees it: `globals` (the module
// namespace), then `builtins`. A new reference, or nullptr with NameError.
inline PyObject* lookup_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(globals, name, &value);
    if (found == 0) found = PyDict_GetItemRef(builtins, name, &value);
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return found > 0 ? value : nullptr;
}

// Imports a standard module into the module namespace, where the module's
// functions look it up at each use; returns it (new reference).
inline PyObject* import_into(PyObject* module, const char* name) {
    Ref imported(PyImport_ImportModule(name));
    if (!imported || PyModule_AddObjectRef(module, name, imported.get()) < 0) return nullptr;
    return imported.release();
}

}  // namespace kavrel
