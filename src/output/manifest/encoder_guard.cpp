#include "encoder_guard.hpp"

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <utility>

#include "names.hpp"
#include "own_code.hpp"

namespace manifest {

namespace {

// What the host's path needs below the checksum's own frame: json.dumps,
// JSONEncoder.encode and .iterencode, and the C encoder's level for the list.
constexpr int kHostFrames = 5;

// ---------------------------------------------------------------- held weakly

// A weak reference without a callback (nothing runs when its object goes);
// Ref() when one cannot be made.
Ref weakly(PyObject* object) {
    Ref reference = Ref::steal(PyWeakref_NewRef(object, nullptr));
    if (!reference) PyErr_Clear();
    return reference;
}

// The object still referred to, or nullptr: comparing an object with it is
// an identity check that no freed and reused address can pass.
PyObject* target(const Ref& reference) {
    if (!reference) return nullptr;
    PyObject* object = PyWeakref_GET_OBJECT(reference.get());
    return object == Py_None ? nullptr : object;
}

uint64_t dict_version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }

// A dict by identity and version: every dict made or changed takes a new
// version from one counter, so a dict made later at the same address is
// not taken for this one.
struct DictState {
    PyObject* dict = nullptr;  // not owned: its owner is held weakly
    uint64_t version = 0;

    static DictState of(PyObject* d) { return DictState{d, d != nullptr ? dict_version(d) : 0}; }
    bool same(PyObject* d) const { return d == dict && (d == nullptr || dict_version(d) == version); }
};

// A Python function by identity, with its code and keyword defaults.
struct FunctionState {
    Ref function, code;
    DictState keyword_defaults;

    static FunctionState of(PyObject* f) {
        return FunctionState{weakly(f), weakly(PyFunction_GET_CODE(f)), DictState::of(PyFunction_GET_KW_DEFAULTS(f))};
    }
    bool captured() const { return function && code; }
    bool same(PyObject* f) const {
        return f != nullptr && f == target(function) && PyFunction_GET_CODE(f) == target(code) &&
               keyword_defaults.same(PyFunction_GET_KW_DEFAULTS(f));
    }
};

// A class by identity and version tag: any change to its attributes drops
// the tag, and tags are never given out twice.
struct ClassState {
    Ref cls;
    unsigned int version = 0;

    static ClassState of(PyObject* c) { return ClassState{weakly(c), reinterpret_cast<PyTypeObject*>(c)->tp_version_tag}; }
    bool same(PyObject* c) const {
        if (c == nullptr || c != target(cls) || !Py_IS_TYPE(c, &PyType_Type)) return false;
        auto* type = reinterpret_cast<PyTypeObject*>(c);
        return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == version;
    }
};

// A namespace whose entries were last found right, by identity and the
// version it had then. Lookups in it run nothing only while every key is
// exact text (another key's __eq__ would run on a hash collision), so a
// changed namespace is scanned before it is read.
struct NamespaceState {
    PyObject* dict = nullptr;  // not owned: the function that owns it is held weakly
    uint64_t verified_version = 0;

