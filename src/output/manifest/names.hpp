// Interned names: attribute names, dictionary keys and parameter names used
// on hot paths, created once when the module loads and kept for the life of
// the process (the module loads once and is never unloaded).
#pragma once

#include "ref.hpp"

namespace manifest {

// X(identifier, "text")
#define MANIFEST_NAMES(X)                                                       \
    X(hashlib, "hashlib")                                                       \
    X(json, "json")                                                             \
    X(dataclass, "dataclass")                                                   \
    X(field, "field")                                                           \
    X(datetime, "datetime")                                                     \
    X(timezone, "timezone")                                                     \
    X(Any, "Any")                                                               \
    X(Finding, "Finding")                                                       \
    X(compute_integrity_checksum, "compute_integrity_checksum")                 \
    X(compute_manifest_hash, "compute_manifest_hash")                           \
    X(ScanEnvelope, "ScanEnvelope")                                             \
    X(tenant_id, "tenant_id")                                                   \
    X(provider, "provider")                                                     \
    X(regions, "regions")                                                       \
    X(scan_profile, "scan_profile")                                             \
    X(findings, "findings")                                                     \
    X(scanned_at, "scanned_at")                                                 \
    X(integrity_checksum, "integrity_checksum")                                 \
    X(manifest_hash, "manifest_hash")                                           \
    X(finding_count, "finding_count")                                           \
    X(total_monthly_waste_usd, "total_monthly_waste_usd")                       \
    X(pricing_basis, "pricing_basis")                                           \
    X(discount_factor, "discount_factor")                                       \
    X(adjusted_total_monthly_waste_usd, "adjusted_total_monthly_waste_usd")     \
    X(total_annual_waste_usd, "total_annual_waste_usd")                         \
    X(adjusted_total_annual_waste_usd, "adjusted_total_annual_waste_usd")       \
    X(spend_context_pct, "spend_context_pct")                                   \
    X(failed_rules, "failed_rules")                                             \
    X(narrative, "narrative")                                                   \
    X(account_summaries, "account_summaries")                                   \
    X(brimwick_version, "brimwick_version")                                     \
    X(finding_hash, "finding_hash")                                             \
    X(estimated_monthly_waste_usd, "estimated_monthly_waste_usd")               \
    X(adjusted_monthly_waste_usd, "adjusted_monthly_waste_usd")                 \
    X(remediation, "remediation")                                               \
    X(explanation, "explanation")                                               \
    X(to_dict, "to_dict")                                                       \
    X(from_dict, "from_dict")                                                   \
    X(_findings_with_explanations, "_findings_with_explanations")               \
    X(__post_init__, "__post_init__")                                           \
    X(__version__, "__version__")                                               \
    X(__builtins__, "__builtins__")                                             \
    X(__module__, "__module__")                                                 \
    X(__qualname__, "__qualname__")                                             \
    X(__doc__, "__doc__")                                                       \
    X(__annotations__, "__annotations__")                                       \
    X(build_remediation_explanation, "build_remediation_explanation")           \
    X(default_factory, "default_factory")                                       \
    X(dumps, "dumps")                                                           \
    X(separators, "separators")                                                 \
    X(encode, "encode")                                                         \
    X(JSONEncoder, "JSONEncoder")                                               \
    X(c_make_encoder, "c_make_encoder")                                         \
    X(encode_basestring_ascii, "encode_basestring_ascii")                       \
    X(infinity_, "INFINITY")                                                     \
    X(isinstance, "isinstance")                                                 \
    X(list_, "list")                                                            \
    X(tuple_, "tuple")                                                          \
    X(make_encoder, "make_encoder")                                             \
    X(item_separator, "item_separator")                                         \
    X(key_separator, "key_separator")                                           \
    X(default_, "default")                                                      \
    X(__init__, "__init__")                                                     \
    X(__dict__, "__dict__")                                                     \
    X(__weakref__, "__weakref__")                                               \
    X(HASH, "HASH")                                                             \
    X(SHA256Type, "SHA256Type")                                                 \
    X(skipkeys, "skipkeys")                                                     \
    X(ensure_ascii, "ensure_ascii")                                             \
    X(check_circular, "check_circular")                                         \
    X(allow_nan, "allow_nan")                                                   \
    X(sort_keys, "sort_keys")                                                   \
    X(indent, "indent")                                                         \
    X(dot, ".")                                                                 \
    X(sum, "sum")                                                               \
    X(len, "len")                                                               \
    X(round, "round")                                                           \
    X(__import__, "__import__")                                                 \
    X(iterencode, "iterencode")                                                 \
    X(update, "update")                                                         \
    X(release, "release")                                                       \
    X(sha256, "sha256")                                                         \
    X(hexdigest, "hexdigest")                                                   \
    X(now, "now")                                                               \
    X(utc, "utc")                                                               \
    X(isoformat, "isoformat")                                                   \
    X(get, "get")                                                               \
    X(self, "self")                                                             \
    X(cls, "cls")                                                               \
    X(data, "data")                                                             \
    X(verify, "verify")                                                         \
    X(return_, "return")                                                        \
    X(str, "str")                                                               \
    X(int_, "int")                                                              \
    X(float_, "float")                                                          \
    X(none, "None")                                                             \
    X(list_str, "list[str]")                                                    \
    X(list_Finding, "list[Finding]")                                            \
    X(float_or_none, "float | None")                                            \
    X(list_dict_str_str, "list[dict[str, str]]")                                \
    X(dict_str_Any_or_none, "dict[str, Any] | None")                            \
    X(list_dict_str_Any, "list[dict[str, Any]]")                                \
    X(dict_str_Any, "dict[str, Any]")                                           \
    X(bool_, "bool")                                                            \
    X(on_demand, "on-demand")                                                   \
    X(unknown, "unknown")                                                       \
    X(empty, "")                                                                \
    X(module_name, "brimwick.output.manifest")

struct Names {
#define MANIFEST_NAME_FIELD(id, text) PyObject* id = nullptr;
    MANIFEST_NAMES(MANIFEST_NAME_FIELD)
#undef MANIFEST_NAME_FIELD
};

// Filled by intern_names(); valid for the life of the process afterwards.
extern Names names;

// Interns every name once; safe to call again (does nothing then).
void intern_names();

}  // namespace manifest
