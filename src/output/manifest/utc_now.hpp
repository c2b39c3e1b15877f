// The scanned_at default: the current UTC time as ISO 8601 text.
#pragma once

#include "ref.hpp"

namespace manifest {

// Notes the built-in datetime types for the fast path; called by the load.
void ready_utc_clock();

// datetime.now(timezone.utc).isoformat(), with datetime and timezone looked
// up in the module namespace `globals` now.
Ref current_utc_isoformat(PyObject* globals);

}  // namespace manifest
