// Guard of the checksum's native canonical text. The host writes the text
// with json.dumps(sorted_hashes, separators=(",", ":")), a path through
// Python code that any caller can change at run time: json.dumps itself, the
// JSONEncoder class it looks up, the encoder's methods, the C encoder and
// string escaper they hand the work to, and the built-ins they call. The
// native writer may stand in for that path only while every one of these is
// what the load found and the load checked it against the native writer.
#pragma once

#include "ref.hpp"

namespace manifest {

// Takes note of the host's encoding path as reachable from `json_module`
// now. `writer_agrees` is asked, once, whether the native writer gives the
// same bytes as the noted path; if it does not, or the path is not the one
// the writer reproduces, the native writer is never used.
void remember_json_encoder(PyObject* json_module, bool (*writer_agrees)(PyObject* dumps));

// Whether `dumps` (the namespace's json.dumps, found now) and the encoding
// path it reaches are still the ones noted by the load (identity checks).
bool json_encoder_unchanged(PyObject* dumps);

// Takes note of `hashlib_module` and its sha256 constructor as the load
// found them; only a built-in constructor (C code, which runs nothing of
// Python's) is noted.
void remember_hashlib(PyObject* hashlib_module);

// The noted sha256 constructor (borrowed) while `hashlib`, the namespace's
// value found now, is the noted module and still holds it; nullptr
// otherwise. While it is, feeding the hasher in pieces gives what one call
// with the whole text gives, and no Python code can tell the difference.
PyObject* unchanged_sha256(PyObject* hashlib);

}  // namespace manifest
