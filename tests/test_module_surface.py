"""The module namespace, its function objects and the generated record behaviour."""

from __future__ import annotations

import dataclasses
import datetime as dt
import hashlib
import inspect
import json
import pickle
import re
import typing
from types import SimpleNamespace

import pytest
from conftest import envelope, manifest

from brimwick.core.schemas import Finding

S = manifest.ScanEnvelope
FIELDS = dict(
    tenant_id="str", provider="str", regions="list[str]", scan_profile="str", findings="list[Finding]",
    scanned_at="str", integrity_checksum="str", finding_count="int", total_monthly_waste_usd="float",
    pricing_basis="str", discount_factor="float | None", adjusted_total_monthly_waste_usd="float | None",
    total_annual_waste_usd="float", adjusted_total_annual_waste_usd="float | None", spend_context_pct="float | None",
    failed_rules="list[dict[str, str]]", narrative="dict[str, Any] | None", account_summaries="list[dict[str, Any]]",
    brimwick_version="str",
)
MINIMAL = {"tenant_id": "t", "provider": "aws", "regions": [], "scan_profile": "full"}
FACTORY = dataclasses.fields(S)[5].default_factory
FROM_DICT = S.__dict__["from_dict"].__func__

MODULE_DOC = (
    "Scan envelope with integrity checksum for corruption detection.\n\n"
    "The ``integrity_checksum`` (previously called ``manifest_hash``) is a SHA-256\n"
    "digest computed over the sorted finding hashes embedded in the scan output.\n"
    "It is an **integrity checksum** \u2014 useful for detecting *accidental* corruption\n"
    "(e.g., truncated writes, encoding errors) \u2014 but it is **not** tamper-proof\n"
    "verification.  Because the checksum is stored alongside the data it covers,\n"
    "anyone who modifies the findings can simply recompute and replace it.\n"
)
CLASS_DOC = (
    "Top-level scan result container with integrity checksum.\n\n"
    "    The ``integrity_checksum`` field detects accidental data corruption; it is\n"
    "    **not** cryptographic tamper verification (see module docstring).\n    "
)
CHECKSUM_DOC = (
    "Compute a SHA-256 integrity checksum over sorted finding hashes.\n\n"
    "    This detects accidental corruption (truncated files, encoding errors)\n"
    "    but is **not** a tamper-proof seal \u2014 the checksum is embedded alongside\n"
    "    the data, so anyone modifying findings can recompute it.\n    "
)
FROM_DICT_DOC = (
    "Deserialize a scan envelope from a dict.\n\n        Args:\n"
    "            data: Serialized envelope dict.\n"
    "            verify: If True, verify integrity checksum. Raises ValueError if\n"
    "                the stored checksum doesn't match the recomputed value,\n"
    "                indicating possible data corruption.\n        "
)

FUNCTIONS = [  # object, __name__, __qualname__, __doc__, __annotations__, __defaults__, signature
    (manifest.compute_integrity_checksum, "compute_integrity_checksum", "compute_integrity_checksum", CHECKSUM_DOC,
     {"findings": "list[Finding]", "return": "str"}, None, "(findings: 'list[Finding]') -> 'str'"),
    (S.__post_init__, "__post_init__", "ScanEnvelope.__post_init__", None, {"return": "None"}, None, "(self) -> 'None'"),
    (S.to_dict, "to_dict", "ScanEnvelope.to_dict", None, {"return": "dict[str, Any]"}, None, "(self) -> 'dict[str, Any]'"),
    (S._findings_with_explanations, "_findings_with_explanations", "ScanEnvelope._findings_with_explanations",
     "Serialize findings with computed ``explanation`` injected.", {"return": "list[dict[str, Any]]"}, None,
     "(self) -> 'list[dict[str, Any]]'"),
    (FROM_DICT, "from_dict", "ScanEnvelope.from_dict", FROM_DICT_DOC,
     {"data": "dict[str, Any]", "verify": "bool", "return": "ScanEnvelope"}, (True,),
     "(cls, data: 'dict[str, Any]', verify: 'bool' = True) -> 'ScanEnvelope'"),
    (FACTORY, "<lambda>", "ScanEnvelope.<lambda>", None, {}, None, "()"),
]


