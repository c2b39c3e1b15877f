#include "encoder_guard.hpp"

#include <memory>
#include <vector>

#include "names.hpp"

namespace manifest {

namespace {

// A Python function as noted: its code, defaults and keyword defaults (the
// keyword defaults' contents too, since that dict can be changed in place).
struct FunctionFacts {
    Ref function;
    Ref code;
    Ref defaults;
    Ref kwdefaults;
    Ref kwdefaults_contents;

    explicit FunctionFacts(PyObject* f)
        : function(Ref::borrow(f)),
          code(Ref::borrow(PyFunction_GET_CODE(f))),
          defaults(Ref::borrow(PyFunction_GET_DEFAULTS(f))),
          kwdefaults(Ref::borrow(PyFunction_GET_KW_DEFAULTS(f))) {
        if (kwdefaults) kwdefaults_contents = require(PyDict_Copy(kwdefaults.get()));
    }

    bool unchanged() const {
        PyObject* f = function.get();
        if (PyFunction_GET_CODE(f) != code.get() || PyFunction_GET_DEFAULTS(f) != defaults.get()) return false;
        PyObject* current = PyFunction_GET_KW_DEFAULTS(f);
        if (current != kwdefaults.get()) return false;
        if (current == nullptr) return true;
        if (PyDict_GET_SIZE(current) != PyDict_GET_SIZE(kwdefaults_contents.get())) return false;
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwdefaults_contents.get(), &position, &key, &value)) {
            // Keys are exact text, so the lookup cannot fail.
            if (PyDict_GetItemWithError(current, key) != value) return false;
        }
        return true;
    }
};

// A global name as a function of the encoding path resolves it: its module
// namespace first, then its built-ins.
struct NameFacts {
    Ref globals;
    Ref builtins;
    Ref name;
    Ref value;

    static PyObject* resolve(PyObject* globals, PyObject* builtins, PyObject* name) {
        PyObject* found = PyDict_GetItemWithError(globals, name);
        if (found == nullptr && !PyErr_Occurred()) found = PyDict_GetItemWithError(builtins, name);
        return found;  // borrowed; nullptr with an error set, or for a missing name
    }

    bool unchanged() const {
        PyObject* now = resolve(globals.get(), builtins.get(), name.get());
        if (now == nullptr) PyErr_Clear();  // a failing lookup only means "changed"
        return now == value.get();
    }
};

struct EncodingPath {
    std::vector<FunctionFacts> functions;  // json.dumps first
    std::vector<NameFacts> names;
    Ref encoder_class;
    unsigned int encoder_version = 0;

    bool unchanged(PyObject* dumps) const {
        if (dumps != functions.front().function.get()) return false;
        // Any change to the class's attributes (or its bases') invalidates
        // its version tag; tags are never reused.
        auto* cls = reinterpret_cast<PyTypeObject*>(encoder_class.get());
        if (!PyType_HasFeature(cls, Py_TPFLAGS_VALID_VERSION_TAG) || cls->tp_version_tag != encoder_version) {
            return false;
        }
        for (const FunctionFacts& f : functions) {
            if (!f.unchanged()) return false;
        }
        for (const NameFacts& n : names) {
            if (!n.unchanged()) return false;
        }
        return true;
    }
};

// Kept for the life of the process; replaced by a later load. A plain
// pointer, so nothing is released after the interpreter has gone.
EncodingPath* noted_path = nullptr;

Ref python_function(PyObject* owner, const char* name) {
    Ref found = require(PyObject_GetAttrString(owner, name));
    if (!PyFunction_Check(found.get())) return Ref();
    return found;
}

void note_name(EncodingPath& path, PyObject* function, const char* name) {
    NameFacts facts;
    facts.globals = Ref::borrow(PyFunction_GET_GLOBALS(function));
    facts.builtins = Ref::borrow(reinterpret_cast<PyFunctionObject*>(function)->func_builtins);
    facts.name = require(PyUnicode_InternFromString(name));
    PyObject* value = NameFacts::resolve(facts.globals.get(), facts.builtins.get(), facts.name.get());
    if (value == nullptr && PyErr_Occurred()) throw PyErrOccurred{};
    facts.value = Ref::borrow(value);
    path.names.push_back(std::move(facts));
}

// The path json.dumps(values, separators=...) takes for a list of text, or
// nothing when it is not made of Python functions the guard can follow.
std::unique_ptr<EncodingPath> note_path(PyObject* json_module) {
    Ref dumps = python_function(json_module, "dumps");
    if (!dumps) return nullptr;
    auto path = std::make_unique<EncodingPath>();
    path->functions.emplace_back(dumps.get());

    note_name(*path, dumps.get(), "JSONEncoder");
    PyObject* cls = path->names.back().value.get();
    if (cls == nullptr || !PyType_Check(cls)) return nullptr;
    path->encoder_class = Ref::borrow(cls);
    Ref init = python_function(cls, "__init__");
    Ref encode = python_function(cls, "encode");
    Ref iterencode = python_function(cls, "iterencode");
    if (!init || !encode || !iterencode) return nullptr;
    // The lookups above gave the class a version tag, unless tags ran out.
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return nullptr;
    path->encoder_version = type->tp_version_tag;

    path->functions.emplace_back(init.get());
    path->functions.emplace_back(encode.get());
    path->functions.emplace_back(iterencode.get());
    // encode() and iterencode() share one module namespace and its built-ins.
    if (PyFunction_GET_GLOBALS(encode.get()) != PyFunction_GET_GLOBALS(iterencode.get())) return nullptr;
    for (const char* name : {"isinstance", "list", "tuple", "encode_basestring_ascii", "c_make_encoder", "INFINITY",
                             "float"}) {
        note_name(*path, iterencode.get(), name);
    }
    return path;
}

// hashlib and its sha256, as the load found them (strong references).
PyObject* noted_hashlib = nullptr;
PyObject* noted_sha256 = nullptr;

Ref module_entry(PyObject* module, const char* name) {
    PyObject* found = PyDict_GetItemString(PyModule_GetDict(module), name);  // borrowed; no error for text keys
    return Ref::borrow(found);
}

}  // namespace

void remember_hashlib(PyObject* hashlib_module) {
    Py_CLEAR(noted_hashlib);
    Py_CLEAR(noted_sha256);
    if (!PyModule_CheckExact(hashlib_module)) return;
    Ref sha256 = module_entry(hashlib_module, "sha256");
    if (!sha256 || !PyCFunction_Check(sha256.get())) return;
    noted_hashlib = Py_NewRef(hashlib_module);
    noted_sha256 = sha256.release();
}

PyObject* unchanged_sha256(PyObject* hashlib) {
    if (hashlib != noted_hashlib || noted_hashlib == nullptr) return nullptr;
    PyObject* current = PyDict_GetItemWithError(PyModule_GetDict(hashlib), names.sha256);
    if (current == nullptr) PyErr_Clear();
    return current == noted_sha256 ? current : nullptr;
}

void remember_json_encoder(PyObject* json_module, bool (*writer_agrees)(PyObject* dumps)) {
    delete noted_path;
    noted_path = nullptr;
    try {
        std::unique_ptr<EncodingPath> path = note_path(json_module);
        if (path && writer_agrees(path->functions.front().function.get()) &&
            path->unchanged(path->functions.front().function.get())) {
            noted_path = path.release();
        }
    } catch (const PyErrOccurred&) {
        // A path that cannot be noted is simply never replaced; only an
        // interrupt or an exit request ends the load.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
}

bool json_encoder_unchanged(PyObject* dumps) { return noted_path != nullptr && noted_path->unchanged(dumps); }

}  // namespace manifest
