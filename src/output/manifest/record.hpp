// The ScanEnvelope record class and its scanned_at factory.
#pragma once

#include "ref.hpp"

namespace manifest {

// datetime.now(timezone.utc).isoformat(), with datetime and timezone looked
// up in the module namespace now.
Ref current_utc_isoformat();

// Builds the class namespace, creates the class and decorates it with the
// namespace's `dataclass`; returns the decorated class.
Ref build_scan_envelope_class();

}  // namespace manifest
