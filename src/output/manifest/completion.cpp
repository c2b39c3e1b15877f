#include "completion.hpp"

#include <vector>

#include "host_sum.hpp"
#include "instance_attribute.hpp"
#include "iteration.hpp"
#include "names.hpp"
#include "own_builtins.hpp"
#include "state.hpp"

namespace manifest {

namespace {

void set(PyObject* object, PyObject* name, PyObject* value) {
    require_status(PyObject_SetAttr(object, name, value));
}

// The exception being raised, taken over as the one being handled (as on
// entry to an `except` block) until this object goes; the previously
// handled exception comes back then.
class HandledException {
public:
    HandledException() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        caught_ = Ref::steal(value);
        previous_ = Ref::steal(PyErr_GetHandledException());
        PyErr_SetHandledException(caught_.get());
    }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;
    ~HandledException() { PyErr_SetHandledException(previous_.get()); }

private:
    Ref caught_;
    Ref previous_;
};

// try: from brimwick import __version__; self.brimwick_version = __version__
// except Exception: self.brimwick_version = "unknown"
void stamp_version(const Scope& scope, PyObject* self) {
    try {
        Ref version = import_from(scope, "brimwick", state.fromlist_version, names.__version__);
        set(self, names.brimwick_version, version.get());
        return;
    } catch (const PyErrOccurred&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    }
    HandledException handling;
    set(self, names.brimwick_version, names.unknown);
}

// A StopIteration raised in a generator's body leaves it as RuntimeError.
[[noreturn]] void raise_from_generator_body() {
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        _PyErr_FormatFromCause(PyExc_RuntimeError, "generator raised StopIteration");
    }
    throw PyErrOccurred{};
}

// f.estimated_monthly_waste_usd or 0.0: the generator's step, for a sum
// other than the interpreter's own, which map() feeds lazily.
PyObject* amount_or_zero(PyObject*, PyObject* finding) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        try {
            Ref amount = require(PyObject_GetAttr(finding, names.estimated_monthly_waste_usd));
            return truth(amount.get()) ? amount.release() : Py_NewRef(state.float_zero);
        } catch (const PyErrOccurred&) {
            raise_from_generator_body();
        }
    });
}

PyMethodDef amount_or_zero_definition = {"<genexpr>", amount_or_zero, METH_O, nullptr};

// sum(f.estimated_monthly_waste_usd or 0.0 for f in self.findings)
Ref monthly_total(const Scope& scope, PyObject* self) {
    Ref sum_function = lookup_global(scope, names.sum);
    Ref findings = attribute(self, names.findings);
    if (!is_own_builtin(sum_function.get(), OwnBuiltin::Sum)) {
        Ref step = require(PyCFunction_New(&amount_or_zero_definition, nullptr));
        PyObject* map_args[] = {step.get(), findings.get()};
        Ref amounts = require(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyMap_Type), map_args, 2, nullptr));
        PyObject* args[] = {amounts.get()};
        return require(PyObject_Vectorcall(sum_function.get(), args, 1, nullptr));
    }
    HostSum sum;
    InstanceAttribute estimated(names.estimated_monthly_waste_usd);
    for_each_item(findings.get(), [&](PyObject* finding) {
        Ref amount;
        bool counts = false;
        try {  // the generator's body
            amount = estimated.read(finding);
            counts = PyFloat_CheckExact(amount.get()) ? PyFloat_AS_DOUBLE(amount.get()) != 0.0  // NaN is true
                                                      : truth(amount.get());
        } catch (const PyErrOccurred&) {
            raise_from_generator_body();
        }
        sum.add(counts ? amount.get() : state.float_zero);
    });
    return sum.result();
}

// round(self.<monthly> * 12, 2): round is loaded first, then the monthly
// figure read and multiplied.
Ref annual_from_monthly(const Scope& scope, PyObject* self, PyObject* monthly_field) {
    Ref round = lookup_global(scope, names.round);
    Ref monthly = attribute(self, monthly_field);
    Ref annual = require(PyNumber_Multiply(monthly.get(), state.twelve));
    return round_two_places(round.get(), annual.get());
}

// [f.adjusted_monthly_waste_usd for f in findings
//  if f.adjusted_monthly_waste_usd is not None], summed when not empty.
void complete_adjusted_monthly(const Scope& scope, PyObject* self) {
    Ref findings = attribute(self, names.findings);
    std::vector<Ref> values;
    InstanceAttribute adjusted(names.adjusted_monthly_waste_usd);
    for_each_item(findings.get(), [&](PyObject* finding) {
        Ref tested = adjusted.read(finding);
        if (tested.get() == Py_None) return;
        values.push_back(adjusted.read(finding));
    });
    if (values.empty()) return;
    Ref sum_function = lookup_global(scope, names.sum);
    Ref total;
    if (is_own_builtin(sum_function.get(), OwnBuiltin::Sum)) {
        HostSum sum;
        for (const Ref& value : values) sum.add(value.get());
        total = sum.result();
    } else {
        Ref list = require(PyList_New(static_cast<Py_ssize_t>(values.size())));
        for (size_t i = 0; i < values.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(values[i].get()));
        }
        PyObject* args[] = {list.get()};
        total = require(PyObject_Vectorcall(sum_function.get(), args, 1, nullptr));
    }
    set(self, names.adjusted_total_monthly_waste_usd, total.get());
}

}  // namespace

Ref post_init_body(const Scope& scope, PyObject* const* args) {
    PyObject* self = args[0];

    Ref version = attribute(self, names.brimwick_version);
    if (!truth(version.get())) stamp_version(scope, self);

    Ref len = lookup_global(scope, names.len);
    Ref findings = attribute(self, names.findings);
    PyObject* len_args[] = {findings.get()};
    Ref count = require(PyObject_Vectorcall(len.get(), len_args, 1, nullptr));
    set(self, names.finding_count, count.get());

    Ref monthly = monthly_total(scope, self);
    set(self, names.total_monthly_waste_usd, monthly.get());

    Ref annual = annual_from_monthly(scope, self, names.total_monthly_waste_usd);
    set(self, names.total_annual_waste_usd, annual.get());

    Ref discount = attribute(self, names.discount_factor);
    if (discount.get() != Py_None) {
        Ref adjusted = attribute(self, names.adjusted_total_monthly_waste_usd);
        if (adjusted.get() == Py_None) complete_adjusted_monthly(scope, self);
    }

    // Read once for the test and again for the product, as the source does.
    if (attribute(self, names.adjusted_total_monthly_waste_usd).get() != Py_None) {
        Ref adjusted_annual = annual_from_monthly(scope, self, names.adjusted_total_monthly_waste_usd);
        set(self, names.adjusted_total_annual_waste_usd, adjusted_annual.get());
    }

    Ref checksum = attribute(self, names.integrity_checksum);
    if (!truth(checksum.get())) {
        Ref compute = lookup_global(scope, names.compute_integrity_checksum);
        findings = attribute(self, names.findings);
        PyObject* call[] = {findings.get()};
        Ref computed = require(PyObject_Vectorcall(compute.get(), call, 1, nullptr));
        set(self, names.integrity_checksum, computed.get());
    }
    return Ref::borrow(Py_None);
}

}  // namespace manifest
