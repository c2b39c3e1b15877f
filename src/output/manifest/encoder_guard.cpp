#include "encoder_guard.hpp"

#include <cstring>
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

#include "names.hpp"

namespace manifest {

namespace {

// ---------------------------------------------------------------- the interpreter's C components

// The extension module `name`'s own module object: one made from a
// definition of that name (a module of Python code has none).
bool is_extension_module(PyObject* module, const char* name) {
    if (module == nullptr || !PyModule_CheckExact(module)) return false;
    PyModuleDef* def = PyModule_GetDef(module);
    return def != nullptr && def->m_name != nullptr && std::strcmp(def->m_name, name) == 0;
}

// The function `name` of the extension module `module`, itself: a built-in
// function bound to that module whose method entry is one of the module's
// own (a compiled function of another module has its own entry and module).
bool is_module_function(PyObject* f, const char* module, const char* name) {
    if (!PyCFunction_CheckExact(f)) return false;
    PyObject* owner = PyCFunction_GET_SELF(f);
    if (!is_extension_module(owner, module)) return false;
    const PyMethodDef* own = reinterpret_cast<PyCFunctionObject*>(f)->m_ml;
    for (const PyMethodDef* m = PyModule_GetDef(owner)->m_methods; m != nullptr && m->ml_name != nullptr; ++m) {
        if (m == own) return std::strcmp(m->ml_name, name) == 0;
    }
    return false;
}

// Attributes a type of C code has of its own: its slots and methods as
// descriptors, and text.
bool is_c_attribute(PyObject* value) {
    PyTypeObject* kind = Py_TYPE(value);
    return kind == &PyWrapperDescr_Type || kind == &PyMethodDescr_Type || kind == &PyMemberDescr_Type ||
           kind == &PyGetSetDescr_Type || kind == &PyCFunction_Type || kind == &PyUnicode_Type || value == Py_None;
}

// The type `owner` (an extension module already known to be the
// interpreter's) exposes as `attribute`, under its own C name, with no
// attribute of Python's attached to it (such a type can be mutable).
bool is_module_type(PyObject* t, PyObject* owner, const char* attribute, const char* name) {
    if (!PyType_Check(t) || PyDict_GetItemString(PyModule_GetDict(owner), attribute) != t) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(t);
    if (std::strcmp(type->tp_name, name) != 0 || type->tp_base != &PyBaseObject_Type) return false;
    if (PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) return true;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(type->tp_dict, &position, &key, &value)) {
        if (!is_c_attribute(value)) return false;
    }
    return true;
}

// ---------------------------------------------------------------- the standard library's Python code

// Where the standard library's json package lies; its functions' code
// carries these file names (the import system sets them to the source's
// path even when the code comes from a cached compilation).
struct StandardFiles {
    Ref package;  // <stdlib>/json/__init__.py
    Ref encoder;  // <stdlib>/json/encoder.py
};

bool standard_files(StandardFiles& files) {
    PyObject* stdlib = PySys_GetObject("_stdlib_dir");  // borrowed; the interpreter's own setting
    if (stdlib == nullptr || !PyUnicode_CheckExact(stdlib)) return false;
    files.package = Ref::steal(PyUnicode_FromFormat("%U/json/__init__.py", stdlib));
    files.encoder = Ref::steal(PyUnicode_FromFormat("%U/json/encoder.py", stdlib));
    if (!files.package || !files.encoder) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// A Python function of the standard library's file `filename` with the
// qualified name `qualname`, whose names resolve through plain dicts.
bool is_standard_function(PyObject* f, PyObject* filename, const char* qualname) {
    if (f == nullptr || !PyFunction_Check(f)) return false;
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f));
    auto* function = reinterpret_cast<PyFunctionObject*>(f);
    return PyUnicode_CheckExact(code->co_filename) && PyUnicode_Compare(code->co_filename, filename) == 0 &&
           PyUnicode_CheckExact(code->co_qualname) && PyUnicode_CompareWithASCIIString(code->co_qualname, qualname) == 0 &&
           PyDict_CheckExact(function->func_globals) && PyDict_CheckExact(function->func_builtins);
}

using Defaults = std::initializer_list<std::pair<const char*, PyObject*>>;

// Keyword defaults that are exactly the standard library's (each the same
// singleton), with no positional defaults.
bool has_keyword_defaults(PyObject* f, Defaults expected) {
    if (PyFunction_GET_DEFAULTS(f) != nullptr) return false;
    PyObject* given = PyFunction_GET_KW_DEFAULTS(f);
    if (given == nullptr || !PyDict_CheckExact(given) || PyDict_GET_SIZE(given) != static_cast<Py_ssize_t>(expected.size())) {
        return false;
    }
    for (const auto& [name, value] : expected) {
        if (PyDict_GetItemString(given, name) != value) return false;
    }
    return true;
}

bool has_no_defaults(PyObject* f) { return PyFunction_GET_DEFAULTS(f) == nullptr && PyFunction_GET_KW_DEFAULTS(f) == nullptr; }

