// Envelope serialisation: the stored envelope dictionary.
#pragma once

#include "scope.hpp"

namespace manifest {

Ref to_dict_body(const Scope& scope, PyObject* const* args);
Ref findings_with_explanations_body(const Scope& scope, PyObject* const* args);

}  // namespace manifest
