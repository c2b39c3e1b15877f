// Guards of the checksum's native paths. The host writes the canonical text
// with json.dumps(sorted_hashes, separators=(",", ":")) and hashes it with
// hashlib.sha256(...).hexdigest(): paths through objects any caller can
// replace, before the module loads or at any time after.
//
// The load checks that every object on those paths is the interpreter's own
// component (the standard library's own code, the C accelerator's own
// functions and types, the built-ins' own objects) and captures them, held
// weakly. Each call then compares what it finds with what was captured: the
// same objects, the same code, unchanged defaults, unchanged class version
// tags. Any difference, or an object gone, sends the call to the host's path
// for good: a changed path is never verified again, so nothing is kept that
// a change could have to replace or free. Nothing is checked by running
// anything, at load or later.
#pragma once

#include "ref.hpp"

namespace manifest {

// Captures the components that the namespace `globals` (with json and
// hashlib just imported) reaches, those that are the interpreter's own;
// replaces what an earlier load captured. Never fails: what cannot be
// captured is simply not taken fast.
void capture_standard_components(PyObject* globals) noexcept;

// Whether the host's own frames could be seen or would not fit: a tracer or
// profiler is set on this thread, or the recursion depth left is below what
// json.dumps needs. The host's path is taken then.
bool host_frames_observable() noexcept;

// Whether `dumps` (the namespace's json.dumps, found now) and everything
// json.dumps(list_of_exact_text, separators=...) reaches through it are the
// components captured at load, unchanged.
bool json_dumps_is_standard(PyObject* dumps) noexcept;

// The captured sha256 constructor (borrowed) when `hashlib`, the
// namespace's value found now, is exactly a module whose sha256 is it;
// nullptr otherwise.
PyObject* standard_sha256(PyObject* hashlib) noexcept;

// Whether `hasher`, made by the captured constructor, is of the immutable
// type its module defines.
bool is_standard_hasher(PyObject* hasher) noexcept;

}  // namespace manifest