    // Whether the entries read through `dict` may be taken as last found;
    // false when `dict` changed since and must be read again.
    bool unchanged(PyObject* d) const { return d == dict && dict_version(d) == verified_version; }
};

bool has_text_keys_only(PyObject* dict) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

struct Captured {
    FunctionState dumps, init, encode, iterencode;
    // json's namespace, json.encoder's, and the built-ins both bound.
    NamespaceState package, encoder_module, builtins;
    NamespaceState hashlib;  // the namespace sha256 was last found right in
    ClassState encoder_class, c_encoder;
    Ref escaper, isinstance;
    Ref sha256, hasher_type;  // nothing when hashlib's are not the interpreter's own
};

// Replaced only by a later load, after the new one is complete; dropping a
// weak reference without a callback runs nothing.
Captured* captured = nullptr;

// ---------------------------------------------------------------- lookups that run nothing

// An entry of an exact dict with a text key; nullptr when absent or on any
// error (cleared: the guard then only declines).
PyObject* entry(PyObject* dict, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (found == nullptr) PyErr_Clear();
    return found;
}

// A global name as the Python function `f` resolves it: its namespace, then
// the built-ins it bound (both exact dicts, as the load checked).
PyObject* resolve(PyObject* f, PyObject* name) {
    auto* function = reinterpret_cast<PyFunctionObject*>(f);
    PyObject* found = PyDict_GetItemWithError(function->func_globals, name);
    if (found == nullptr && !PyErr_Occurred()) found = PyDict_GetItemWithError(function->func_builtins, name);
    if (found == nullptr) PyErr_Clear();
    return found;
}

// ---------------------------------------------------------------- the load's structural checks

// The standard library's json files; their functions' code carries these
// names (the import system sets them to the source's path even when the
// code comes from a cached compilation).
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
// qualified name `qualname` and no closure, whose names resolve through
// plain dicts.
bool is_standard_function(PyObject* f, PyObject* filename, const char* qualname) {
    if (f == nullptr || !PyFunction_Check(f)) return false;
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(f));
    auto* function = reinterpret_cast<PyFunctionObject*>(f);
    return PyUnicode_CheckExact(code->co_filename) && PyUnicode_Compare(code->co_filename, filename) == 0 &&
           PyUnicode_CheckExact(code->co_qualname) && PyUnicode_CompareWithASCIIString(code->co_qualname, qualname) == 0 &&
           function->func_closure == nullptr && PyDict_CheckExact(function->func_globals) &&
           PyDict_CheckExact(function->func_builtins);
}

using Defaults = std::initializer_list<std::pair<PyObject*, PyObject*>>;

// Keyword defaults that are exactly the standard library's (each the same
// singleton).
bool has_keyword_defaults(PyObject* f, Defaults expected) {
    PyObject* given = PyFunction_GET_KW_DEFAULTS(f);
    if (given == nullptr || !PyDict_CheckExact(given) || PyDict_GET_SIZE(given) != static_cast<Py_ssize_t>(expected.size())) {
        return false;
    }
    for (const auto& [name, value] : expected) {
        if (entry(given, name) != value) return false;
    }
    return true;
}

// Positional defaults as the standard library's: none, or exactly (False,).
bool has_positional_defaults(PyObject* f, bool one_false) {
    PyObject* given = PyFunction_GET_DEFAULTS(f);
    if (!one_false) return given == nullptr;
    return given != nullptr && PyTuple_CheckExact(given) && PyTuple_GET_SIZE(given) == 1 &&
           PyTuple_GET_ITEM(given, 0) == Py_False;
}

// A class's version tag is given by a lookup through it, unless tags have
// run out; without one, changes to it could not be seen.
bool has_version_tag(PyObject* cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    _PyType_Lookup(type, names.iterencode);
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
}

