// The interpreter's own C components, told apart from look-alikes by where
// their machine code lies: in the interpreter itself (built-in modules) or
// in one of the standard library's extension modules. A name, a module
// definition or a type name can be copied by any compiled module; the
// address of the code that runs cannot.
#pragma once

#include "ref.hpp"

namespace manifest {

// Whether `address` lies in the interpreter's own machine code: its
// executable or library (built-in modules), or the standard library's
// extension module `module` (<stdlib>/lib-dynload/<module>.<suffix>).
bool is_own_code(const void* address, const char* module);

template <typename Function>
const void* code_address(Function f) {
    return reinterpret_cast<const void*>(f);
}

// Whether `f` is the function `name` of the interpreter's own extension
// module `module`: a built-in function whose method entry is one of that
// module's own and whose code lies in it.
bool is_own_module_function(PyObject* f, const char* module, const char* name);

// Whether `t` is a type of the interpreter's own extension module `module`
// with nothing of Python's attached: its code lies in that module, and its
// attributes are its own slots, methods and members (or it is immutable).
bool is_own_c_type(PyObject* t, const char* module);

}  // namespace manifest
