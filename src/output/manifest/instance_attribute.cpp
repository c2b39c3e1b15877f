#include "instance_attribute.hpp"

// The layout of a type's shared keys, to find a name's index in them.
#define Py_BUILD_CORE 1
#include "internal/pycore_dict.h"
#undef Py_BUILD_CORE

namespace manifest {

namespace {

// A class attribute that cannot take over an instance's own value: none at
// all, or a plain value of an immutable type with no descriptor methods.
bool leaves_instance_value(PyObject* class_attribute) {
    if (class_attribute == nullptr) return true;
    PyTypeObject* kind = Py_TYPE(class_attribute);
    return PyType_HasFeature(kind, Py_TPFLAGS_IMMUTABLETYPE) && kind->tp_descr_get == nullptr &&
           kind->tp_descr_set == nullptr;
}

// The index of `name` among the shared keys of the type's instances, or -1.
Py_ssize_t shared_key_index(PyTypeObject* type, PyObject* name) {
    PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
    if (keys == nullptr || keys->dk_kind != DICT_KEYS_SPLIT) return -1;
    PyDictUnicodeEntry* entries = reinterpret_cast<PyDictUnicodeEntry*>(
        &reinterpret_cast<int8_t*>(keys->dk_indices)[static_cast<size_t>(1) << keys->dk_log2_index_bytes]);
    for (Py_ssize_t i = 0; i < keys->dk_nentries; ++i) {
        if (entries[i].me_key == name) return i;  // attribute names are interned, as `name` is
    }
    return -1;
}

}  // namespace

void InstanceAttribute::learn(PyTypeObject* type) {
    type_ = type;
    version_ = 0;
    if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
        type->tp_getattro != PyObject_GenericGetAttr) {
        return;
    }
    // The lookup also gives the type a version tag, unless tags ran out.
    PyObject* class_attribute = _PyType_Lookup(type, name_);
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) || !leaves_instance_value(class_attribute)) return;
    const Py_ssize_t index = shared_key_index(type, name_);
    if (index < 0) return;
    index_ = index;
    version_ = type->tp_version_tag;
}

}  // namespace manifest
