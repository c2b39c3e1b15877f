#include "names.hpp"

namespace manifest {

Names names;

void intern_names() {
    if (names.module_name != nullptr) return;
    Names fresh;
    // Each name is interned and kept for good; on failure nothing is
    // published, so a later load tries again.
    try {
#define MANIFEST_INTERN(id, text) fresh.id = require(PyUnicode_InternFromString(text)).release();
        MANIFEST_NAMES(MANIFEST_INTERN)
#undef MANIFEST_INTERN
    } catch (const PyErrOccurred&) {
#define MANIFEST_DROP(id, text) Py_XDECREF(fresh.id);
        MANIFEST_NAMES(MANIFEST_DROP)
#undef MANIFEST_DROP
        throw;
    }
    names = fresh;
}

}  // namespace manifest
