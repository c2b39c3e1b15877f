// Completion of a new envelope: version stamp, count, totals, adjusted
// totals and checksum, run as the record's __post_init__.
#pragma once

#include "scope.hpp"

namespace manifest {

Ref post_init_body(const Scope& scope, PyObject* const* args);

}  // namespace manifest
