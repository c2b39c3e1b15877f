#include "native_function.hpp"

#include <structmember.h>

#include "errors.hpp"
#include "names.hpp"
#include "state.hpp"

namespace manifest {

namespace {

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* annotations;  // dict, created lazily when absent
    PyObject* defaults;     // tuple or nullptr
    PyObject* parameters;   // tuple of interned parameter names, fixed
    PyObject* globals;      // the module namespace the body looks names up in
    PyObject* builtins;     // the built-ins bound when the function was made
    const char* error_name; // the name argument errors report
    FunctionBody body;
};

PyTypeObject* function_type = nullptr;

NativeFunction* as_function(PyObject* o) { return reinterpret_cast<NativeFunction*>(o); }

// ---------------------------------------------------------------- binding

[[noreturn]] void raise_count_error(const NativeFunction* f, Py_ssize_t required, Py_ssize_t total,
                                    Py_ssize_t given, bool too_many) {
    const char* bound;
    Py_ssize_t expected;
    if (required == total) {
        bound = "exactly";
        expected = total;
    } else if (too_many) {
        bound = "at most";
        expected = total;
    } else {
        bound = "at least";
        expected = required;
    }
    PyErr_Format(PyExc_TypeError, kArgumentCountText, f->error_name, bound, expected,
                 expected == 1 ? "" : "s", given);
    throw PyErrOccurred{};
}

Py_ssize_t parameter_index(const NativeFunction* f, PyObject* keyword) {
    Py_ssize_t count = PyTuple_GET_SIZE(f->parameters);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(f->parameters, i) == keyword) return i;
    }
    if (!PyUnicode_Check(keyword)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        throw PyErrOccurred{};
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        int equal = PyUnicode_Compare(PyTuple_GET_ITEM(f->parameters, i), keyword);
        if (equal == -1 && PyErr_Occurred()) throw PyErrOccurred{};
        if (equal == 0) return i;
    }
    return -1;
}

Ref call_function(NativeFunction* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t total = PyTuple_GET_SIZE(f->parameters);
    // Defaults may be replaced at run time, as with Python functions.
    Ref defaults = Ref::borrow(f->defaults);
    const Py_ssize_t default_count = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
    const Py_ssize_t required = default_count < total ? total - default_count : 0;
    // Defaults fill the trailing parameters; a longer tuple's leading items
    // are never used, as with Python functions.
    const Py_ssize_t first_default = total - default_count;

    if (given > total) raise_count_error(f, required, total, given, true);

    PyObject* bound[kMaxParameters] = {};
    for (Py_ssize_t i = 0; i < given; ++i) bound[i] = args[i];

    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = parameter_index(f, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, kUnexpectedKeywordText, f->error_name, keyword);
            throw PyErrOccurred{};
        }
        if (bound[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, kMultipleValuesText, f->error_name, keyword);
            throw PyErrOccurred{};
        }
        bound[index] = args[given + k];
    }

    for (Py_ssize_t i = 0; i < total; ++i) {
        if (bound[i] != nullptr) continue;
        if (i < required) raise_count_error(f, required, total, given, false);
        bound[i] = PyTuple_GET_ITEM(defaults.get(), i - first_default);
    }
    if (f->globals == nullptr || f->builtins == nullptr) {
        PyErr_Format(PyExc_SystemError, "%s() was cleared by the garbage collector and cannot be called",
                     f->error_name);
        throw PyErrOccurred{};
    }
    // Held for the call: the body runs Python code, which could clear the
    // function (through the garbage collector) while it runs.
    Ref globals = Ref::borrow(f->globals);
    Ref builtins = Ref::borrow(f->builtins);
    return f->body(Scope{globals.get(), builtins.get()}, bound);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        // Counted as a Python function's frame, with its message: such a
        // frame is refused one level before a call of C code is, so the
        // check takes that level too and gives it back.
        if (Py_EnterRecursiveCall("")) throw PyErrOccurred{};
        struct Leave {
            ~Leave() { Py_LeaveRecursiveCall(); }
        } leave;
        if (Py_EnterRecursiveCall("")) throw PyErrOccurred{};
        Py_LeaveRecursiveCall();
        return call_function(as_function(self), args, nargsf, kwnames).release();
    });
}

// ---------------------------------------------------------------- object protocol

