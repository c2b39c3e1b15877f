// Module load: the two-step initialisation (creation, execution) and the
// module body that binds the namespace.
//
// The module loads into one interpreter per process, once. Creation remembers
// the first interpreter and the one module object; a later import (after the
// module was removed from sys.modules) gets that same object, and execution
// on it does nothing. A failed execution forgets the object so that the next
// import runs the whole load again.

#include <cstdint>

#include "checksum.hpp"
#include "encoder_guard.hpp"
#include "errors.hpp"
#include "names.hpp"
#include "native_function.hpp"
#include "own_builtins.hpp"
#include "record.hpp"
#include "state.hpp"

#include <frameobject.h>  // PyFrame_New, after Python.h

namespace manifest {

namespace {

// ---------------------------------------------------------------- load steps

void bind(PyObject* globals, PyObject* name, PyObject* value) {
    require_status(PyDict_SetItem(globals, name, value));
}

// Module-level code imports with its namespace as its locals.
void import_module_as(const Scope& scope, PyObject* name) {
    Ref module = import_module(scope, name, nullptr, scope.globals);
    bind(scope.globals, name, module.get());
}

// from <module> import <name>, ... : one import, then each name bound the
// moment it is taken.
void import_names_from(const Scope& scope, const char* module_name, std::initializer_list<PyObject*> taken) {
    Ref fromlist = require(PyTuple_New(static_cast<Py_ssize_t>(taken.size())));
    Py_ssize_t index = 0;
    for (PyObject* name : taken) PyTuple_SET_ITEM(fromlist.get(), index++, Py_NewRef(name));
    Ref text = require(PyUnicode_FromString(module_name));
    Ref module = import_module(scope, text.get(), fromlist.get(), scope.globals);
    for (PyObject* name : taken) bind(scope.globals, name, take_imported_name(module.get(), name).get());
}

// The traceback of a failed load step gains a frame named after the load.
void add_init_traceback_entry(PyObject* globals) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyCodeObject* code = PyCode_NewEmpty("manifest.cpp", kInitTracebackName, 1);
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_Restore(type, value, traceback);
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
}

void warn_on_version_mismatch() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    require_status(PyErr_WarnFormat(PyExc_RuntimeWarning, 1, kVersionMismatchText, PY_MAJOR_VERSION,
                                    PY_MINOR_VERSION, "brimwick.output.manifest", "does not match", major, minor));
}

// As for a module of Python source, the built-in names are in place before
// the body runs (the host's dataclass generates its methods in this
// namespace and would add them midway otherwise).
void bind_builtins(PyObject* globals) {
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins == nullptr) throw PyErrOccurred{};
    require_status(PyDict_SetDefault(globals, names.__builtins__, builtins) ? 0 : -1);
}

// The body runs as a module's code does: with the built-ins its namespace
// names when it starts.
void run_module_body(PyObject* globals) {
    Ref builtins = builtins_for(globals);
    const Scope scope{globals, builtins.get()};
    capture_own_builtins(builtins.get());
    import_module_as(scope, names.hashlib);
    import_module_as(scope, names.json);
    import_names_from(scope, "dataclasses", {names.dataclass, names.field});
    import_names_from(scope, "datetime", {names.datetime, names.timezone});
    import_names_from(scope, "typing", {names.Any});
    import_names_from(scope, "brimwick.core.schemas", {names.Finding});
    capture_standard_components(globals);

    Ref checksum = make_function({"compute_integrity_checksum", "compute_integrity_checksum", kChecksumDoc,
                                  {{names.findings, names.list_Finding}}, names.str, nullptr,
                                  compute_integrity_checksum_body},
                                 globals);
    bind(globals, names.compute_integrity_checksum, checksum.get());
    bind(globals, names.compute_manifest_hash, lookup_global(scope, names.compute_integrity_checksum).get());
    bind(globals, names.ScanEnvelope, build_scan_envelope_class(scope).get());
}

// ---------------------------------------------------------------- slots

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* {
        const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (interpreter == -1 && PyErr_Occurred()) throw PyErrOccurred{};
        if (!state.interpreter_known) {
            state.interpreter_id = interpreter;
            state.interpreter_known = true;
        } else if (state.interpreter_id != interpreter) {
            PyErr_SetString(PyExc_ImportError, kInterpreterChangeText);
            throw PyErrOccurred{};
        }
        if (state.module != nullptr) {
            // The import system resets the per-module state pointer of the
            // object it is handed; release the marker allocated by the first
            // execution so that it does not leak.
            PyMem_Free(PyModule_GetState(state.module));
            return Py_NewRef(state.module);
        }
        Ref name = require(PyObject_GetAttrString(spec, "name"));
        Ref module = require(PyModule_NewObject(name.get()));
        Ref doc = require(PyUnicode_FromString(kModuleDoc));
        require_status(PyModule_AddObjectRef(module.get(), "__doc__", doc.get()));
        state.module = Py_NewRef(module.get());
        state.executed = false;
        return module.release();
    });
}

void forget_module() {
    Py_CLEAR(state.module);
    state.executed = false;
}

int module_exec(PyObject* module) noexcept {
    if (state.module != nullptr && module != state.module) {
        PyErr_SetString(PyExc_RuntimeError, kReinitialisationText);
        return -1;
    }
    if (state.executed) return 0;
    PyObject* globals = PyModule_GetDict(module);  // borrowed from the module, which outlives this call
    bool in_body = false;
    int status = guard<int>(-1, [&] {
        warn_on_version_mismatch();
        intern_names();
        ready_helpers();
        ready_function_type();
        bind_builtins(globals);
        in_body = true;
        run_module_body(globals);
        return 0;
    });
    if (status < 0) {
        if (in_body) add_init_traceback_entry(globals);
        forget_module();
        return -1;
    }
    state.executed = true;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "manifest",
    nullptr,  // __doc__ is set once, at creation, so a re-import leaves it alone
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace manifest

extern "C" PyMODINIT_FUNC PyInit_manifest(void) { return PyModuleDef_Init(&manifest::module_definition); }
