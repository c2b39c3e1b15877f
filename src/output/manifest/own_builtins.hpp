// The built-ins whose work the module does itself: sum() over the findings'
// amounts, and __import__ for its imports. As in Python code, each is
// looked up by name on every use, through the function's namespace and the
// built-ins it bound; only when the name finds the interpreter's own
// built-in does the module do the work natively. Anything else found there
// is called, as Python code would call it.
#pragma once

#include "scope.hpp"

namespace manifest {

enum class OwnBuiltin { Sum, Import };

// Captures, weakly, the interpreter's own sum and __import__ from the
// built-ins `builtins` (a dict) when they are its own. Never fails.
void capture_own_builtins(PyObject* builtins) noexcept;

// Whether `found` is the interpreter's own built-in `which`, as captured.
bool is_own_builtin(PyObject* found, OwnBuiltin which) noexcept;

// `import <module_name>` (fromlist null) or `from <module_name> import ...`
// as the IMPORT_NAME instruction does it: through the bound built-ins'
// __import__, with `locals` (a function's code has none: nullptr).
Ref import_module(const Scope& scope, PyObject* module_name, PyObject* fromlist, PyObject* locals);

}  // namespace manifest
