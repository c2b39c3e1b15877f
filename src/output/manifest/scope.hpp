// Where a function's body finds names: the namespace the function was made in
// and the built-ins it bound when it was made, as a Python function binds
// them (a later change to the namespace's __builtins__ entry is not seen).
#pragma once

#include "ref.hpp"

namespace manifest {

struct Scope {
    PyObject* globals;   // the module namespace (an exact dict)
    PyObject* builtins;  // any mapping; a dict in every ordinary case
};

}  // namespace manifest
