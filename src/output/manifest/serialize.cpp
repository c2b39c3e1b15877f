#include "serialize.hpp"

#include "instance_attribute.hpp"
#include "iteration.hpp"
#include "names.hpp"
#include "state.hpp"

namespace manifest {

namespace {

enum class Treatment { AsStored, Rounded, RoundedOrNull };

struct Key {
    PyObject* const* key;    // the dictionary key
    PyObject* const* field;  // the envelope field it is read from
    Treatment treatment;
};

// Keys 1 to 19 of the envelope dictionary, in their stored order.
const Key kEnvelopeKeys[] = {
    {&names.tenant_id, &names.tenant_id, Treatment::AsStored},
    {&names.provider, &names.provider, Treatment::AsStored},
    {&names.regions, &names.regions, Treatment::AsStored},
    {&names.scan_profile, &names.scan_profile, Treatment::AsStored},
    {&names.scanned_at, &names.scanned_at, Treatment::AsStored},
    {&names.integrity_checksum, &names.integrity_checksum, Treatment::AsStored},
    {&names.manifest_hash, &names.integrity_checksum, Treatment::AsStored},
    {&names.finding_count, &names.finding_count, Treatment::AsStored},
    {&names.total_monthly_waste_usd, &names.total_monthly_waste_usd, Treatment::Rounded},
    {&names.pricing_basis, &names.pricing_basis, Treatment::AsStored},
    {&names.discount_factor, &names.discount_factor, Treatment::AsStored},
    {&names.adjusted_total_monthly_waste_usd, &names.adjusted_total_monthly_waste_usd, Treatment::RoundedOrNull},
    {&names.total_annual_waste_usd, &names.total_annual_waste_usd, Treatment::Rounded},
    {&names.adjusted_total_annual_waste_usd, &names.adjusted_total_annual_waste_usd, Treatment::RoundedOrNull},
    {&names.spend_context_pct, &names.spend_context_pct, Treatment::RoundedOrNull},
    {&names.failed_rules, &names.failed_rules, Treatment::AsStored},
    {&names.narrative, &names.narrative, Treatment::AsStored},
    {&names.brimwick_version, &names.brimwick_version, Treatment::AsStored},
    {&names.account_summaries, &names.account_summaries, Treatment::AsStored},
};

// round(self.x, 2), or round(self.x, 2) if self.x is not None else None:
// the name round is loaded before the value it rounds is read.
Ref entry_value(const Scope& scope, PyObject* self, const Key& key) {
    switch (key.treatment) {
        case Treatment::AsStored:
            break;
        case Treatment::Rounded: {
            Ref round = lookup_global(scope, names.round);
            return round_two_places(round.get(), attribute(self, *key.field).get());
        }
        case Treatment::RoundedOrNull: {
            Ref tested = attribute(self, *key.field);
            if (tested.get() == Py_None) return tested;
            Ref round = lookup_global(scope, names.round);
            return round_two_places(round.get(), attribute(self, *key.field).get());  // read again, as the format says
        }
    }
    return attribute(self, *key.field);
}

// finding_dict.get("remediation"), with the dict method for exact dicts.
Ref remediation_entry(PyObject* finding_dict) {
    if (PyDict_CheckExact(finding_dict)) {
        PyObject* found = PyDict_GetItemWithError(finding_dict, names.remediation);
        if (found == nullptr && PyErr_Occurred()) throw PyErrOccurred{};
        return Ref::borrow(found ? found : Py_None);
    }
    PyObject* call[] = {finding_dict, names.remediation};
    return require(PyObject_VectorcallMethod(names.get, call, 2, nullptr));
}

void add_explanation(InstanceAttribute& remediations, PyObject* explain, PyObject* finding, PyObject* finding_dict) {
    Ref remediation = remediations.read(finding);
    PyObject* args[] = {finding, remediation.get()};
    Ref explanation = require(PyObject_Vectorcall(explain, args, 2, nullptr));
    Ref target = require(PyObject_GetItem(finding_dict, names.remediation));
    require_status(PyObject_SetItem(target.get(), names.explanation, explanation.get()));
}

}  // namespace

Ref findings_with_explanations_body(const Scope& scope, PyObject* const* args) {
    PyObject* self = args[0];
    Ref explain = import_from(scope, "brimwick.output.explanation", state.fromlist_explanation,
                              names.build_remediation_explanation);
    Ref result = require(PyList_New(0));
    Ref findings = attribute(self, names.findings);
    InstanceAttribute remediations(names.remediation);
    for_each_item(findings.get(), [&](PyObject* finding) {
        // One spare slot before self lets a bound call reuse the array.
        PyObject* call[] = {nullptr, finding};
        Ref finding_dict = require(
            PyObject_VectorcallMethod(names.to_dict, call + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        Ref remediation = remediations.read(finding);
        if (truth(remediation.get())) {
            Ref entry = remediation_entry(finding_dict.get());
            if (truth(entry.get())) add_explanation(remediations, explain.get(), finding, finding_dict.get());
        }
        require_status(PyList_Append(result.get(), finding_dict.get()));
    });
    return result;
}

Ref to_dict_body(const Scope& scope, PyObject* const* args) {
    PyObject* self = args[0];
    Ref result = require(PyDict_New());
    for (const Key& key : kEnvelopeKeys) {
        Ref value = entry_value(scope, self, key);
        require_status(PyDict_SetItem(result.get(), *key.key, value.get()));
    }
    PyObject* call[] = {nullptr, self};
    Ref findings = require(PyObject_VectorcallMethod(names._findings_with_explanations, call + 1,
                                                     1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    require_status(PyDict_SetItem(result.get(), names.findings, findings.get()));
    return result;
}

}  // namespace manifest
