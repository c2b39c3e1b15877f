// The ScanEnvelope record class and its scanned_at factory.
#pragma once

#include "scope.hpp"

namespace manifest {

// Builds the class namespace, creates the class and decorates it with the
// namespace's `dataclass`; returns the decorated class. Its methods look
// names up in `scope`.
Ref build_scan_envelope_class(const Scope& scope);

}  // namespace manifest