def test_namespace_names_order_and_objects():
    names = [k for k in vars(manifest) if not k.startswith("__")]
    assert names == ["hashlib", "json", "dataclass", "field", "datetime", "timezone", "Any", "Finding",
                     "compute_integrity_checksum", "compute_manifest_hash", "ScanEnvelope"]
    expected = (hashlib, json, dataclasses.dataclass, dataclasses.field, dt.datetime, dt.timezone, typing.Any, Finding)
    assert all(getattr(manifest, n) is o for n, o in zip(names, expected))
    assert manifest.compute_manifest_hash is manifest.compute_integrity_checksum
    assert manifest.__doc__ == MODULE_DOC
    assert (S.__doc__, S.__module__, S.__qualname__, S.__bases__) == (CLASS_DOC, "brimwick.output.manifest", "ScanEnvelope", (object,))


@pytest.mark.parametrize("func,name,qualname,doc,annotations,defaults,signature", FUNCTIONS, ids=[f[1] for f in FUNCTIONS])
def test_function_object_attributes(func, name, qualname, doc, annotations, defaults, signature):
    assert (func.__name__, func.__qualname__, func.__module__) == (name, qualname, "brimwick.output.manifest")
    assert func.__doc__ == doc
    assert func.__annotations__ == annotations and all(type(v) is str for v in annotations.values())
    assert func.__defaults__ == defaults
    assert str(inspect.signature(func)) == signature
    assert re.fullmatch(rf"<function {re.escape(qualname)} at 0x[0-9a-fA-F]+>", repr(func))
    func.extra = 1  # a per-function attribute dictionary, as on plain functions
    assert func.__dict__.pop("extra") == 1 and not hasattr(func, "extra")
    if func not in (FROM_DICT, FACTORY):  # the others are reachable by name, so they pickle by reference
        assert name.encode() in pickle.dumps(func) and pickle.loads(pickle.dumps(func)) is func


def test_methods_and_class_method_binding():
    env = envelope()
    for name in ("__post_init__", "to_dict", "_findings_with_explanations"):
        func = S.__dict__[name]
        assert getattr(S, name) is func and func.__get__(None, S) is func
        bound = getattr(env, name)
        assert bound.__self__ is env and bound.__func__ is func and bound == func.__get__(env, S)
    holder = type("Holder", (), {"checksum": manifest.compute_integrity_checksum})
    # fetched from an instance, the checksum function gets the instance as `findings`
    with pytest.raises(TypeError, match=r"got Holder\)$"):
        holder().checksum()
    assert holder.checksum([]) == manifest.compute_integrity_checksum(findings=[])
    assert S.to_dict(self=env) == env.to_dict()
    # from_dict is a class method, bound to the class through which it is fetched
    derived = type("Derived", (S,), {})
    assert type(S.__dict__["from_dict"]) is classmethod
    for owner, expected in ((S, S), (envelope(), S), (derived, derived), (derived(**MINIMAL, findings=[]), derived)):
        bound = owner.from_dict
        assert bound.__self__ is expected and bound.__func__ is FROM_DICT
        assert type(bound(dict(MINIMAL))) is expected
    assert S.from_dict(data=dict(MINIMAL), verify=False).tenant_id == "t"
    assert pickle.loads(pickle.dumps(S.from_dict)) == S.from_dict
    assert str(inspect.signature(S.from_dict)) == "(data: 'dict[str, Any]', verify: 'bool' = True) -> 'ScanEnvelope'"


ENV = envelope()
CHECK = manifest.compute_integrity_checksum