PyObject* function_descr_get(PyObject* self, PyObject* instance, PyObject*) noexcept {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    NativeFunction* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->parameters);
    Py_VISIT(f->globals);
    Py_VISIT(f->builtins);
    return 0;
}

// Breaks reference cycles. As with Python functions, name and qualified
// name (settable to str subclasses, so possibly part of a cycle) become the
// empty text rather than NULL, and the parameter names (exact interned text,
// never part of a cycle) stay, so that every getter, repr and call of a
// cleared function stays safe.
int function_clear(PyObject* self) noexcept {
    NativeFunction* f = as_function(self);
    Py_CLEAR(f->dict);
    Py_XSETREF(f->name, Py_NewRef(names.empty));
    Py_XSETREF(f->qualname, Py_NewRef(names.empty));
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->builtins);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(as_function(self)->name);
    Py_CLEAR(as_function(self)->qualname);
    Py_CLEAR(as_function(self)->parameters);
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------- attributes

PyObject* get_name(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->name); }
PyObject* get_qualname(PyObject* self, void*) noexcept { return Py_NewRef(as_function(self)->qualname); }

int set_text_attribute(PyObject** slot, PyObject* value, const char* message) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* self, PyObject* value, void*) noexcept {
    return set_text_attribute(&as_function(self)->name, value, "__name__ must be set to a string object");
}

int set_qualname(PyObject* self, PyObject* value, void*) noexcept {
    return set_text_attribute(&as_function(self)->qualname, value,
                              "__qualname__ must be set to a string object");
}

PyObject* get_annotations(PyObject* self, void*) noexcept {
    NativeFunction* f = as_function(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) noexcept {
    PyObject* defaults = as_function(self)->defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}

int set_defaults(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// inspect.signature() reads this: parameters, defaults and annotations as
// the function object carries them now.
PyObject* get_signature(PyObject* self, void*) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        NativeFunction* f = as_function(self);
        Ref inspect = require(PyImport_ImportModule("inspect"));
        Ref parameter_class = require(PyObject_GetAttrString(inspect.get(), "Parameter"));
        Ref signature_class = require(PyObject_GetAttrString(inspect.get(), "Signature"));
        Ref kind = require(PyObject_GetAttrString(parameter_class.get(), "POSITIONAL_OR_KEYWORD"));
        Ref annotations = require(get_annotations(self, nullptr));
        Ref parameters = require(PyList_New(0));
        // Held for the whole loop: the Parameter constructor runs Python code,
        // which could replace the function's defaults meanwhile.
        Ref defaults = Ref::borrow(f->defaults);
        const Py_ssize_t total = PyTuple_GET_SIZE(f->parameters);
        const Py_ssize_t default_count = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
        for (Py_ssize_t i = 0; i < total; ++i) {
            PyObject* name = PyTuple_GET_ITEM(f->parameters, i);
            Ref kwargs = require(PyDict_New());
            PyObject* annotation = PyDict_GetItemWithError(annotations.get(), name);
            if (annotation == nullptr && PyErr_Occurred()) throw PyErrOccurred{};
            if (annotation != nullptr) {
                require_status(PyDict_SetItemString(kwargs.get(), "annotation", annotation));
            }
            Py_ssize_t default_index = i - (total - default_count);
            if (default_index >= 0) {
                require_status(PyDict_SetItemString(kwargs.get(), "default",
                                                    PyTuple_GET_ITEM(defaults.get(), default_index)));
            }
            Ref args = require(PyTuple_Pack(2, name, kind.get()));
            Ref parameter = require(PyObject_Call(parameter_class.get(), args.get(), kwargs.get()));
            require_status(PyList_Append(parameters.get(), parameter.get()));
        }
        Ref kwargs = require(PyDict_New());
        PyObject* result = PyDict_GetItemWithError(annotations.get(), names.return_);
        if (result == nullptr && PyErr_Occurred()) throw PyErrOccurred{};
        if (result != nullptr) {
            require_status(PyDict_SetItemString(kwargs.get(), "return_annotation", result));
        }
        Ref args = require(PyTuple_Pack(1, parameters.get()));
        return require(PyObject_Call(signature_class.get(), args.get(), kwargs.get())).release();
    });
}

// The object a dotted path names in the module `module_name`.
Ref resolve_path(PyObject* module_name, PyObject* path) {
    Ref found = require(PyImport_Import(module_name));
    Ref parts = require(PyUnicode_Split(path, names.dot, -1));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
        found = require(PyObject_GetAttr(found.get(), PyList_GET_ITEM(parts.get(), i)));
    }
    return found;
}

