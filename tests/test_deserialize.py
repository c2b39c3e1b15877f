"""Reading an envelope dictionary back, with and without checksum verification."""

from __future__ import annotations

import copy
import json
import random
import re
from collections import OrderedDict
from datetime import datetime, timezone
from types import SimpleNamespace

import pytest

from brimwick.core.schemas import Finding
from conftest import StubFinding, envelope, manifest, random_finding

ScanEnvelope = manifest.ScanEnvelope
CONTEXT = {"tenant_id": "t", "provider": "aws", "regions": ["us-east-1"], "scan_profile": "full"}
EMPTY_SUM = manifest.compute_integrity_checksum([])
WRONG = "f" * 64


def mismatch(stored: object, recomputed: str) -> str:
    text = f"Integrity checksum mismatch: stored={format(stored[:16], '')}... recomputed={recomputed[:16]}... \u2014 data may be corrupt"
    return f"^{re.escape(text)}$"


def random_envelope(rng: random.Random) -> ScanEnvelope:
    """An envelope with random findings and random optional context."""
    return envelope(
        [random_finding(rng, i) for i in range(rng.randrange(7))], tenant_id=f"t-{rng.randrange(1000)}",
        regions=rng.sample(["us-east-1", "eu-west-1", "ap-south-1"], rng.randrange(1, 4)),
        discount_factor=rng.choice([None, 0.0, rng.random()]), spend_context_pct=rng.choice([None, rng.uniform(0, 100)]),
        failed_rules=[{"rule_id": "idle", "error": "x"}] * rng.randrange(3),
        narrative=rng.choice([None, {"summary": "ok", "lines": ["a", "b"]}]),
        account_summaries=[{"account": str(rng.randrange(99)), "waste": rng.random()}])


@pytest.mark.parametrize("verify, runs", [("false", True), (1, True), ([0], True), (None, False), (0, False), ("", False)])
def test_verify_is_taken_by_truth_value(verify: object, runs: bool) -> None:
    doc = dict(CONTEXT, integrity_checksum=WRONG)
    if runs:
        with pytest.raises(ValueError, match=mismatch(WRONG, EMPTY_SUM)):
            ScanEnvelope.from_dict(doc, verify)
    else:
        assert ScanEnvelope.from_dict(data=doc, verify=verify).integrity_checksum == WRONG


WRONG_DATA = "Argument 'data' has incorrect type (expected dict, got {})"


# The truth test of `verify` comes first; for a derived dictionary type the text goes on with ". " and a sentence.
@pytest.mark.parametrize("args, error, text", [
    ((None, type("Undecided", (), {"__bool__": lambda self: 1 / 0})()), ZeroDivisionError, "division by zero"),
    (([],), TypeError, WRONG_DATA.format("list")), ((None,), TypeError, WRONG_DATA.format("NoneType")),
    ((OrderedDict(CONTEXT),), TypeError, WRONG_DATA.format("collections.OrderedDict") + ". "),
    ((type("Doc", (dict,), {})(CONTEXT),), TypeError, WRONG_DATA.format("Doc") + ". "),
    ((dict(CONTEXT, findings=None),), TypeError, "'NoneType' object is not iterable"),
    ((dict(CONTEXT, manifest_hash=5),), TypeError, "'int' object is unsliceable"),
])
def test_refused_input(args: tuple, error: type, text: str) -> None:
    with pytest.raises(error, match="^" + re.escape(text) + ("" if text.endswith(". ") else "$")):
        ScanEnvelope.from_dict(*args)


def test_findings_are_rebuilt_through_the_current_finding_name(monkeypatch: pytest.MonkeyPatch) -> None:
    seen: list[object] = []
    rebuild = SimpleNamespace(from_dict=lambda f, /: seen.append(f) or StubFinding(f["h"], f["w"]))
    monkeypatch.setattr(manifest, "Finding", rebuild)
    stored = [{"h": "b", "w": 1.5}, {"h": "a", "w": 2.0}]
    checksum = manifest.compute_integrity_checksum([StubFinding("a"), StubFinding("b")])
    env = ScanEnvelope.from_dict(dict(CONTEXT, findings=stored, integrity_checksum=checksum))
    assert [f.finding_hash for f in env.findings] == ["b", "a"] and env.total_monthly_waste_usd == 3.5
    assert len(seen) == 2 and seen[0] is stored[0] and seen[1] is stored[1]
    with pytest.raises(KeyError, match="^'h'$"):  # a failure of `from_dict` passes through
        ScanEnvelope.from_dict(dict(CONTEXT, findings=(stored[0], {})))


