#include "state.hpp"

#include "errors.hpp"
#include "names.hpp"
#include "own_builtins.hpp"

namespace manifest {

ModuleState state;


void ready_helpers() {
    if (state.envelope_keywords != nullptr) return;
    Ref twelve = require(PyLong_FromLong(12));
    Ref two = require(PyLong_FromLong(2));
    Ref zero = require(PyFloat_FromDouble(0.0));
    Ref separators = require(Py_BuildValue("(ss)", ",", ":"));
    Ref dumps_keywords = require(PyTuple_Pack(1, names.separators));
    Ref fromlist_version = require(PyTuple_Pack(1, names.__version__));
    Ref fromlist_explanation = require(PyTuple_Pack(1, names.build_remediation_explanation));
    Ref sixteen = require(PyLong_FromLong(16));
    Ref first_sixteen = require(PySlice_New(nullptr, sixteen.get(), nullptr));
    Ref envelope_keywords = require(PyTuple_Pack(
        17, names.tenant_id, names.provider, names.regions, names.scan_profile, names.scanned_at,
        names.integrity_checksum, names.pricing_basis, names.discount_factor,
        names.adjusted_total_monthly_waste_usd, names.total_annual_waste_usd,
        names.adjusted_total_annual_waste_usd, names.spend_context_pct, names.failed_rules,
        names.narrative, names.account_summaries, names.brimwick_version, names.findings));

    state.twelve = twelve.release();
    state.two = two.release();
    state.float_zero = zero.release();
    state.json_separators = separators.release();
    state.dumps_keywords = dumps_keywords.release();
    state.fromlist_version = fromlist_version.release();
    state.fromlist_explanation = fromlist_explanation.release();
    state.first_sixteen = first_sixteen.release();
    state.envelope_keywords = envelope_keywords.release();
}

Ref builtins_for(PyObject* globals) {
    PyObject* builtins = PyDict_GetItemWithError(globals, names.__builtins__);
    if (builtins == nullptr) {
        if (PyErr_Occurred()) throw PyErrOccurred{};
        builtins = PyEval_GetBuiltins();
        if (builtins == nullptr) throw PyErrOccurred{};
    } else if (PyModule_Check(builtins)) {
        builtins = PyModule_GetDict(builtins);  // borrowed; never null for a module
    }
    return Ref::borrow(builtins);
}

// As the interpreter loads a global: the namespace, then the bound
// built-ins; any mapping there is asked by subscription, and only its
// KeyError means the name is missing.
Ref lookup_global(const Scope& scope, PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(scope.globals, name);
    if (found != nullptr) return Ref::borrow(found);
    if (PyErr_Occurred()) throw PyErrOccurred{};
    if (PyDict_CheckExact(scope.builtins)) {
        found = PyDict_GetItemWithError(scope.builtins, name);
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) throw PyErrOccurred{};
    } else {
        found = PyObject_GetItem(scope.builtins, name);
        if (found != nullptr) return Ref::steal(found);
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PyErrOccurred{};
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, kNameNotDefinedText, name);
    throw PyErrOccurred{};
}

Ref import_from(const Scope& scope, const char* module_name, PyObject* fromlist, PyObject* name) {
    Ref text = require(PyUnicode_FromString(module_name));
    Ref module = import_module(scope, text.get(), fromlist, nullptr);
    return take_imported_name(module.get(), name);
}

Ref take_imported_name(PyObject* module, PyObject* name) {
    PyObject* value = PyObject_GetAttr(module, name);
    if (value == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, kCannotImportNameText, name);
        }
        throw PyErrOccurred{};
    }
    return Ref::steal(value);
}

Ref round_two_places(PyObject* round, PyObject* value) {
    PyObject* args[] = {value, state.two};
    return require(PyObject_Vectorcall(round, args, 2, nullptr));
}

}  // namespace manifest
