// Completion of a new envelope: version stamp, count, totals, adjusted
// totals and checksum, run as the record's __post_init__.
#pragma once

#include "ref.hpp"

namespace manifest {

Ref post_init_body(PyObject* globals, PyObject* const* args);

}  // namespace manifest
