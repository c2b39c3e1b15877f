// Walking a sequence the way a Python for-loop does.
#pragma once

#include "ref.hpp"

namespace manifest {

// Calls visit(item) for each item of iterable, in order. Lists and tuples are
// walked by index, re-reading a list's length at every step as the list
// iterator does, so a list changed during the walk behaves as in Python; any
// other iterable goes through its iterator. Each item is held for the
// duration of its visit.
constexpr Py_ssize_t kPrefetchAhead = 16;

template <typename Visit>
void for_each_item(PyObject* iterable, Visit&& visit) {
    if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
        const bool is_list = PyList_CheckExact(iterable);
        for (Py_ssize_t i = 0;; ++i) {
            Py_ssize_t size = is_list ? PyList_GET_SIZE(iterable) : PyTuple_GET_SIZE(iterable);
            if (i >= size) break;
            // Items are scattered over the heap: fetch the object and its
            // pre-header (where CPython 3.11 keeps an instance's values
            // pointer) ahead, so that the misses of several items overlap.
            if (i + kPrefetchAhead < size) {
                const char* ahead = reinterpret_cast<const char*>(
                    is_list ? PyList_GET_ITEM(iterable, i + kPrefetchAhead) : PyTuple_GET_ITEM(iterable, i + kPrefetchAhead));
                __builtin_prefetch(ahead);
                __builtin_prefetch(ahead - 32);
            }
            Ref item = Ref::borrow(is_list ? PyList_GET_ITEM(iterable, i) : PyTuple_GET_ITEM(iterable, i));
            visit(item.get());
        }
        return;
    }
    Ref iterator = require(PyObject_GetIter(iterable));
    for (;;) {
        PyObject* next = PyIter_Next(iterator.get());
        if (next == nullptr) {
            if (PyErr_Occurred()) throw PyErrOccurred{};
            return;
        }
        Ref item = Ref::steal(next);
        visit(item.get());
    }
}

}  // namespace manifest
