#include "deserialize.hpp"

#include "checksum.hpp"
#include "errors.hpp"
#include "iteration.hpp"
#include "names.hpp"
#include "record.hpp"
#include "state.hpp"
#include "utc_now.hpp"

namespace manifest {

namespace {

// data.get(key, fallback) on an exact dict; fallback is borrowed.
Ref lookup_or(PyObject* data, PyObject* key, PyObject* fallback) {
    PyObject* found = PyDict_GetItemWithError(data, key);
    if (found == nullptr && PyErr_Occurred()) throw PyErrOccurred{};
    return Ref::borrow(found ? found : fallback);
}

// data[key] on an exact dict.
Ref lookup_required(PyObject* data, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(data, key);
    if (found != nullptr) return Ref::borrow(found);
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    throw PyErrOccurred{};
}

// [Finding.from_dict(f) for f in data.get("findings", [])], with Finding
// looked up anew for every element.
Ref rebuild_findings(const Scope& scope, PyObject* data) {
    Ref empty = require(PyList_New(0));
    Ref stored = lookup_or(data, names.findings, empty.get());
    Ref findings = require(PyList_New(0));
    for_each_item(stored.get(), [&](PyObject* element) {
        Ref finding_class = lookup_global(scope, names.Finding);
        PyObject* call[] = {nullptr, finding_class.get(), element};
        Ref finding = require(PyObject_VectorcallMethod(names.from_dict, call + 1,
                                                        2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        require_status(PyList_Append(findings.get(), finding.get()));
    });
    return findings;
}

// data.get("integrity_checksum") or data.get("manifest_hash", "")
Ref stored_checksum(PyObject* data) {
    Ref current = lookup_or(data, names.integrity_checksum, Py_None);
    if (truth(current.get())) return current;
    return lookup_or(data, names.manifest_hash, names.empty);
}

// value[:16], or the unsliceable error for a type without subscription.
Ref first_sixteen(PyObject* value) {
    if (PyUnicode_CheckExact(value)) {
        return require(PyUnicode_Substring(value, 0, 16));
    }
    PyMappingMethods* mapping = Py_TYPE(value)->tp_as_mapping;
    if (mapping == nullptr || mapping->mp_subscript == nullptr) {
        PyErr_Format(PyExc_TypeError, kUnsliceableText, Py_TYPE(value)->tp_name);
        throw PyErrOccurred{};
    }
    return require(PyObject_GetItem(value, state.first_sixteen));
}

Ref as_text(PyObject* value) { return require(PyObject_Format(value, names.empty)); }

[[noreturn]] void raise_mismatch(PyObject* stored, PyObject* recomputed) {
    Ref stored_part = as_text(first_sixteen(stored).get());
    Ref recomputed_part = as_text(first_sixteen(recomputed).get());
    Ref message = require(PyUnicode_FromFormat("%s%U%s%U%s", kMismatchPrefix, stored_part.get(), kMismatchMiddle,
                                               recomputed_part.get(), kMismatchSuffix));
    PyErr_SetObject(PyExc_ValueError, message.get());
    throw PyErrOccurred{};
}

void verify_checksum(const Scope& scope, PyObject* findings, PyObject* stored) {
    Ref compute = lookup_global(scope, names.compute_integrity_checksum);
    PyObject* call[] = {findings};
    Ref recomputed = require(PyObject_Vectorcall(compute.get(), call, 1, nullptr));
    Ref differs = require(PyObject_RichCompare(recomputed.get(), stored, Py_NE));
    if (truth(differs.get())) raise_mismatch(stored, recomputed.get());
}

}  // namespace

Ref from_dict_body(const Scope& scope, PyObject* const* args) {
    PyObject* cls = args[0];
    PyObject* data = args[1];
    const bool verify = truth(args[2]);
    require_exact_type(data, &PyDict_Type, "data");

    Ref findings = rebuild_findings(scope, data);
    Ref stored_hash = stored_checksum(data);
    if (verify && truth(stored_hash.get())) verify_checksum(scope, findings.get(), stored_hash.get());

    Ref tenant_id = lookup_required(data, names.tenant_id);
    Ref provider = lookup_required(data, names.provider);
    Ref regions = lookup_required(data, names.regions);
    Ref scan_profile = lookup_required(data, names.scan_profile);
    Ref now = current_utc_isoformat(scope);
    Ref scanned_at = lookup_or(data, names.scanned_at, now.get());

    Ref pricing_basis = lookup_or(data, names.pricing_basis, names.on_demand);
    Ref discount_factor = lookup_or(data, names.discount_factor, Py_None);
    Ref adjusted_monthly = lookup_or(data, names.adjusted_total_monthly_waste_usd, Py_None);
    Ref zero_annual = require(PyFloat_FromDouble(0.0));
    Ref annual = lookup_or(data, names.total_annual_waste_usd, zero_annual.get());
    Ref adjusted_annual = lookup_or(data, names.adjusted_total_annual_waste_usd, Py_None);
    Ref spend_context = lookup_or(data, names.spend_context_pct, Py_None);
    Ref no_rules = require(PyList_New(0));
    Ref failed_rules = lookup_or(data, names.failed_rules, no_rules.get());
    Ref narrative = lookup_or(data, names.narrative, Py_None);
    Ref no_summaries = require(PyList_New(0));
    Ref account_summaries = lookup_or(data, names.account_summaries, no_summaries.get());
    Ref version = lookup_or(data, names.brimwick_version, names.empty);

    // Keyword order as in state.envelope_keywords.
    PyObject* call[] = {nullptr,
                        tenant_id.get(),
                        provider.get(),
                        regions.get(),
                        scan_profile.get(),
                        scanned_at.get(),
                        stored_hash.get(),
                        pricing_basis.get(),
                        discount_factor.get(),
                        adjusted_monthly.get(),
                        annual.get(),
                        adjusted_annual.get(),
                        spend_context.get(),
                        failed_rules.get(),
                        narrative.get(),
                        account_summaries.get(),
                        version.get(),
                        findings.get()};
    return require(PyObject_Vectorcall(cls, call + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, state.envelope_keywords));
}

}  // namespace manifest
