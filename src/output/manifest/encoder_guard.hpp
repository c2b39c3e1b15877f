// Guards of the checksum's native paths. The host writes the canonical text
// with json.dumps(sorted_hashes, separators=(",", ":")) and hashes it with
// hashlib.sha256(...).hexdigest(): paths through objects any caller can
// replace, before the module loads or at any time after. The native writer
// and the streamed hasher may stand in for them only while every object on
// the path *is* the interpreter's own component: the standard library's own
// code, the C accelerator's own functions, the built-ins' own objects. Such
// a path runs no Python code, so taking it instead is unobservable. Nothing
// is checked by running anything: every check reads objects as they are.
#pragma once

#include "ref.hpp"

namespace manifest {

// Whether `dumps` (the namespace's json.dumps, found now) and everything
// json.dumps(list_of_exact_text, separators=...) reaches through it are the
// standard library's own encoder ending in the C accelerator.
bool json_dumps_is_standard(PyObject* dumps);

// The interpreter's own sha256 constructor (borrowed) when `hashlib`, the
// namespace's value found now, is exactly a module whose sha256 is it;
// nullptr otherwise.
PyObject* standard_sha256(PyObject* hashlib);

// Whether `hasher`, made by the standard constructor `sha256`, is of the
// type that constructor's own module defines.
bool is_standard_hasher(PyObject* sha256, PyObject* hasher);

}  // namespace manifest