// (attrgetter("<name>.__func__"), (owner,)) when `qualname` names, through
// its owner, a method bound to that owner whose function is `self`; Ref()
// otherwise, and when the names cannot be followed (an error other than an
// ordinary exception passes).
Ref class_method_reduction(PyObject* self, PyObject* qualname) {
    const Py_ssize_t dot = PyUnicode_FindChar(qualname, '.', 0, PyUnicode_GET_LENGTH(qualname), -1);
    if (dot == -2) throw PyErrOccurred{};
    if (dot < 0) return Ref();
    try {
        Ref module_name = require(PyObject_GetAttr(self, names.__module__));
        Ref owner_path = require(PyUnicode_Substring(qualname, 0, dot));
        Ref name = require(PyUnicode_Substring(qualname, dot + 1, PyUnicode_GET_LENGTH(qualname)));
        Ref owner = resolve_path(module_name.get(), owner_path.get());
        Ref bound = require(PyObject_GetAttr(owner.get(), name.get()));
        if (!PyMethod_Check(bound.get()) || PyMethod_GET_FUNCTION(bound.get()) != self) return Ref();
        Ref operator_module = require(PyImport_ImportModule("operator"));
        Ref getter_class = require(PyObject_GetAttrString(operator_module.get(), "attrgetter"));
        Ref attribute = require(PyUnicode_FromFormat("%U.__func__", name.get()));
        Ref getter = require(PyObject_CallOneArg(getter_class.get(), attribute.get()));
        return require(Py_BuildValue("(O(O))", getter.get(), owner.get()));
    } catch (const PyErrOccurred&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return Ref();
    }
}

// Functions pickle by reference, as Python functions do: by module and
// qualified name. A class method is found there bound to its class, not as
// itself, so it pickles as the function behind that binding:
// attrgetter("<name>.__func__") applied to the class. cloudpickle, which
// ships a bound method as its function and its class, relies on that.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        // Held: the lookups below run code that could rename the function.
        Ref qualname = Ref::borrow(as_function(self)->qualname);
        if (Ref getter_and_owner = class_method_reduction(self, qualname.get())) return getter_and_owner.release();
        return qualname.release();
    });
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__doc__", T_OBJECT, offsetof(NativeFunction, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(NativeFunction, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

// Every function reports the module as its __module__: the type's own
// __module__ (taken from its dotted name) serves as the shared default, and
// an assignment lands in the function's attribute dict, as for any object.
PyType_Spec function_spec = {
    "brimwick.output.manifest.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

void ready_function_type() {
    if (function_type != nullptr) return;
    function_type = reinterpret_cast<PyTypeObject*>(require(PyType_FromSpec(&function_spec)).release());
}

Ref make_function(const FunctionDefinition& d, PyObject* globals) {
    Ref name = require(PyUnicode_FromString(d.name));
    Ref qualname = require(PyUnicode_FromString(d.qualname));
    Ref doc = d.doc ? require(PyUnicode_FromString(d.doc)) : Ref::borrow(Py_None);
    Ref parameters = require(PyTuple_New(static_cast<Py_ssize_t>(d.parameters.size())));
    Ref annotations = require(PyDict_New());
    Py_ssize_t index = 0;
    for (const Parameter& p : d.parameters) {
        PyTuple_SET_ITEM(parameters.get(), index++, Py_NewRef(p.name));
        if (p.annotation) require_status(PyDict_SetItem(annotations.get(), p.name, p.annotation));
    }
    if (d.return_annotation) {
        require_status(PyDict_SetItem(annotations.get(), names.return_, d.return_annotation));
    }

    Ref builtins = builtins_for(globals);
    Ref object = require(PyType_GenericAlloc(function_type, 0));
    NativeFunction* f = as_function(object.get());
    f->vectorcall = function_vectorcall;
    f->name = name.release();
    f->qualname = qualname.release();
    f->doc = doc.release();
    f->annotations = annotations.release();
    f->defaults = Py_XNewRef(d.defaults);
    f->parameters = parameters.release();
    f->globals = Py_NewRef(globals);
    f->builtins = builtins.release();
    f->error_name = d.name;
    f->body = d.body;
    return object;
}

}  // namespace manifest
