"""Turning an envelope into the envelope dictionary: keys, rounding, explanations."""

from __future__ import annotations

import re
import sys

import pytest

import brimwick.output.explanation as explanation
from conftest import StubFinding, envelope, manifest

KEYS = [
    "tenant_id", "provider", "regions", "scan_profile", "scanned_at", "integrity_checksum",
    "manifest_hash", "finding_count", "total_monthly_waste_usd", "pricing_basis", "discount_factor",
    "adjusted_total_monthly_waste_usd", "total_annual_waste_usd", "adjusted_total_annual_waste_usd",
    "spend_context_pct", "failed_rules", "narrative", "brimwick_version", "account_summaries", "findings",
]
ROUNDED = ["total_monthly_waste_usd", "adjusted_total_monthly_waste_usd", "total_annual_waste_usd",
           "adjusted_total_annual_waste_usd", "spend_context_pct"]
NULLABLE = ["discount_factor", "adjusted_total_monthly_waste_usd", "adjusted_total_annual_waste_usd",
            "spend_context_pct", "narrative"]
ROUNDING = [(45.678, 45.68), (2.675, 2.67), (0.125, 0.12), (0.375, 0.38), (-0.004, -0.0), (0.0, 0.0),
            (7, 7), (10**20, 10**20)]


@pytest.fixture
def explain(monkeypatch: pytest.MonkeyPatch) -> list[tuple]:
    """Replaces the explanation builder with one that records its calls."""
    calls: list[tuple] = []
    monkeypatch.setattr(explanation, "build_remediation_explanation",
                        lambda *args: calls.append(args) or f"explained-{len(calls)}")
    return calls


def test_keys_in_order_and_stored_values_written_as_they_are() -> None:
    env = envelope([StubFinding("a", 1.5)], failed_rules=[{"r": "x"}], narrative={"n": 1},
                   account_summaries=[{"a": 1}], discount_factor=0.8765)
    env.findings.append(StubFinding("b", 2.5))  # count, totals and checksum are not brought up to date
    d = env.to_dict()
    assert list(d) == KEYS
    for key in set(KEYS) - set(ROUNDED) - {"manifest_hash", "findings"}:
        assert d[key] is getattr(env, key), key
    assert d["manifest_hash"] is env.integrity_checksum == manifest.compute_integrity_checksum([StubFinding("a")])
    assert (d["discount_factor"], d["finding_count"], d["total_monthly_waste_usd"]) == (0.8765, 1, 1.5)
    assert [f["finding_hash"] for f in d["findings"]] == ["a", "b"]
    d["regions"].append("eu-west-1")
    assert env.regions == ["us-east-1", "eu-west-1"]
    assert env.to_dict() == d and env.to_dict() is not d


# Rounded fields go through round(x, 2) (a float zero stays a float, not null); nullable fields keep null.
@pytest.mark.parametrize("key, stored, written", [(k, s, w) for k in ROUNDED for s, w in ROUNDING]
                         + [(k, None, None) for k in NULLABLE])
def test_rounded_and_null_fields(key: str, stored: object, written: object) -> None:
    env = envelope()
    setattr(env, key, stored)
    assert repr(env.to_dict()[key]) == repr(written)
    assert getattr(env, key) is stored


def test_explanation_goes_inside_remediation(explain: list[tuple]) -> None:
    with_rem = StubFinding("a", remediation={"action": "stop"})
    replaced = StubFinding("b", remediation={"x": 1}, dict_form={"remediation": {"explanation": "old"}})
    without = StubFinding("c", remediation=None, dict_form={"finding_hash": "c", "remediation": {"action": "k"}})
    out = envelope([with_rem, replaced, without]).to_dict()["findings"]
    assert out == [
        {"finding_hash": "a", "remediation": {"action": "stop", "explanation": "explained-1"}},
        {"remediation": {"explanation": "explained-2"}},
        {"finding_hash": "c", "remediation": {"action": "k"}},
    ]
    assert out[1] is replaced.dict_form and out[2] is without.dict_form
    assert explain == [(with_rem, with_rem.remediation), (replaced, replaced.remediation)]
    assert all(a[1] is a[0].remediation for a in explain)


# A falsy remediation: the finding dictionary is not even inspected (an opaque object proves it).
# A truthy one: a missing, null or empty `remediation` entry gets no explanation.
@pytest.mark.parametrize("remediation, dict_form", [(r, object()) for r in (None, 0, "", {}, [], False)] + [
    ({"action": "stop"}, d) for d in ({"finding_hash": "a"}, {"remediation": None}, {"remediation": {}}, {"remediation": ""})
])
def test_no_explanation(explain: list[tuple], remediation: object, dict_form: object) -> None:
    snapshot = repr(dict_form)
    out = envelope([StubFinding(remediation=remediation, dict_form=dict_form)]).to_dict()["findings"]
    assert out[0] is dict_form and repr(dict_form) == snapshot
    assert explain == []


def test_derived_class_builds_the_finding_list() -> None:
    derived = type("Derived", (manifest.ScanEnvelope,), {"_findings_with_explanations": lambda self: ["own"]})
    assert derived("t", "aws", [], "full", [StubFinding("a", remediation={"x": 1})]).to_dict()["findings"] == ["own"]


# Nothing is half-written into the envelope; the explanation module is needed even without findings.
@pytest.mark.parametrize("spoil, error, message", [
    (lambda env, mp: setattr(env, "adjusted_total_annual_waste_usd", "12.5"), TypeError,
     "type str doesn't define __round__ method"),
    (lambda env, mp: env.findings.append(StubFinding(remediation={"a": 1}, dict_form={"remediation": "stop"})),
     TypeError, "'str' object does not support item assignment"),
    (lambda env, mp: setattr(env, "findings", None), TypeError, "'NoneType' object is not iterable"),
    (lambda env, mp: mp.setitem(sys.modules, "brimwick.output.explanation", None), ImportError, None),
    (lambda env, mp: mp.delattr(explanation, "build_remediation_explanation"), ImportError, None),
], ids=["text-in-rounded-field", "text-remediation-entry", "null-findings", "no-module", "no-builder"])
def test_failures_leave_the_envelope_alone(monkeypatch: pytest.MonkeyPatch, spoil, error: type, message: str | None) -> None:
    env = envelope([], discount_factor=0.5, adjusted_total_monthly_waste_usd=2.0)
    spoil(env, monkeypatch)
    before = dict(vars(env))
    with pytest.raises(error, match=None if message is None else f"^{re.escape(message)}$"):
        env.to_dict()
    assert vars(env) == before
