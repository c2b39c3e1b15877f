// The integrity checksum: SHA-256 over the compact JSON text of the sorted
// finding hashes.
#pragma once

#include "scope.hpp"

namespace manifest {

// Body of compute_integrity_checksum(findings).
Ref compute_integrity_checksum_body(const Scope& scope, PyObject* const* args);

// Refuses a value whose type is not exactly `expected` with the module's
// argument-type error for parameter `parameter`.
void require_exact_type(PyObject* value, PyTypeObject* expected, const char* parameter);

}  // namespace manifest
