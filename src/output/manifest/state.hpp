// Process-wide state of the module. The module loads into one interpreter
// per process, once, and is never unloaded, so its state lives in statics
// set up by the load and kept for the life of the process. It holds only
// what outlives any one load: the load's bookkeeping and fixed helper
// objects. A namespace is never kept here: each function object owns the
// namespace it was made in, so a function that survives a failed load keeps
// working on the namespace that load built.
#pragma once

#include <cstdint>

#include "scope.hpp"

namespace manifest {

struct ModuleState {
    PyObject* module = nullptr;         // strong: the one module object, once created
    bool executed = false;              // the body ran to completion on `module`
    bool interpreter_known = false;
    int64_t interpreter_id = -1;        // the interpreter that first created the module

    // Fixed helpers, made once and kept (strong references).
    PyObject* twelve = nullptr;               // the integer 12
    PyObject* two = nullptr;                  // the integer 2
    PyObject* float_zero = nullptr;           // the float 0.0
    PyObject* json_separators = nullptr;      // (",", ":")
    PyObject* dumps_keywords = nullptr;       // ("separators",)
    PyObject* fromlist_version = nullptr;     // ("__version__",)
    PyObject* fromlist_explanation = nullptr; // ("build_remediation_explanation",)
    PyObject* first_sixteen = nullptr;        // slice(None, 16)
    PyObject* envelope_keywords = nullptr;    // keyword names of the from_dict construction
};

extern ModuleState state;

// Makes the fixed helpers; safe to call again.
void ready_helpers();

// The built-ins a function made now in `globals` binds: the namespace's
// __builtins__ entry (a module stands for its dict), or else the built-ins
// of the code running now.
Ref builtins_for(PyObject* globals);

// A module-level name as a function of `scope` sees it now: the namespace
// first, then the built-ins it bound; NameError when neither has it.
Ref lookup_global(const Scope& scope, PyObject* name);

// `from <module_name> import <name>` made now by a function of `scope`:
// the import, then the name taken from the module.
Ref import_from(const Scope& scope, const char* module_name, PyObject* fromlist, PyObject* name);

// The name taken from an imported module, as IMPORT_FROM does (ImportError
// "cannot import name ..." for a missing one).
Ref take_imported_name(PyObject* module, PyObject* name);

// round(value, 2) with `round` as the caller looked it up, before working
// out `value` (as Python code loads the name first).
Ref round_two_places(PyObject* round, PyObject* value);

}  // namespace manifest
