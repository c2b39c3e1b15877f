// Envelope deserialisation: the envelope dictionary read back, with the
// stored checksum verified on request.
#pragma once

#include "scope.hpp"

namespace manifest {

Ref from_dict_body(const Scope& scope, PyObject* const* args);

}  // namespace manifest