# `chosen` None: nothing stored to verify, so completion computes a fresh checksum. A mismatch is
# reported before the context is read; short and non-text stored values are shown as their text.
@pytest.mark.parametrize("keys, chosen", [
    ({"integrity_checksum": "a" * 64, "manifest_hash": "b" * 64}, "a" * 64), ({"manifest_hash": "b" * 64}, "b" * 64),
    *[({"integrity_checksum": falsy, "manifest_hash": "b" * 64}, "b" * 64) for falsy in ("", None, 0)],
    ({"integrity_checksum": "a" * 64, "manifest_hash": 7}, "a" * 64),
    *[({"integrity_checksum": stored}, stored) for stored in ("abc", "0123456789abcdef", "A" * 17, list(range(20)))],
    ({"manifest_hash": ("x", 1)}, ("x", 1)),
    ({}, None), ({"integrity_checksum": ""}, None), ({"manifest_hash": None}, None), ({"manifest_hash": ""}, None),
])
def test_stored_checksum_selection(keys: dict, chosen: object) -> None:
    assert ScanEnvelope.from_dict(dict(CONTEXT, findings=[], **keys), verify=False).integrity_checksum == (chosen or EMPTY_SUM)
    if chosen:
        with pytest.raises(ValueError, match=mismatch(chosen, EMPTY_SUM)):
            ScanEnvelope.from_dict(dict(findings=[], **keys))
    else:
        assert ScanEnvelope.from_dict(dict(CONTEXT, findings=[], **keys)).integrity_checksum == EMPTY_SUM


@pytest.mark.parametrize("missing, reported", [
    (["tenant_id", "provider", "regions", "scan_profile"], "tenant_id"), (["provider", "scan_profile"], "provider"),
    (["regions", "scan_profile"], "regions"), (["scan_profile"], "scan_profile"),
])
def test_first_missing_required_key(missing: list[str], reported: str) -> None:
    with pytest.raises(KeyError) as info:
        ScanEnvelope.from_dict({k: v for k, v in CONTEXT.items() if k not in missing})
    assert info.value.args == (reported,)


def test_defaults_for_absent_keys_and_present_nulls() -> None:
    before = datetime.now(timezone.utc)
    first, second = ScanEnvelope.from_dict(dict(CONTEXT)), ScanEnvelope.from_dict(dict(CONTEXT), False)
    assert before <= datetime.fromisoformat(first.scanned_at) <= datetime.now(timezone.utc)
    assert first.scanned_at.endswith("+00:00") and first.pricing_basis == "on-demand"
    assert first.findings == [] and first.finding_count == 0 and first.total_annual_waste_usd == 0
    assert first.failed_rules == first.account_summaries == [] and first.failed_rules is not second.failed_rules
    assert first.account_summaries is not second.account_summaries
    assert first.discount_factor is first.narrative is first.spend_context_pct is None
    assert first.brimwick_version and first.integrity_checksum == EMPTY_SUM
    nullable = ["pricing_basis", "failed_rules", "account_summaries", "scanned_at", "discount_factor"]
    nulls = ScanEnvelope.from_dict(dict(CONTEXT, **dict.fromkeys(nullable)))
    assert [getattr(nulls, key) for key in nullable] == [None] * len(nullable)


def test_scan_time_default_is_made_at_every_call(monkeypatch: pytest.MonkeyPatch) -> None:
    zones: list[object] = []
    clock = SimpleNamespace(now=lambda tz: zones.append(tz) or SimpleNamespace(isoformat=lambda: "fixed"))
    monkeypatch.setattr(manifest, "datetime", clock)
    assert ScanEnvelope.from_dict(dict(CONTEXT)).scanned_at == "fixed"
    assert ScanEnvelope.from_dict(dict(CONTEXT, scanned_at="stored")).scanned_at == "stored"
    assert zones == [timezone.utc, timezone.utc]


