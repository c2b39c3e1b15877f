"""Turning an envelope into the envelope dictionary: keys, rounding, explanations."""

from __future__ import annotations

import json
import math
import random
import re
import sys

import pytest

import brimwick.output.explanation as explanation
from conftest import StubFinding, envelope, manifest, random_finding

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


def random_envelope(rng: random.Random) -> manifest.ScanEnvelope:
    """An envelope with random findings and random optional context."""
    return envelope(
        [random_finding(rng, i) for i in range(rng.randrange(7))],
        tenant_id=f"t-{rng.randrange(1000)}",
        regions=rng.sample(["us-east-1", "eu-west-1", "ap-south-1"], rng.randrange(1, 4)),
        discount_factor=rng.choice([None, 0.0, rng.random()]),
        spend_context_pct=rng.choice([None, rng.uniform(0, 100)]),
        failed_rules=[{"rule_id": "idle", "error": "x"}] * rng.randrange(3),
        narrative=rng.choice([None, {"summary": "ok", "lines": ["a", "b"]}]),
        account_summaries=[{"account": str(rng.randrange(99)), "waste": rng.random()}],
    )


@pytest.fixture
def explain(monkeypatch: pytest.MonkeyPatch) -> list[tuple]:
    """Replaces the explanation builder with one that records its calls."""
    calls: list[tuple] = []

    def fake(*args: object) -> str:
        calls.append(args)
        return f"explained-{len(calls)}"

    monkeypatch.setattr(explanation, "build_remediation_explanation", fake)
    return calls


def test_keys_in_order_and_as_stored_values_are_the_fields_themselves() -> None:
    env = envelope([StubFinding("a"), StubFinding("b")], failed_rules=[{"r": "x"}], narrative={"n": 1},
                   account_summaries=[{"a": 1}], discount_factor=0.8765)
    d = env.to_dict()
    assert list(d) == KEYS
    for key in set(KEYS) - set(ROUNDED) - {"manifest_hash", "findings"}:
        assert d[key] is getattr(env, key), key
    assert d["manifest_hash"] is env.integrity_checksum
    assert d["discount_factor"] == 0.8765
    d["regions"].append("eu-west-1")
    assert env.regions == ["us-east-1", "eu-west-1"]
    assert env.to_dict() == d and env.to_dict() is not d


@pytest.mark.parametrize("key", NULLABLE)
def test_null_fields_are_written_as_null(key: str) -> None:
    d = envelope(**{key: None}).to_dict()
    assert key in d and d[key] is None


@pytest.mark.parametrize("key", ["adjusted_total_monthly_waste_usd", "adjusted_total_annual_waste_usd", "spend_context_pct"])
def test_zero_is_not_null(key: str) -> None:
    env = envelope()
    setattr(env, key, 0.0)
    value = env.to_dict()[key]
    assert value == 0.0 and type(value) is float


@pytest.mark.parametrize("key", ROUNDED)
@pytest.mark.parametrize(("stored", "written"), [
    (45.678, 45.68), (2.675, 2.67), (0.125, 0.12), (0.375, 0.38), (-0.004, -0.0), (7, 7), (10**20, 10**20),
])
def test_rounded_fields(key: str, stored: float, written: float) -> None:
    env = envelope()
    setattr(env, key, stored)
    value = env.to_dict()[key]
    assert value == written and type(value) is type(written)
    assert math.copysign(1, value) == math.copysign(1, written)
    assert getattr(env, key) is stored


def test_explanation_goes_inside_remediation(explain: list[tuple]) -> None:
    with_rem = StubFinding("a", remediation={"action": "stop"})
    replaced = StubFinding("b", remediation={"x": 1}, dict_form={"remediation": {"explanation": "old"}})
    without = StubFinding("c", remediation=None, dict_form={"finding_hash": "c", "remediation": {"action": "k"}})
    env = envelope([with_rem, replaced, without])
    out = env.to_dict()["findings"]
    assert out == [
        {"finding_hash": "a", "remediation": {"action": "stop", "explanation": "explained-1"}},
        {"remediation": {"explanation": "explained-2"}},
        {"finding_hash": "c", "remediation": {"action": "k"}},
    ]
    assert out[1] is replaced.dict_form and out[2] is without.dict_form
    assert explain == [(with_rem, with_rem.remediation), (replaced, replaced.remediation)]
    assert all(a[1] is a[0].remediation for a in explain)


