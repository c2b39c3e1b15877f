#include "utc_now.hpp"

#include <datetime.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "errors.hpp"
#include "names.hpp"
#include "state.hpp"

namespace manifest {

namespace {

PyObject* builtin_datetime = nullptr;  // datetime.datetime
PyObject* builtin_timezone = nullptr;  // datetime.timezone

// What datetime.now(timezone.utc).isoformat() gives, made here: the same
// clock, floored to microseconds as datetime floors it, split by the same
// gmtime, a leap second capped at 59, the fraction left out when it is
// zero. Ref() for a year outside datetime's range, whose error the host's
// own path then raises.
Ref builtin_utc_isoformat() {
    time_t seconds;
    int microseconds;
    if (_PyTime_AsTimevalTime_t(_PyTime_GetSystemClock(), &seconds, &microseconds, _PyTime_ROUND_FLOOR) < 0) {
        throw PyErrOccurred{};
    }
    struct tm parts;
    if (_PyTime_gmtime(seconds, &parts) < 0) throw PyErrOccurred{};
    const int year = parts.tm_year + 1900;
    if (year < 1 || year > 9999) return Ref();
    char text[48];
    int length = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", year, parts.tm_mon + 1,
                               parts.tm_mday, parts.tm_hour, parts.tm_min, std::min(59, parts.tm_sec));
    if (microseconds != 0) {
        length += std::snprintf(text + length, sizeof text - static_cast<size_t>(length), ".%06d", microseconds);
    }
    length += std::snprintf(text + length, sizeof text - static_cast<size_t>(length), "+00:00");
    return require(PyUnicode_FromStringAndSize(text, length));
}

// timezone.utc, datetime.now(utc) and isoformat() through the host.
Ref host_utc_isoformat(PyObject* datetime, PyObject* timezone) {
    Ref utc = require(PyObject_GetAttr(timezone, names.utc));
    PyObject* now_call[] = {datetime, utc.get()};
    Ref moment = require(PyObject_VectorcallMethod(names.now, now_call, 2, nullptr));
    PyObject* format_call[] = {moment.get()};
    return require(PyObject_VectorcallMethod(names.isoformat, format_call, 1, nullptr));
}

}  // namespace

void ready_utc_clock() {
    if (builtin_datetime != nullptr) return;
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) throw PyErrOccurred{};
    // Static objects of the datetime module, alive for the whole process.
    builtin_datetime = reinterpret_cast<PyObject*>(PyDateTimeAPI->DateTimeType);
    builtin_timezone = reinterpret_cast<PyObject*>(Py_TYPE(PyDateTimeAPI->TimeZone_UTC));
}

// The built-in types are immutable: while the namespace holds them, neither
// timezone.utc nor datetime.now nor isoformat can be anything but their own,
// and none of them runs Python code, so the fast path is unobservable.
Ref current_utc_isoformat(PyObject* globals) {
    Ref datetime = lookup_global(globals, names.datetime);
    Ref timezone = lookup_global(globals, names.timezone);
    if (datetime.get() == builtin_datetime && timezone.get() == builtin_timezone) {
        if (Ref text = builtin_utc_isoformat()) return text;
    }
    return host_utc_isoformat(datetime.get(), timezone.get());
}

}  // namespace manifest
