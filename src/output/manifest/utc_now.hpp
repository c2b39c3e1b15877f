// The scanned_at default: the current UTC time as ISO 8601 text.
#pragma once

#include "scope.hpp"

namespace manifest {

// datetime.now(timezone.utc).isoformat(), evaluated as the host evaluates
// it: `datetime` and its `now` first, then `timezone` and its `utc`, each
// looked up through `scope` at the moment of use.
Ref current_utc_isoformat(const Scope& scope);

}  // namespace manifest