def test_values_are_passed_on_and_lists_shared() -> None:
    finding = Finding("r", "vm", "idle", "aws", "x", estimated_monthly_waste_usd=10.0).to_dict()
    doc = dict(CONTEXT, failed_rules=[{"rule": "x"}], narrative={"n": 1}, account_summaries=[{"a": 1}],
               spend_context_pct=3.14159, findings=[finding], finding_count=9, total_monthly_waste_usd=1.0,
               total_annual_waste_usd=999.0, discount_factor=0.5, adjusted_total_monthly_waste_usd=4.125,
               adjusted_total_annual_waste_usd=1.0, brimwick_version="0.1.0", pricing_basis="spot")
    env = ScanEnvelope.from_dict(doc, verify=False)
    for key in ["regions", "failed_rules", "narrative", "account_summaries", "spend_context_pct", "discount_factor",
                "adjusted_total_monthly_waste_usd", "brimwick_version", "pricing_basis", "tenant_id"]:
        assert getattr(env, key) is doc[key], key
    doc["regions"].append("eu-west-1")
    assert env.regions == ["us-east-1", "eu-west-1"]
    assert (env.finding_count, env.total_monthly_waste_usd, env.total_annual_waste_usd) == (1, 10.0, 120.0)
    assert env.adjusted_total_annual_waste_usd == 49.5


def test_class_is_called_with_keywords_only() -> None:
    calls: list[tuple] = []

    class Derived(ScanEnvelope):
        def __init__(self, *args: object, **kwargs: object) -> None:
            calls.append((args, list(kwargs)))
            super().__init__(*args, **kwargs)

    assert type(Derived.from_dict(dict(CONTEXT))) is Derived
    assert calls == [((), """tenant_id provider regions scan_profile scanned_at integrity_checksum pricing_basis
        discount_factor adjusted_total_monthly_waste_usd total_annual_waste_usd adjusted_total_annual_waste_usd
        spend_context_pct failed_rules narrative account_summaries brimwick_version findings""".split())]


def test_round_trip_of_random_envelopes(rng: random.Random) -> None:
    rounded = ("spend_context_pct", "adjusted_total_monthly_waste_usd")  # stored rounded to two places
    for _ in range(100):
        env = random_envelope(rng)
        doc = json.loads(json.dumps(env.to_dict()))
        untouched = copy.deepcopy(doc)
        back = ScanEnvelope.from_dict(doc)
        assert doc == untouched and all(type(f) is Finding for f in back.findings)
        legacy = dict(doc, integrity_checksum="", findings=doc["findings"][::-1])  # the older key, other order
        assert ScanEnvelope.from_dict(legacy).integrity_checksum == env.integrity_checksum
        for key, value in vars(env).items():
            if key in rounded:
                assert getattr(back, key) == (None if value is None else round(value, 2)), key
            elif key != "adjusted_total_annual_waste_usd":  # derived from the rounded monthly value
                assert getattr(back, key) == value, key


CORRUPTIONS = {
    "changed hash": lambda doc: doc["findings"][1].update(finding_hash="0" * 64),
    "dropped finding": lambda doc: doc["findings"].pop(0),
    "duplicated finding": lambda doc: doc["findings"].append(copy.deepcopy(doc["findings"][2])),
    "truncated": lambda doc: doc.update(integrity_checksum=doc["integrity_checksum"][:-1]),
    "upper-cased": lambda doc: doc.update(integrity_checksum=doc["integrity_checksum"].upper()),
    "legacy, changed": lambda doc: doc.update(manifest_hash=doc.pop("integrity_checksum")[:8]),
}


@pytest.mark.parametrize("corruption", CORRUPTIONS)
def test_corrupted_documents_fail(rng: random.Random, corruption: str) -> None:
    while len((env := random_envelope(rng)).findings) < 3:  # the corruptions need three findings
        pass
    doc = json.loads(json.dumps(env.to_dict()))
    CORRUPTIONS[corruption](doc)
    untouched = copy.deepcopy(doc)
    stored = doc.get("integrity_checksum") or doc["manifest_hash"]
    recomputed = manifest.compute_integrity_checksum([Finding.from_dict(f) for f in doc["findings"]])
    assert stored != recomputed
    with pytest.raises(ValueError, match=mismatch(stored, recomputed)):
        ScanEnvelope.from_dict(doc)
    assert doc == untouched
    assert ScanEnvelope.from_dict(doc, verify=False).integrity_checksum == stored
