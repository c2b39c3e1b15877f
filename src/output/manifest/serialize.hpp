// Envelope serialisation: the stored envelope dictionary.
#pragma once

#include "ref.hpp"

namespace manifest {

Ref to_dict_body(PyObject* globals, PyObject* const* args);
Ref findings_with_explanations_body(PyObject* globals, PyObject* const* args);

}  // namespace manifest
