#include "own_code.hpp"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cstring>
#include <string>

namespace manifest {

namespace {

// The canonical path of `path`, or "" when it cannot be resolved.
std::string real_path(const char* path) {
    char resolved[PATH_MAX];
    return realpath(path, resolved) != nullptr ? std::string(resolved) : std::string();
}

// <stdlib>/lib-dynload/, resolved, from the interpreter's own setting.
std::string extension_directory() {
    PyObject* stdlib = PySys_GetObject("_stdlib_dir");  // borrowed
    if (stdlib == nullptr || !PyUnicode_CheckExact(stdlib)) return std::string();
    const char* text = PyUnicode_AsUTF8(stdlib);
    if (text == nullptr) {
        PyErr_Clear();
        return std::string();
    }
    std::string directory = real_path((std::string(text) + "/lib-dynload").c_str());
    return directory.empty() ? directory : directory + "/";
}

}  // namespace

bool is_own_code(const void* address, const char* module) {
    Dl_info where{}, interpreter{};
    if (address == nullptr || dladdr(address, &where) == 0 || where.dli_fname == nullptr) return false;
    if (dladdr(static_cast<const void*>(&PyType_Type), &interpreter) == 0) return false;
    if (where.dli_fbase == interpreter.dli_fbase) return true;
    const std::string directory = extension_directory();
    const std::string file = real_path(where.dli_fname);
    const std::string expected = directory + module + ".";
    return !directory.empty() && file.compare(0, expected.size(), expected) == 0 &&
           file.find('/', directory.size()) == std::string::npos;
}

namespace {

// Text of an exact str equal to `expected`.
bool text_is(PyObject* text, const char* expected) {
    return text != nullptr && PyUnicode_CheckExact(text) && PyUnicode_CompareWithASCIIString(text, expected) == 0;
}

// An entry of a C type's own dict: a descriptor the type made for itself,
// under its own name, its documentation and module text, or the
// interpreter's constructor wrapper bound to the type.
bool is_own_attribute(PyTypeObject* type, PyObject* key, PyObject* value) {
    PyTypeObject* kind = Py_TYPE(value);
    if (kind == &PyWrapperDescr_Type || kind == &PyMethodDescr_Type || kind == &PyMemberDescr_Type ||
        kind == &PyGetSetDescr_Type) {
        auto* descriptor = reinterpret_cast<PyDescrObject*>(value);
        return descriptor->d_type == type && PyUnicode_CheckExact(key) &&
               PyUnicode_Compare(descriptor->d_name, key) == 0;
    }
    if (text_is(key, "__doc__")) return value == Py_None || PyUnicode_CheckExact(value);
    if (text_is(key, "__module__")) return PyUnicode_CheckExact(value);
    if (text_is(key, "__new__") && PyCFunction_CheckExact(value)) {
        // Every type's __new__ wrapper shares one method entry: object's.
        PyObject* base_new = PyDict_GetItemWithError(PyBaseObject_Type.tp_dict, key);
        return base_new != nullptr && PyCFunction_CheckExact(base_new) && PyCFunction_GET_SELF(value) == (PyObject*)type &&
               reinterpret_cast<PyCFunctionObject*>(value)->m_ml == reinterpret_cast<PyCFunctionObject*>(base_new)->m_ml;
    }
    return false;
}

}  // namespace

bool is_own_module_function(PyObject* f, const char* module, const char* name) {
    if (f == nullptr || !PyCFunction_CheckExact(f)) return false;
    PyObject* owner = PyCFunction_GET_SELF(f);
    if (owner == nullptr || !PyModule_CheckExact(owner)) return false;
    PyModuleDef* definition = PyModule_GetDef(owner);
    if (definition == nullptr) {
        PyErr_Clear();
        return false;
    }
    const PyMethodDef* own = reinterpret_cast<PyCFunctionObject*>(f)->m_ml;
    for (const PyMethodDef* m = definition->m_methods; m != nullptr && m->ml_name != nullptr; ++m) {
        if (m == own) {
            return std::strcmp(m->ml_name, name) == 0 && is_own_code(code_address(m->ml_meth), module) &&
                   is_own_code(definition, module);
        }
    }
    return false;
}

bool is_own_c_type(PyObject* t, const char* module) {
    if (t == nullptr || !PyType_CheckExact(t)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(t);
    // Slots follow the type's dict: one deleted or replaced there leaves
    // a slot of the interpreter's generic code, or none.
    if (type->tp_base != &PyBaseObject_Type || !is_own_code(code_address(type->tp_dealloc), module) ||
        (type->tp_new != nullptr && !is_own_code(code_address(type->tp_new), module))) {
        return false;
    }
    if (PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) return true;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(type->tp_dict, &position, &key, &value)) {
        if (!is_own_attribute(type, key, value)) return false;
    }
    return true;
}

}  // namespace manifest
