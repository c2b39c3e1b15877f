#include "utc_now.hpp"

#include "errors.hpp"
#include "names.hpp"
#include "state.hpp"

namespace manifest {

// Always the host's own clock: tools that move time (time-machine swaps the
// C function behind datetime.now, freezegun replaces the class) and a
// pure-Python datetime are all seen, since nothing here reads the clock.
// Only the calls go by vectorcall.
Ref current_utc_isoformat(const Scope& scope) {
    Ref datetime = lookup_global(scope, names.datetime);
    Ref now = require(PyObject_GetAttr(datetime.get(), names.now));
    Ref timezone = lookup_global(scope, names.timezone);
    Ref utc = require(PyObject_GetAttr(timezone.get(), names.utc));
    PyObject* now_args[] = {utc.get()};
    Ref moment = require(PyObject_Vectorcall(now.get(), now_args, 1, nullptr));
    PyObject* format_args[] = {moment.get()};
    return require(PyObject_VectorcallMethod(names.isoformat, format_args, 1, nullptr));
}

}  // namespace manifest
