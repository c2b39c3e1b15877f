// Reading one attribute of many instances at the interpreter's specialised
// speed. CPython 3.11 specialises `obj.name` for instances whose attributes
// live in an inline values array (the managed dict): it checks the type's
// version tag and reads the value at the name's fixed index. This reader
// does the same under the same guards, and falls back to the generic
// getattr whenever any of them fails: another type, a type changed since
// (a new version tag), a data descriptor or a __getattribute__/__getattr__
// of its own, an instance whose dict was materialised, or a value missing
// from the array. Either way the result, and what Python code runs, are
// those of getattr(obj, name).
#pragma once

#include "ref.hpp"

namespace manifest {

class InstanceAttribute {
public:
    explicit InstanceAttribute(PyObject* name) : name_(name) {}

    // getattr(object, name)
    Ref read(PyObject* object) {
        PyTypeObject* type = Py_TYPE(object);
        if (type == type_ && type->tp_version_tag == version_ &&
            PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
            PyObject* const* values = reinterpret_cast<PyObject* const* const*>(object)[-4];
            if (values != nullptr && values[index_] != nullptr) return Ref::borrow(values[index_]);
        } else if (type != type_) {
            learn(type);
        }
        return require(PyObject_GetAttr(object, name_));
    }

private:
    void learn(PyTypeObject* type);

    PyObject* name_;                // borrowed interned name
    PyTypeObject* type_ = nullptr;  // compared by identity only, never dereferenced unless current
    unsigned int version_ = 0;      // 0 is never a valid tag: matches nothing
    Py_ssize_t index_ = 0;
};

}  // namespace manifest