// JSONEncoder exactly as the standard library defines it: a plain class of
// object with its ten own attributes and nothing else, so that making an
// instance and reading and setting its attributes run only its own methods.
bool is_standard_encoder_class(PyObject* cls, const StandardFiles& files) {
    if (cls == nullptr || !PyType_CheckExact(cls)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (type->tp_base != &PyBaseObject_Type || type->tp_mro == nullptr || PyTuple_GET_SIZE(type->tp_mro) != 2) return false;
    PyObject* attributes = type->tp_dict;
    if (PyDict_GET_SIZE(attributes) != 10) return false;
    for (PyObject* name : {names.__module__, names.__doc__, names.__dict__, names.__weakref__}) {
        if (entry(attributes, name) == nullptr) return false;
    }
    PyObject* item_separator = entry(attributes, names.item_separator);
    PyObject* key_separator = entry(attributes, names.key_separator);
    PyObject* fallback = entry(attributes, names.default_);
    PyObject* init = entry(attributes, names.__init__);
    PyObject* encode = entry(attributes, names.encode);
    PyObject* iterencode = entry(attributes, names.iterencode);
    return item_separator && PyUnicode_CheckExact(item_separator) && key_separator &&
           PyUnicode_CheckExact(key_separator) && fallback && PyFunction_Check(fallback) &&
           is_standard_function(init, files.encoder.get(), "JSONEncoder.__init__") && has_positional_defaults(init, false) &&
           has_keyword_defaults(init, {{names.skipkeys, Py_False}, {names.ensure_ascii, Py_True},
                                       {names.check_circular, Py_True}, {names.allow_nan, Py_True},
                                       {names.sort_keys, Py_False}, {names.indent, Py_None},
                                       {names.separators, Py_None}, {names.default_, Py_None}}) &&
           is_standard_function(encode, files.encoder.get(), "JSONEncoder.encode") && has_positional_defaults(encode, false) &&
           PyFunction_GET_KW_DEFAULTS(encode) == nullptr &&
           is_standard_function(iterencode, files.encoder.get(), "JSONEncoder.iterencode") &&
           has_positional_defaults(iterencode, true) && PyFunction_GET_KW_DEFAULTS(iterencode) == nullptr &&
           PyFunction_GET_GLOBALS(encode) == PyFunction_GET_GLOBALS(iterencode) &&
           PyFunction_GET_GLOBALS(init) == PyFunction_GET_GLOBALS(iterencode) &&
           reinterpret_cast<PyFunctionObject*>(encode)->func_builtins ==
               reinterpret_cast<PyFunctionObject*>(iterencode)->func_builtins &&
           has_version_tag(cls);
}

// What encode() and iterencode() look up on the way to the C encoder, for
// a list of text with indent None, each the interpreter's own. The floats
// and types are checked on every call: INFINITY is negated and float's
// __repr__ read there, which runs nothing only for these.
bool encoder_names_are_standard(PyObject* iterencode, const Captured& c) {
    PyObject* infinity = resolve(iterencode, names.infinity_);
    return infinity != nullptr && PyFloat_CheckExact(infinity) &&
           resolve(iterencode, names.float_) == reinterpret_cast<PyObject*>(&PyFloat_Type) &&
           resolve(iterencode, names.str) == reinterpret_cast<PyObject*>(&PyUnicode_Type) &&
           resolve(iterencode, names.list_) == reinterpret_cast<PyObject*>(&PyList_Type) &&
           resolve(iterencode, names.tuple_) == reinterpret_cast<PyObject*>(&PyTuple_Type) &&
           resolve(iterencode, names.isinstance) == target(c.isinstance) &&
           resolve(iterencode, names.encode_basestring_ascii) == target(c.escaper) &&
           c.c_encoder.same(resolve(iterencode, names.c_make_encoder));
}

// The names dumps and the encoder's methods look up, each as captured:
// read again only from namespaces changed since they were last found
// right, and only when nothing can run while they are read.
bool names_are_standard(PyObject* dumps, PyObject* iterencode, Captured& c) {
    PyObject* package = PyFunction_GET_GLOBALS(dumps);
    PyObject* encoder_module = PyFunction_GET_GLOBALS(iterencode);
    PyObject* builtins = reinterpret_cast<PyFunctionObject*>(iterencode)->func_builtins;
    if (c.package.unchanged(package) && c.encoder_module.unchanged(encoder_module) && c.builtins.unchanged(builtins)) {
        return true;
    }
    if (package != c.package.dict || encoder_module != c.encoder_module.dict || builtins != c.builtins.dict ||
        !has_text_keys_only(package) || !has_text_keys_only(encoder_module) || !has_text_keys_only(builtins) ||
        !c.encoder_class.same(resolve(dumps, names.JSONEncoder)) || !encoder_names_are_standard(iterencode, c)) {
        return false;
    }
    c.package.verified_version = dict_version(package);
    c.encoder_module.verified_version = dict_version(encoder_module);
    c.builtins.verified_version = dict_version(builtins);
    return true;
}

// The json path from the namespace's json module, when every part of it is
// the standard library's own; false, with `c` partly filled, otherwise.
bool capture_json(PyObject* globals, Captured& c) {
    StandardFiles files;
    PyObject* json = entry(globals, names.json);
    if (!standard_files(files) || json == nullptr || !PyModule_CheckExact(json)) return false;
    if (!has_text_keys_only(PyModule_GetDict(json))) return false;
    PyObject* dumps = entry(PyModule_GetDict(json), names.dumps);
    if (!is_standard_function(dumps, files.package.get(), "dumps") || !has_positional_defaults(dumps, false) ||
        PyFunction_GET_GLOBALS(dumps) != PyModule_GetDict(json) ||
        !has_keyword_defaults(dumps, {{names.skipkeys, Py_False}, {names.ensure_ascii, Py_True},
                                      {names.check_circular, Py_True}, {names.allow_nan, Py_True},
                                      {names.cls, Py_None}, {names.indent, Py_None}, {names.separators, Py_None},
                                      {names.default_, Py_None}, {names.sort_keys, Py_False}})) {
        return false;
    }
    // Lookups below run nothing only in namespaces keyed by exact text
    // (dumps' own namespace is json's, checked above).
    if (!has_text_keys_only(reinterpret_cast<PyFunctionObject*>(dumps)->func_builtins)) return false;
    PyObject* cls = resolve(dumps, names.JSONEncoder);
    if (!is_standard_encoder_class(cls, files)) return false;
    PyObject* attributes = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
    PyObject* iterencode = entry(attributes, names.iterencode);
    if (!has_text_keys_only(PyFunction_GET_GLOBALS(iterencode))) return false;
    PyObject* escaper = resolve(iterencode, names.encode_basestring_ascii);
    PyObject* c_encoder = resolve(iterencode, names.c_make_encoder);
    PyObject* isinstance = resolve(iterencode, names.isinstance);
    if (!is_own_module_function(escaper, "_json", "encode_basestring_ascii") ||
        entry(PyModule_GetDict(PyCFunction_GET_SELF(escaper)), names.make_encoder) != c_encoder ||
        !is_own_c_type(c_encoder, "_json") ||
        !is_own_code(code_address(reinterpret_cast<PyTypeObject*>(c_encoder)->tp_call), "_json") ||
        !has_version_tag(c_encoder) ||
        !is_own_module_function(isinstance, "builtins", "isinstance")) {
        return false;
    }
    c.dumps = FunctionState::of(dumps);
    c.init = FunctionState::of(entry(attributes, names.__init__));
    c.encode = FunctionState::of(entry(attributes, names.encode));
    c.iterencode = FunctionState::of(iterencode);
    c.encoder_class = ClassState::of(cls);
    c.c_encoder = ClassState::of(c_encoder);
    c.escaper = weakly(escaper);
    c.isinstance = weakly(isinstance);
    auto* dumps_function = reinterpret_cast<PyFunctionObject*>(dumps);
    auto* iterencode_function = reinterpret_cast<PyFunctionObject*>(iterencode);
    if (dumps_function->func_builtins != iterencode_function->func_builtins) return false;
    c.package.dict = dumps_function->func_globals;
    c.encoder_module.dict = iterencode_function->func_globals;
    c.builtins.dict = iterencode_function->func_builtins;
    return c.dumps.captured() && c.init.captured() && c.encode.captured() && c.iterencode.captured() &&
           c.encoder_class.cls && c.c_encoder.cls && c.escaper && c.isinstance && names_are_standard(dumps, iterencode, c);
}

// hashlib's sha256 when it is OpenSSL's or the built-in one, with the
// immutable hasher type its module defines.
void capture_sha256(PyObject* globals, Captured& c) {
    PyObject* hashlib = entry(globals, names.hashlib);
    if (hashlib == nullptr || !PyModule_CheckExact(hashlib) || !has_text_keys_only(PyModule_GetDict(hashlib))) return;
    PyObject* sha256 = entry(PyModule_GetDict(hashlib), names.sha256);
    const char* module = is_own_module_function(sha256, "_hashlib", "openssl_sha256") ? "_hashlib"
                         : is_own_module_function(sha256, "_sha256", "sha256")       ? "_sha256"
                                                                                      : nullptr;
    if (module == nullptr) return;
    PyObject* owner = PyModule_GetDict(PyCFunction_GET_SELF(sha256));
    if (!has_text_keys_only(owner)) return;
    PyObject* type = entry(owner, module[1] == 'h' ? names.HASH : names.SHA256Type);
    if (!is_own_c_type(type, module) ||
        !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type), Py_TPFLAGS_IMMUTABLETYPE)) {
        return;
    }
    Ref hasher_type = weakly(type);
    Ref constructor = weakly(sha256);
    if (!hasher_type || !constructor) return;
    c.hasher_type = std::move(hasher_type);
    c.sha256 = std::move(constructor);
}

}  // namespace

