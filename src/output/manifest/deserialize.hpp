// Envelope deserialisation: the envelope dictionary read back, with the
// stored checksum verified on request.
#pragma once

#include "ref.hpp"

namespace manifest {

Ref from_dict_body(PyObject* globals, PyObject* const* args);

}  // namespace manifest
