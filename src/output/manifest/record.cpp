#include "record.hpp"

#include "checksum.hpp"
#include "completion.hpp"
#include "deserialize.hpp"
#include "errors.hpp"
#include "names.hpp"
#include "native_function.hpp"
#include "serialize.hpp"
#include "state.hpp"
#include "utc_now.hpp"

namespace manifest {

namespace {

Ref scanned_at_factory_body(const Scope& scope, PyObject* const*) { return current_utc_isoformat(scope); }

// field(default_factory=factory), with `field` looked up at each call.
Ref field_with_factory(const Scope& scope, PyObject* factory) {
    Ref field = lookup_global(scope, names.field);
    PyObject* args[] = {factory};
    Ref keywords = require(PyTuple_Pack(1, names.default_factory));
    return require(PyObject_Vectorcall(field.get(), args, 0, keywords.get()));
}

void put(PyObject* namespace_, PyObject* key, PyObject* value) {
    require_status(PyDict_SetItem(namespace_, key, value));
}

Ref field_annotations() {
    struct Annotation {
        PyObject* field;
        PyObject* text;
    };
    const Annotation annotations[] = {
        {names.tenant_id, names.str},
        {names.provider, names.str},
        {names.regions, names.list_str},
        {names.scan_profile, names.str},
        {names.findings, names.list_Finding},
        {names.scanned_at, names.str},
        {names.integrity_checksum, names.str},
        {names.finding_count, names.int_},
        {names.total_monthly_waste_usd, names.float_},
        {names.pricing_basis, names.str},
        {names.discount_factor, names.float_or_none},
        {names.adjusted_total_monthly_waste_usd, names.float_or_none},
        {names.total_annual_waste_usd, names.float_},
        {names.adjusted_total_annual_waste_usd, names.float_or_none},
        {names.spend_context_pct, names.float_or_none},
        {names.failed_rules, names.list_dict_str_str},
        {names.narrative, names.dict_str_Any_or_none},
        {names.account_summaries, names.list_dict_str_Any},
        {names.brimwick_version, names.str},
    };
    Ref result = require(PyDict_New());
    for (const Annotation& a : annotations) put(result.get(), a.field, a.text);
    return result;
}

void put_defaults(const Scope& scope, PyObject* ns) {
    Ref factory = make_function({"<lambda>", "ScanEnvelope.<lambda>", nullptr, {}, nullptr, nullptr,
                                 scanned_at_factory_body},
                                scope.globals);
    put(ns, names.scanned_at, field_with_factory(scope, factory.get()).get());
    put(ns, names.integrity_checksum, names.empty);
    Ref zero = require(PyLong_FromLong(0));
    put(ns, names.finding_count, zero.get());
    Ref zero_float = require(PyFloat_FromDouble(0.0));
    put(ns, names.total_monthly_waste_usd, zero_float.get());
    put(ns, names.pricing_basis, names.on_demand);
    put(ns, names.discount_factor, Py_None);
    put(ns, names.adjusted_total_monthly_waste_usd, Py_None);
    Ref zero_annual = require(PyFloat_FromDouble(0.0));
    put(ns, names.total_annual_waste_usd, zero_annual.get());
    put(ns, names.adjusted_total_annual_waste_usd, Py_None);
    put(ns, names.spend_context_pct, Py_None);
    PyObject* list_type = reinterpret_cast<PyObject*>(&PyList_Type);
    put(ns, names.failed_rules, field_with_factory(scope, list_type).get());
    put(ns, names.narrative, Py_None);
    put(ns, names.account_summaries, field_with_factory(scope, list_type).get());
    put(ns, names.brimwick_version, names.empty);
}

void put_methods(const Scope& scope, PyObject* ns) {
    Ref post_init = make_function({"__post_init__", "ScanEnvelope.__post_init__", nullptr,
                                   {{names.self, nullptr}}, names.none, nullptr, post_init_body},
                                  scope.globals);
    put(ns, names.__post_init__, post_init.get());

    Ref to_dict = make_function({"to_dict", "ScanEnvelope.to_dict", nullptr, {{names.self, nullptr}},
                                 names.dict_str_Any, nullptr, to_dict_body},
                                 scope.globals);
    put(ns, names.to_dict, to_dict.get());

    Ref with_explanations = make_function({"_findings_with_explanations",
                                           "ScanEnvelope._findings_with_explanations",
                                           kFindingsWithExplanationsDoc, {{names.self, nullptr}},
                                           names.list_dict_str_Any, nullptr, findings_with_explanations_body},
                                          scope.globals);
    put(ns, names._findings_with_explanations, with_explanations.get());

    Ref defaults = require(PyTuple_Pack(1, Py_True));
    Ref from_dict = make_function({"from_dict", "ScanEnvelope.from_dict", kFromDictDoc,
                                   {{names.cls, nullptr}, {names.data, names.dict_str_Any}, {names.verify, names.bool_}},
                                   names.ScanEnvelope, defaults.get(), from_dict_body},
                                  scope.globals);
    PyObject* classmethod_args[] = {from_dict.get()};
    Ref wrapped = require(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyClassMethod_Type),
                                              classmethod_args, 1, nullptr));
    put(ns, names.from_dict, wrapped.get());
}

}  // namespace

Ref build_scan_envelope_class(const Scope& scope) {
    Ref ns = require(PyDict_New());
    put(ns.get(), names.__module__, names.module_name);
    put(ns.get(), names.__qualname__, names.ScanEnvelope);
    Ref doc = require(PyUnicode_FromString(kClassDoc));
    put(ns.get(), names.__doc__, doc.get());
    put(ns.get(), names.__annotations__, field_annotations().get());
    put_defaults(scope, ns.get());
    put_methods(scope, ns.get());

    Ref dataclass = lookup_global(scope, names.dataclass);
    Ref bases = require(PyTuple_New(0));
    PyObject* type_args[] = {names.ScanEnvelope, bases.get(), ns.get()};
    Ref cls = require(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), type_args, 3, nullptr));
    PyObject* decorate_args[] = {cls.get()};
    return require(PyObject_Vectorcall(dataclass.get(), decorate_args, 1, nullptr));
}

}  // namespace manifest
