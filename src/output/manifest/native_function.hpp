// The native function type: the module's functions and methods as objects
// that carry the attributes of Python functions (name, qualified name,
// module, documentation, annotations as text, defaults, attribute dict),
// bind to instances like Python functions, and are called by vectorcall with
// the argument-binding errors of the module's own texts.
#pragma once

#include <initializer_list>

#include "scope.hpp"

namespace manifest {

// Largest parameter list of any module function (from_dict: cls, data, verify).
constexpr Py_ssize_t kMaxParameters = 3;

// A function body receives the namespace its function was made in and the
// built-ins it bound then (both owned by the function object, as a Python
// function owns its __globals__ and __builtins__) and exactly one borrowed
// argument per parameter, in parameter order, defaults already filled in.
using FunctionBody = Ref (*)(const Scope& scope, PyObject* const* args);

struct Parameter {
    PyObject* name;        // interned parameter name
    PyObject* annotation;  // annotation text, or nullptr for none
};

struct FunctionDefinition {
    const char* name;       // also used verbatim in argument errors
    const char* qualname;
    const char* doc;        // nullptr: __doc__ is None
    std::initializer_list<Parameter> parameters;
    PyObject* return_annotation;  // nullptr: no "return" annotation
    PyObject* defaults;           // borrowed tuple for the trailing parameters, or nullptr
    FunctionBody body;
};

// Creates the type once; called while the module loads.
void ready_function_type();

// Makes a new function object (a new reference) that keeps `globals`, the
// module namespace its body looks names up in, alive, and binds the
// built-ins that namespace names now.
Ref make_function(const FunctionDefinition& definition, PyObject* globals);

}  // namespace manifest