void capture_standard_components(PyObject* globals) noexcept {
    auto fresh = std::make_unique<Captured>();
    if (!capture_json(globals, *fresh)) fresh->dumps = FunctionState{};  // the json path is never fast then
    capture_sha256(globals, *fresh);
    PyErr_Clear();
    Captured* old = captured;
    captured = fresh.release();
    delete old;
}

bool host_frames_observable() noexcept {
    PyThreadState* thread = PyThreadState_Get();
    return thread->c_tracefunc != nullptr || thread->c_profilefunc != nullptr ||
           thread->recursion_remaining < kHostFrames;
}

// Nothing here runs Python code: identities, versions, and lookups in
// dicts whose keys are all exact text.
bool json_dumps_is_standard(PyObject* dumps) noexcept {
    Captured* c = captured;
    if (c == nullptr || !c->dumps.same(dumps) || !has_positional_defaults(dumps, false)) return false;
    PyObject* init = target(c->init.function);
    PyObject* encode = target(c->encode.function);
    PyObject* iterencode = target(c->iterencode.function);
    if (!c->init.same(init) || !has_positional_defaults(init, false) || !c->encode.same(encode) ||
        !has_positional_defaults(encode, false) || !c->iterencode.same(iterencode) ||
        !has_positional_defaults(iterencode, true) || !names_are_standard(dumps, iterencode, *c)) {
        return false;
    }
    // The classes are checked on every call: a version tag is not a dict's.
    return c->encoder_class.same(target(c->encoder_class.cls)) && c->c_encoder.same(target(c->c_encoder.cls));
}

PyObject* standard_sha256(PyObject* hashlib) noexcept {
    // An exact module's attributes are its dict's entries: no descriptor
    // of the module type is named sha256, and the type cannot change. The
    // dict is read again only when it changed since sha256 was last found
    // in it, and only when no lookup in it can run code.
    Captured* c = captured;
    if (c == nullptr || !PyModule_CheckExact(hashlib)) return nullptr;
    PyObject* sha256 = target(c->sha256);
    PyObject* namespace_dict = PyModule_GetDict(hashlib);
    if (sha256 == nullptr || namespace_dict == nullptr) return nullptr;
    if (c->hashlib.unchanged(namespace_dict)) return sha256;
    if (!has_text_keys_only(namespace_dict) || entry(namespace_dict, names.sha256) != sha256) return nullptr;
    c->hashlib = NamespaceState{namespace_dict, dict_version(namespace_dict)};
    return sha256;
}

bool is_standard_hasher(PyObject* hasher) noexcept {
    const Captured* c = captured;
    return c != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(hasher)) == target(c->hasher_type);
}

}  // namespace manifest