@pytest.mark.parametrize("call,message", [
    (lambda: CHECK(), "compute_integrity_checksum() takes exactly 1 positional argument (0 given)"),
    (lambda: CHECK([], []), "compute_integrity_checksum() takes exactly 1 positional argument (2 given)"),
    (lambda: CHECK([], other=1), "compute_integrity_checksum() got an unexpected keyword argument 'other'"),
    (lambda: CHECK([], findings=[]), "compute_integrity_checksum() got multiple values for keyword argument 'findings'"),
    *[(call, msg.format(n)) for n in ("to_dict", "_findings_with_explanations", "__post_init__") for call, msg in [
        (lambda n=n: getattr(S, n)(), "{}() takes exactly 1 positional argument (0 given)"),
        (lambda n=n: getattr(ENV, n)(1), "{}() takes exactly 1 positional argument (2 given)"),
        (lambda n=n: getattr(S, n)(ENV, 1, 2), "{}() takes exactly 1 positional argument (3 given)"),
        (lambda n=n: getattr(ENV, n)(x=1), "{}() got an unexpected keyword argument 'x'"),
        (lambda n=n: getattr(ENV, n)(self=ENV), "{}() got multiple values for keyword argument 'self'"),
    ]],
    (lambda: S.from_dict(), "from_dict() takes at least 2 positional arguments (1 given)"),
    (lambda: S.from_dict(verify=False), "from_dict() takes at least 2 positional arguments (1 given)"),
    (lambda: FROM_DICT(), "from_dict() takes at least 2 positional arguments (0 given)"),
    (lambda: ENV.from_dict({}, True, 1), "from_dict() takes at most 3 positional arguments (4 given)"),
    (lambda: S.from_dict({}, strict=True), "from_dict() got an unexpected keyword argument 'strict'"),
    (lambda: S.from_dict({}, data={}), "from_dict() got multiple values for keyword argument 'data'"),
    (lambda: S.from_dict({}, True, verify=True), "from_dict() got multiple values for keyword argument 'verify'"),
    (lambda: FACTORY(1), "<lambda>() takes exactly 0 positional arguments (1 given)"),
    (lambda: FACTORY(x=1), "<lambda>() got an unexpected keyword argument 'x'"),
])
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError, match=rf"^{re.escape(message)}$"):
        call()


STORED_BAD = {**MINIMAL, "integrity_checksum": "bad"}


# Replaced defaults bind on the next call, as with Python functions: None (or deleting them) makes `verify` required.
@pytest.mark.parametrize("replace, defaults, signature, outcome", [
    (lambda f: setattr(f, "__defaults__", None), None, "verify: 'bool')", "takes exactly 3 positional arguments (2 given)"),
    (lambda f: delattr(f, "__defaults__"), None, "verify: 'bool')", "takes exactly 3 positional arguments (2 given)"),
    (lambda f: setattr(f, "__defaults__", (False,)), (False,), "verify: 'bool' = False)", "bad"),
    (lambda f: setattr(f, "__defaults__", ()), (), "verify: 'bool')", "takes exactly 3 positional arguments (2 given)"),
], ids=["None", "deleted", "False", "empty"])
def test_replaced_defaults_change_binding(monkeypatch, replace, defaults, signature, outcome):
    monkeypatch.setattr(FROM_DICT, "__defaults__", FROM_DICT.__defaults__)  # restored afterwards
    replace(FROM_DICT)
    assert FROM_DICT.__defaults__ == defaults
    assert str(inspect.signature(FROM_DICT)).endswith(signature + " -> 'ScanEnvelope'")
    try:
        result = S.from_dict(dict(STORED_BAD)).integrity_checksum
    except TypeError as error:
        result = str(error).removeprefix("from_dict() ")
    assert result == outcome
    assert S.from_dict(dict(STORED_BAD), False).integrity_checksum == "bad"  # given in full, it binds either way
    with pytest.raises(TypeError, match=r"^__defaults__ must be set to a tuple object$"):
        FROM_DICT.__defaults__ = [True]
    assert FROM_DICT.__defaults__ == defaults