@pytest.mark.parametrize("remediation", [None, 0, "", {}, [], False])
def test_falsy_remediation_is_neither_explained_nor_looked_up(explain: list[tuple], remediation: object) -> None:
    # An opaque entry proves that the finding dictionary is not inspected at all.
    opaque = object()
    assert envelope([StubFinding(remediation=remediation, dict_form=opaque)]).to_dict()["findings"] == [opaque]
    assert explain == []


@pytest.mark.parametrize("dict_form", [{"finding_hash": "a"}, {"remediation": None}, {"remediation": {}}, {"remediation": ""}])
def test_truthy_remediation_without_dictionary_entry(explain: list[tuple], dict_form: dict) -> None:
    snapshot = json.dumps(dict_form)
    out = envelope([StubFinding(remediation={"action": "stop"}, dict_form=dict_form)]).to_dict()["findings"]
    assert out[0] is dict_form and json.dumps(dict_form) == snapshot
    assert explain == []


def test_real_explanations_for_random_envelopes(rng: random.Random) -> None:
    for _ in range(40):
        env = random_envelope(rng)
        d = env.to_dict()
        assert list(d) == KEYS and json.loads(json.dumps(d)) == d
        assert d["integrity_checksum"] == d["manifest_hash"] == env.integrity_checksum
        for f, entry in zip(env.findings, d["findings"], strict=True):
            expected = f.to_dict()
            if f.remediation:
                expected["remediation"]["explanation"] = explanation.build_remediation_explanation(f, f.remediation)
            assert entry == expected and "explanation" not in entry


def test_serialisation_recomputes_nothing() -> None:
    env = envelope([StubFinding("a", 1.5)])
    env.findings.append(StubFinding("b", 2.5))
    d = env.to_dict()
    assert [f["finding_hash"] for f in d["findings"]] == ["a", "b"]
    assert d["finding_count"] == 1 and d["total_monthly_waste_usd"] == 1.5
    assert d["integrity_checksum"] == d["manifest_hash"] == manifest.compute_integrity_checksum([StubFinding("a")])


def test_derived_class_builds_the_finding_list() -> None:
    class Derived(manifest.ScanEnvelope):
        def _findings_with_explanations(self) -> list:
            return ["own"]

    env = Derived("t", "aws", [], "full", [StubFinding("a", remediation={"x": 1})])
    assert env.to_dict()["findings"] == ["own"]


@pytest.mark.parametrize("how", ["module", "name"])
def test_missing_explanation_module_fails_even_without_findings(monkeypatch: pytest.MonkeyPatch, how: str) -> None:
    if how == "module":
        monkeypatch.setitem(sys.modules, "brimwick.output.explanation", None)
    else:
        monkeypatch.delattr(explanation, "build_remediation_explanation")
    env = envelope()
    with pytest.raises(ImportError):
        env.to_dict()
    with pytest.raises(ImportError):
        env._findings_with_explanations()


def _text_in_rounded_field(env: manifest.ScanEnvelope) -> None:
    env.adjusted_total_annual_waste_usd = "12.5"


def _text_remediation_entry(env: manifest.ScanEnvelope) -> None:
    env.findings.append(StubFinding(remediation={"a": 1}, dict_form={"remediation": "stop"}))


def _null_findings(env: manifest.ScanEnvelope) -> None:
    env.findings = None


@pytest.mark.parametrize(("spoil", "message"), [
    (_text_in_rounded_field, "type str doesn't define __round__ method"),
    (_text_remediation_entry, "'str' object does not support item assignment"),
    (_null_findings, "'NoneType' object is not iterable"),
])
def test_bad_values_fail_and_leave_the_envelope_alone(explain: list[tuple], spoil, message: str) -> None:
    env = envelope([StubFinding("a", 3.0)], discount_factor=0.5, adjusted_total_monthly_waste_usd=2.0)
    spoil(env)
    before = dict(vars(env))
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        env.to_dict()
    assert vars(env) == before


@pytest.mark.parametrize("name", ["to_dict", "_findings_with_explanations"])
def test_argument_errors(name: str) -> None:
    env = envelope()
    method = getattr(manifest.ScanEnvelope, name)
    for args, given in [((env, 1), 2), ((), 0), ((env, 1, 2), 3)]:
        with pytest.raises(TypeError, match=f"^{name}\\(\\) takes exactly 1 positional argument \\({given} given\\)$"):
            method(*args)
    with pytest.raises(TypeError, match=f"^{name}\\(\\) got an unexpected keyword argument 'self2'$"):
        getattr(env, name)(self2=1)