// A global name as the function resolves it: its namespace, then its
// built-ins (both exact dicts, so nothing runs). Borrowed; nullptr if absent.
PyObject* resolve(PyObject* f, const char* name) {
    auto* function = reinterpret_cast<PyFunctionObject*>(f);
    PyObject* found = PyDict_GetItemString(function->func_globals, name);
    return found != nullptr ? found : PyDict_GetItemString(function->func_builtins, name);
}

// ---------------------------------------------------------------- what one verification covers

uint64_t dict_version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }

// A function as verified: any change to its code or defaults shows.
struct FunctionSeen {
    Ref function, code, defaults, kwdefaults;
    uint64_t kwdefaults_version = 0;

    explicit FunctionSeen(PyObject* f)
        : function(Ref::borrow(f)),
          code(Ref::borrow(PyFunction_GET_CODE(f))),
          defaults(Ref::borrow(PyFunction_GET_DEFAULTS(f))),
          kwdefaults(Ref::borrow(PyFunction_GET_KW_DEFAULTS(f))),
          kwdefaults_version(kwdefaults ? dict_version(kwdefaults.get()) : 0) {}

    bool unchanged() const {
        PyObject* f = function.get();
        return PyFunction_GET_CODE(f) == code.get() && PyFunction_GET_DEFAULTS(f) == defaults.get() &&
               PyFunction_GET_KW_DEFAULTS(f) == kwdefaults.get() &&
               (!kwdefaults || dict_version(kwdefaults.get()) == kwdefaults_version);
    }
};

// A namespace as verified: any store into it changes its version tag, and
// tags are never reused.
struct DictSeen {
    Ref dict;
    uint64_t version;
    explicit DictSeen(PyObject* d) : dict(Ref::borrow(d)), version(dict_version(d)) {}
    bool unchanged() const { return dict_version(dict.get()) == version; }
};

// A class as verified: any change to its attributes (or its bases')
// invalidates its version tag; tags are never reused.
struct ClassSeen {
    Ref cls;
    unsigned int version;
    explicit ClassSeen(PyObject* c) : cls(Ref::borrow(c)), version(reinterpret_cast<PyTypeObject*>(c)->tp_version_tag) {}
    bool unchanged() const {
        auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
        return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == version;
    }
};

// A class's version tag is given by a lookup through it, unless tags have
// run out; without one, changes to it could not be seen.
bool has_version_tag(PyObject* cls, PyObject* name) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    _PyType_Lookup(type, name);
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
}

struct VerifiedPath {
    std::vector<FunctionSeen> functions;  // json.dumps first
    std::vector<DictSeen> namespaces;
    std::vector<ClassSeen> classes;

    bool unchanged(PyObject* dumps) const {
        if (functions.empty() || dumps != functions.front().function.get()) return false;
        for (const ClassSeen& c : classes) {
            if (!c.unchanged()) return false;
        }
        for (const FunctionSeen& f : functions) {
            if (!f.unchanged()) return false;
        }
        for (const DictSeen& d : namespaces) {
            if (!d.unchanged()) return false;
        }
        return true;
    }
};

