// The host's built-in sum() with the integer start 0, fed one item at a time
// so that amounts are read and added in the same interleaving as
// sum(generator). It follows the interpreter's own three stages: exact
// machine integers, then exact floats added as doubles (the fast path), then
// generic addition for everything else.
#pragma once

#include <climits>

#include "ref.hpp"

namespace manifest {

class HostSum {
public:
    void add(PyObject* item) {
        switch (stage_) {
            case Stage::Integer: add_integer(item); return;
            case Stage::Float: add_float(item); return;
            case Stage::Generic: result_ = require(PyNumber_Add(result_.get(), item)); return;
        }
    }

    Ref result() {
        switch (stage_) {
            case Stage::Integer: return require(PyLong_FromLong(integer_));
            case Stage::Float: return require(PyFloat_FromDouble(real_));
            case Stage::Generic: break;
        }
        return std::move(result_);
    }

private:
    enum class Stage { Integer, Float, Generic };

    void add_integer(PyObject* item) {
        if (PyLong_CheckExact(item) || PyBool_Check(item)) {
            int overflow = 0;
            long value = PyLong_AsLongAndOverflow(item, &overflow);
            if (overflow == 0 && (integer_ >= 0 ? value <= LONG_MAX - integer_ : value >= LONG_MIN - integer_)) {
                integer_ += value;
                return;
            }
        }
        Ref partial = require(PyLong_FromLong(integer_));
        result_ = require(PyNumber_Add(partial.get(), item));
        leave_integer_stage();
    }

    void leave_integer_stage() {
        if (PyFloat_CheckExact(result_.get())) {
            real_ = PyFloat_AS_DOUBLE(result_.get());
            result_ = Ref();
            stage_ = Stage::Float;
        } else {
            stage_ = Stage::Generic;
        }
    }

    void add_float(PyObject* item) {
        if (PyFloat_CheckExact(item)) {
            real_ += PyFloat_AS_DOUBLE(item);
            return;
        }
        if (PyLong_Check(item)) {
            int overflow = 0;
            long value = PyLong_AsLongAndOverflow(item, &overflow);
            if (overflow == 0) {
                real_ += static_cast<double>(value);
                return;
            }
        }
        Ref partial = require(PyFloat_FromDouble(real_));
        result_ = require(PyNumber_Add(partial.get(), item));
        stage_ = Stage::Generic;
    }

    Stage stage_ = Stage::Integer;
    long integer_ = 0;
    double real_ = 0.0;
    Ref result_;
};

}  // namespace manifest
