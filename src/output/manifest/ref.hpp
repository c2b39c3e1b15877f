// Owning reference handle and the error boundary between C++ and CPython.
//
// Ownership rules:
//   * Ref owns exactly one strong reference (or nothing) and drops it in its
//     destructor; it is move-only.
//   * Ref::steal(p) adopts a new reference returned by the C API.
//   * Ref::borrow(p) takes a new strong reference to a borrowed pointer.
//   * get() lends the pointer without changing ownership; release() hands the
//     reference over to the caller (only at entry points returning to CPython).
//   * There is no implicit conversion to PyObject*.
//
// Errors: internal code throws PyErrOccurred only after a Python exception has
// been set; every function CPython calls catches it (see guard()).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace manifest {

struct PyErrOccurred {};

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept {
        PyObject* p = ptr_;
        ptr_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

// A NULL result of the C API means an exception is set.
inline Ref require(PyObject* new_reference) {
    if (new_reference == nullptr) throw PyErrOccurred{};
    return Ref::steal(new_reference);
}

// A -1 status of the C API means an exception is set.
inline int require_status(int status) {
    if (status < 0) throw PyErrOccurred{};
    return status;
}

// A -1 size or index result of the C API means an exception is set.
inline Py_ssize_t require_status_size(Py_ssize_t result) {
    if (result < 0) throw PyErrOccurred{};
    return result;
}

// getattr(object, name)
inline Ref attribute(PyObject* object, PyObject* name) { return require(PyObject_GetAttr(object, name)); }

// Truth value with the host's rules; an exception from __bool__/__len__ propagates.
inline bool truth(PyObject* o) { return require_status(PyObject_IsTrue(o)) != 0; }

// Runs body at a boundary with CPython, turning C++ failures into a set
// Python exception and the given failure value.
template <typename Result, typename Body>
Result guard(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const PyErrOccurred&) {
        return failure;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return failure;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in brimwick.output.manifest");
        return failure;
    }
}

}  // namespace manifest