// JSONEncoder exactly as the standard library defines it: a plain class of
// object with its ten own attributes and nothing else, so that making an
// instance and reading and setting its attributes run only its own methods.
bool is_standard_encoder_class(PyObject* cls, const StandardFiles& files) {
    if (cls == nullptr || !PyType_CheckExact(cls)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (type->tp_base != &PyBaseObject_Type || type->tp_mro == nullptr || PyTuple_GET_SIZE(type->tp_mro) != 2) return false;
    PyObject* attributes = type->tp_dict;
    if (PyDict_GET_SIZE(attributes) != 10) return false;
    for (const char* name : {"__module__", "__doc__", "__dict__", "__weakref__"}) {
        if (PyDict_GetItemString(attributes, name) == nullptr) return false;
    }
    PyObject* item_separator = PyDict_GetItemString(attributes, "item_separator");
    PyObject* key_separator = PyDict_GetItemString(attributes, "key_separator");
    PyObject* fallback = PyDict_GetItemString(attributes, "default");
    PyObject* init = PyDict_GetItemString(attributes, "__init__");
    PyObject* encode = PyDict_GetItemString(attributes, "encode");
    PyObject* iterencode = PyDict_GetItemString(attributes, "iterencode");
    return item_separator && PyUnicode_CheckExact(item_separator) && key_separator &&
           PyUnicode_CheckExact(key_separator) && fallback && PyFunction_Check(fallback) &&
           is_standard_function(init, files.encoder.get(), "JSONEncoder.__init__") &&
           has_keyword_defaults(init, {{"skipkeys", Py_False}, {"ensure_ascii", Py_True}, {"check_circular", Py_True},
                                       {"allow_nan", Py_True}, {"sort_keys", Py_False}, {"indent", Py_None},
                                       {"separators", Py_None}, {"default", Py_None}}) &&
           is_standard_function(encode, files.encoder.get(), "JSONEncoder.encode") && has_no_defaults(encode) &&
           is_standard_function(iterencode, files.encoder.get(), "JSONEncoder.iterencode") &&
           PyFunction_GET_KW_DEFAULTS(iterencode) == nullptr && PyFunction_GET_DEFAULTS(iterencode) != nullptr &&
           PyTuple_GET_SIZE(PyFunction_GET_DEFAULTS(iterencode)) == 1 &&
           PyTuple_GET_ITEM(PyFunction_GET_DEFAULTS(iterencode), 0) == Py_False &&
           PyFunction_GET_GLOBALS(encode) == PyFunction_GET_GLOBALS(iterencode) &&
           PyFunction_GET_GLOBALS(init) == PyFunction_GET_GLOBALS(iterencode);
}

// What encode() and iterencode() look up on the way to the C encoder, for
// a list of text with indent None: each the interpreter's own.
bool encoder_names_are_standard(PyObject* iterencode) {
    PyObject* infinity = resolve(iterencode, "INFINITY");
    PyObject* c_make_encoder = resolve(iterencode, "c_make_encoder");
    PyObject* escaper = resolve(iterencode, "encode_basestring_ascii");
    PyObject* isinstance = resolve(iterencode, "isinstance");
    return infinity != nullptr && PyFloat_CheckExact(infinity) &&
           resolve(iterencode, "float") == reinterpret_cast<PyObject*>(&PyFloat_Type) &&
           resolve(iterencode, "str") == reinterpret_cast<PyObject*>(&PyUnicode_Type) &&
           resolve(iterencode, "list") == reinterpret_cast<PyObject*>(&PyList_Type) &&
           resolve(iterencode, "tuple") == reinterpret_cast<PyObject*>(&PyTuple_Type) &&
           isinstance != nullptr && is_module_function(isinstance, "builtins", "isinstance") &&
           escaper != nullptr && is_module_function(escaper, "_json", "encode_basestring_ascii") &&
           c_make_encoder != nullptr &&
           is_module_type(c_make_encoder, PyCFunction_GET_SELF(escaper), "make_encoder", "_json.Encoder");
}

// Verifies the whole path from `dumps`; nullptr when any part is not the
// standard library's own.
std::unique_ptr<VerifiedPath> verify(PyObject* dumps) {
    StandardFiles files;
    if (!standard_files(files)) return nullptr;
    if (!is_standard_function(dumps, files.package.get(), "dumps")) return nullptr;
    if (!has_keyword_defaults(dumps, {{"skipkeys", Py_False}, {"ensure_ascii", Py_True}, {"check_circular", Py_True},
                                      {"allow_nan", Py_True}, {"cls", Py_None}, {"indent", Py_None},
                                      {"separators", Py_None}, {"default", Py_None}, {"sort_keys", Py_False}})) {
        return nullptr;
    }
    PyObject* cls = resolve(dumps, "JSONEncoder");
    if (!is_standard_encoder_class(cls, files) || !has_version_tag(cls, names.iterencode)) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* iterencode = PyDict_GetItemString(type->tp_dict, "iterencode");
    if (!encoder_names_are_standard(iterencode)) return nullptr;
    PyObject* c_encoder = resolve(iterencode, "c_make_encoder");
    if (!has_version_tag(c_encoder, names.iterencode)) return nullptr;

    auto path = std::make_unique<VerifiedPath>();
    path->classes.emplace_back(cls);
    path->classes.emplace_back(c_encoder);
    PyObject* attributes = type->tp_dict;
    for (PyObject* f : {dumps, PyDict_GetItemString(attributes, "__init__"), PyDict_GetItemString(attributes, "encode"),
                        iterencode}) {
        path->functions.emplace_back(f);
    }
    for (PyObject* f : {dumps, iterencode}) {
        path->namespaces.emplace_back(PyFunction_GET_GLOBALS(f));
        path->namespaces.emplace_back(reinterpret_cast<PyFunctionObject*>(f)->func_builtins);
    }
    return path;
}

// The last path verified, kept for the life of the process so that a call
// on an unchanged path checks identities only. A plain pointer, so that
// nothing is released after the interpreter has gone.
VerifiedPath* verified = nullptr;

}  // namespace

bool json_dumps_is_standard(PyObject* dumps) {
    if (verified != nullptr && verified->unchanged(dumps)) return true;
    std::unique_ptr<VerifiedPath> path = verify(dumps);
    if (!path) return false;
    delete verified;
    verified = path.release();
    return true;
}

PyObject* standard_sha256(PyObject* hashlib) {
    // An exact module's attributes are its dict's entries: no descriptor
    // of the module type is named sha256, and the type cannot change.
    if (!PyModule_CheckExact(hashlib)) return nullptr;
    PyObject* sha256 = PyDict_GetItemWithError(PyModule_GetDict(hashlib), names.sha256);
    if (sha256 == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    const bool own = is_module_function(sha256, "_hashlib", "openssl_sha256") || is_module_function(sha256, "_sha256", "sha256");
    return own ? sha256 : nullptr;
}

bool is_standard_hasher(PyObject* sha256, PyObject* hasher) {
    PyObject* owner = PyCFunction_GET_SELF(sha256);
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(hasher));
    return is_module_type(type, owner, "HASH", "_hashlib.HASH") || is_module_type(type, owner, "SHA256Type", "_sha256.sha256");
}

}  // namespace manifest