def test_fields_order_annotations_and_generated_methods():
    assert S.__annotations__ == FIELDS and list(S.__annotations__) == list(FIELDS)
    assert [f.name for f in dataclasses.fields(S)] == list(FIELDS) == list(S.__match_args__)
    assert [f.type for f in dataclasses.fields(S)] == list(FIELDS.values())
    assert S.__hash__ is None and "__lt__" not in S.__dict__ and S.__dataclass_params__.frozen is False
    env = envelope()
    assert repr(env) == "ScanEnvelope(" + ", ".join(f"{n}={getattr(env, n)!r}" for n in FIELDS) + ")"
    assert dataclasses.asdict(env)["pricing_basis"] == "on-demand"


def test_defaults_and_class_attributes():
    env, other = S("t", "aws", ["r"], "full", []), S("t", "aws", ["r"], "full", [])
    plain = {"integrity_checksum": "", "finding_count": 0, "total_monthly_waste_usd": 0.0, "pricing_basis": "on-demand",
             "discount_factor": None, "adjusted_total_monthly_waste_usd": None, "total_annual_waste_usd": 0.0,
             "adjusted_total_annual_waste_usd": None, "spend_context_pct": None, "narrative": None, "brimwick_version": ""}
    for name, value in plain.items():
        assert S.__dict__[name] == value and type(S.__dict__[name]) is type(value)
    assert [n for n in FIELDS if n not in plain and n in S.__dict__] == []
    assert (env.pricing_basis, env.discount_factor, env.spend_context_pct, env.narrative) == ("on-demand", None, None, None)
    assert env.failed_rules == env.account_summaries == [] and env.scanned_at.endswith("+00:00")
    assert env.failed_rules is not other.failed_rules and env.account_summaries is not other.account_summaries


@pytest.mark.parametrize("micro,text", [(0, "2024-02-29T23:59:59+00:00"), (7, "2024-02-29T23:59:59.000007+00:00")])
def test_scanned_at_factory_uses_module_datetime(monkeypatch, micro, text):
    zones, moment = [], dt.datetime(2024, 2, 29, 23, 59, 59, micro)
    monkeypatch.setattr(manifest, "datetime", SimpleNamespace(now=lambda tz: zones.append(tz) or moment.replace(tzinfo=tz)))
    assert envelope().scanned_at == text and FACTORY() == text
    assert zones == [dt.timezone.utc] * 2
    monkeypatch.setattr(manifest, "timezone", SimpleNamespace(utc=dt.timezone(dt.timedelta(hours=2))))
    assert envelope().scanned_at == text.replace("+00:00", "+02:00")
    assert envelope(scanned_at="then").scanned_at == "then" and S("t", "aws", [], "full", [], "6th").scanned_at == "6th"
    assert len(zones) == 3  # a given scanned_at calls no factory


def test_equality_and_hashing():
    a, b = envelope(scanned_at="x"), envelope(scanned_at="x")
    assert a == b and a is not b and a != envelope(scanned_at="y")
    derived = type("Derived", (S,), {})(**{n: getattr(a, n) for n in FIELDS})
    assert a != derived and derived != a and a.__eq__(derived) is NotImplemented
    assert a != dataclasses.asdict(a) and a.__eq__(dataclasses.asdict(a)) is NotImplemented
    for unhashable in (lambda: hash(a), lambda: {a}):
        with pytest.raises(TypeError, match=r"^unhashable type: 'ScanEnvelope'$"):
            unhashable()


@pytest.mark.parametrize("name, value, message", [
    ("__name__", 5, "__name__ must be set to a string object"),
    ("__qualname__", None, "__qualname__ must be set to a string object"),
    ("__annotations__", [], "__annotations__ must be set to a dict object"),
])
def test_attribute_setters_refuse_other_types_and_keep_the_value(name, value, message):
    checksum = manifest.compute_integrity_checksum
    before = getattr(checksum, name)
    with pytest.raises(TypeError, match=rf"^{re.escape(message)}$"):
        setattr(checksum, name, value)
    assert getattr(checksum, name) == before
