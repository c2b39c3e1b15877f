#include "own_builtins.hpp"

#include "names.hpp"
#include "own_code.hpp"

namespace manifest {

namespace {

// Weak references without callbacks; replaced only by a later load, after
// the new ones are made (dropping such a reference runs nothing).
PyObject* own_sum = nullptr;
PyObject* own_import = nullptr;

PyObject* captured(PyObject* builtins, PyObject* name, const char* c_name) {
    PyObject* found = PyDict_GetItemWithError(builtins, name);
    if (found == nullptr || !is_own_module_function(found, "builtins", c_name)) return nullptr;
    return PyWeakref_NewRef(found, nullptr);
}

}  // namespace

void capture_own_builtins(PyObject* builtins) noexcept {
    PyObject* sum = nullptr;
    PyObject* import = nullptr;
    if (PyDict_CheckExact(builtins)) {
        sum = captured(builtins, names.sum, "sum");
        import = captured(builtins, names.__import__, "__import__");
    }
    PyErr_Clear();
    Py_XSETREF(own_sum, sum);
    Py_XSETREF(own_import, import);
}

bool is_own_builtin(PyObject* found, OwnBuiltin which) noexcept {
    PyObject* reference = which == OwnBuiltin::Sum ? own_sum : own_import;
    return reference != nullptr && found == PyWeakref_GET_OBJECT(reference) && found != Py_None;
}

Ref import_module(const Scope& scope, PyObject* module_name, PyObject* fromlist, PyObject* locals) {
    Ref import;
    if (PyDict_CheckExact(scope.builtins)) {
        import = Ref::borrow(PyDict_GetItemWithError(scope.builtins, names.__import__));
    } else {
        import = Ref::steal(PyObject_GetItem(scope.builtins, names.__import__));
        if (!import && PyErr_ExceptionMatches(PyExc_KeyError)) PyErr_Clear();
    }
    if (!import) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw PyErrOccurred{};
    }
    PyObject* given_fromlist = fromlist != nullptr ? fromlist : Py_None;
    PyObject* given_locals = locals != nullptr ? locals : Py_None;
    if (is_own_builtin(import.get(), OwnBuiltin::Import)) {
        return require(PyImport_ImportModuleLevelObject(module_name, scope.globals, given_locals, given_fromlist, 0));
    }
    Ref level = require(PyLong_FromLong(0));
    PyObject* args[] = {module_name, scope.globals, given_locals, given_fromlist, level.get()};
    return require(PyObject_Vectorcall(import.get(), args, 5, nullptr));
}

}  // namespace manifest
