"""Reading an envelope dictionary back, with and without checksum verification."""

from __future__ import annotations

import copy
import json
import random
import re
from collections import OrderedDict
from datetime import datetime, timezone

import pytest

from brimwick.core.schemas import Finding
from conftest import StubFinding, manifest
from test_serialize import random_envelope

ScanEnvelope = manifest.ScanEnvelope
CONTEXT = {"tenant_id": "t", "provider": "aws", "regions": ["us-east-1"], "scan_profile": "full"}
EMPTY_SUM = manifest.compute_integrity_checksum([])
WRONG = "f" * 64


def mismatch(stored: object, recomputed: str) -> str:
    text = f"Integrity checksum mismatch: stored={format(stored[:16], '')}... recomputed={recomputed[:16]}... \u2014 data may be corrupt"
    return f"^{re.escape(text)}$"


def stored_doc(rng: random.Random, count: int = 3) -> dict:
    """A stored document with at least `count` findings, as read back from JSON."""
    while True:
        env = random_envelope(rng)
        if len(env.findings) >= count:
            return json.loads(json.dumps(env.to_dict()))


@pytest.mark.parametrize(("args", "kwargs", "message"), [
    (({}, True, 1), {}, "from_dict() takes at most 3 positional arguments (4 given)"),
    ((), {}, "from_dict() takes at least 2 positional arguments (1 given)"),
    ((), {"verify": False}, "from_dict() takes at least 2 positional arguments (1 given)"),
    (({},), {"strict": True}, "from_dict() got an unexpected keyword argument 'strict'"),
    (({},), {"data": {}}, "from_dict() got multiple values for keyword argument 'data'"),
    (({}, False), {"verify": False}, "from_dict() got multiple values for keyword argument 'verify'"),
])
def test_argument_errors(args: tuple, kwargs: dict, message: str) -> None:
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        ScanEnvelope.from_dict(*args, **kwargs)


@pytest.mark.parametrize(("verify", "runs"), [
    ("false", True), (1, True), ([0], True), (None, False), (0, False), (False, False), ("", False),
])
def test_verify_is_taken_by_truth_value(verify: object, runs: bool) -> None:
    doc = dict(CONTEXT, integrity_checksum=WRONG)
    if runs:
        with pytest.raises(ValueError, match=mismatch(WRONG, EMPTY_SUM)):
            ScanEnvelope.from_dict(doc, verify)
    else:
        assert ScanEnvelope.from_dict(data=doc, verify=verify).integrity_checksum == WRONG


def test_verify_truth_test_failure_comes_before_the_type_check() -> None:
    class Undecided:
        def __bool__(self) -> bool:
            raise ZeroDivisionError("undecided")

    with pytest.raises(ZeroDivisionError, match="^undecided$"):
        ScanEnvelope.from_dict(None, Undecided())


class Doc(dict):
    pass


@pytest.mark.parametrize(("data", "text", "whole"), [
    ([], "list)", True), (None, "NoneType)", True), ((), "tuple)", True),
    (OrderedDict(CONTEXT), "collections.OrderedDict). ", False), (Doc(CONTEXT), "Doc). ", False),
])
def test_data_must_be_exactly_a_dict(data: object, text: str, whole: bool) -> None:
    # A derived dictionary type gets a further sentence after the type name.
    pattern = "^" + re.escape(f"Argument 'data' has incorrect type (expected dict, got {text}") + ("$" if whole else "")
    with pytest.raises(TypeError, match=pattern):
        ScanEnvelope.from_dict(data, False)


def test_stored_null_findings_fail() -> None:
    with pytest.raises(TypeError, match=r"^'NoneType' object is not iterable$"):
        ScanEnvelope.from_dict(dict(CONTEXT, findings=None))


def test_findings_are_rebuilt_through_the_current_finding_name(monkeypatch: pytest.MonkeyPatch) -> None:
    seen: list[object] = []
    error = LookupError("bad finding")

    class Recorder:
        @staticmethod
        def from_dict(*args: object) -> StubFinding:
            seen.append(args)
            if args[0] == "boom":
                raise error
            return StubFinding(args[0]["h"], args[0]["w"])

    monkeypatch.setattr(manifest, "Finding", Recorder)
    stored = [{"h": "b", "w": 1.5}, {"h": "a", "w": 2.0}]
    env = ScanEnvelope.from_dict(dict(CONTEXT, findings=stored, integrity_checksum=manifest.compute_integrity_checksum(
        [StubFinding("a"), StubFinding("b")])))
    assert [f.finding_hash for f in env.findings] == ["b", "a"] and env.total_monthly_waste_usd == 3.5
    assert seen == [(stored[0],), (stored[1],)] and seen[0][0] is stored[0]
    with pytest.raises(LookupError) as info:
        ScanEnvelope.from_dict(dict(CONTEXT, findings=(stored[0], "boom")))
    assert info.value is error


@pytest.mark.parametrize(("keys", "chosen"), [
    ({"integrity_checksum": "a" * 64, "manifest_hash": "b" * 64}, "a" * 64),
    ({"integrity_checksum": "", "manifest_hash": "b" * 64}, "b" * 64),
    ({"integrity_checksum": None, "manifest_hash": "b" * 64}, "b" * 64),
    ({"integrity_checksum": 0, "manifest_hash": "b" * 64}, "b" * 64),
    ({"manifest_hash": "b" * 64}, "b" * 64),
    ({"integrity_checksum": "a" * 64, "manifest_hash": 7}, "a" * 64),
])
def test_stored_checksum_selection(keys: dict, chosen: str) -> None:
    doc = dict(CONTEXT, **keys)
    assert ScanEnvelope.from_dict(doc, verify=False).integrity_checksum == chosen
    with pytest.raises(ValueError, match=mismatch(chosen, EMPTY_SUM)):
        ScanEnvelope.from_dict(doc)


@pytest.mark.parametrize("keys", [{}, {"integrity_checksum": ""}, {"manifest_hash": None}, {"manifest_hash": ""}])
@pytest.mark.parametrize("verify", [True, False])
def test_no_stored_checksum_gets_a_fresh_one(keys: dict, verify: bool) -> None:
    doc = dict(CONTEXT, findings=[], **keys)
    assert ScanEnvelope.from_dict(doc, verify).integrity_checksum == EMPTY_SUM


@pytest.mark.parametrize("stored", ["abc", "0123456789abcdef", "A" * 17, list(range(20)), ("x", 1)])
def test_mismatch_is_reported_before_the_context_is_read(stored: object) -> None:
    with pytest.raises(ValueError, match=mismatch(stored, EMPTY_SUM)):
        ScanEnvelope.from_dict({"integrity_checksum": stored})


def test_unsliceable_stored_checksum() -> None:
    with pytest.raises(TypeError, match=r"^'int' object is unsliceable$"):
        ScanEnvelope.from_dict(dict(CONTEXT, manifest_hash=5))
    assert ScanEnvelope.from_dict(dict(CONTEXT, manifest_hash=5), False).integrity_checksum == 5


@pytest.mark.parametrize(("missing", "reported"), [
    (["tenant_id", "provider", "regions", "scan_profile"], "tenant_id"),
    (["provider", "scan_profile"], "provider"),
    (["regions", "scan_profile"], "regions"),
    (["scan_profile"], "scan_profile"),
])
def test_first_missing_required_key(missing: list[str], reported: str) -> None:
    doc = {k: v for k, v in CONTEXT.items() if k not in missing}
    with pytest.raises(KeyError) as info:
        ScanEnvelope.from_dict(doc)
    assert info.value.args == (reported,)


def test_defaults_for_absent_keys() -> None:
    before = datetime.now(timezone.utc)
    first, second = ScanEnvelope.from_dict(dict(CONTEXT)), ScanEnvelope.from_dict(dict(CONTEXT), False)
    after = datetime.now(timezone.utc)
    assert before <= datetime.fromisoformat(first.scanned_at) <= after and first.scanned_at.endswith("+00:00")
    assert first.pricing_basis == "on-demand" and first.findings == [] and first.finding_count == 0
    assert first.failed_rules == [] and first.account_summaries == [] and first.failed_rules is not second.failed_rules
    assert first.account_summaries is not second.account_summaries
    assert first.discount_factor is first.narrative is first.spend_context_pct is None
    assert first.total_annual_waste_usd == 0 and first.brimwick_version and first.integrity_checksum == EMPTY_SUM


def test_scan_time_default_is_made_at_every_call(monkeypatch: pytest.MonkeyPatch) -> None:
    calls: list[object] = []

    class Clock:
        @staticmethod
        def now(tz: object) -> Clock:
            calls.append(tz)
            return Clock()

        def isoformat(self) -> str:
            return "fixed"

    monkeypatch.setattr(manifest, "datetime", Clock)
    assert ScanEnvelope.from_dict(dict(CONTEXT)).scanned_at == "fixed"
    assert ScanEnvelope.from_dict(dict(CONTEXT, scanned_at="stored")).scanned_at == "stored"
    assert calls == [timezone.utc, timezone.utc]


@pytest.mark.parametrize("key", ["pricing_basis", "failed_rules", "account_summaries", "scanned_at", "discount_factor"])
def test_present_nulls_are_passed_on(key: str) -> None:
    assert getattr(ScanEnvelope.from_dict(dict(CONTEXT, **{key: None})), key) is None


def test_values_are_passed_on_and_lists_shared() -> None:
    doc = dict(CONTEXT, failed_rules=[{"rule": "x"}], narrative={"n": 1}, account_summaries=[{"a": 1}], spend_context_pct=3.14159,
               findings=[Finding("r", "vm", "idle", "aws", "x", estimated_monthly_waste_usd=10.0).to_dict()], finding_count=9, total_monthly_waste_usd=1.0,
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


def test_derived_class_is_constructed_by_keyword() -> None:
    calls: list[tuple] = []

    class Derived(ScanEnvelope):
        def __init__(self, *args: object, **kwargs: object) -> None:
            calls.append((args, list(kwargs)))
            super().__init__(*args, **kwargs)

    env = Derived.from_dict(dict(CONTEXT))
    assert type(env) is Derived and type(env.from_dict(dict(CONTEXT))) is Derived
    assert calls[0] == ((), ["tenant_id", "provider", "regions", "scan_profile", "scanned_at", "integrity_checksum",
                             "pricing_basis", "discount_factor", "adjusted_total_monthly_waste_usd",
                             "total_annual_waste_usd", "adjusted_total_annual_waste_usd", "spend_context_pct",
                             "failed_rules", "narrative", "account_summaries", "brimwick_version", "findings"])
    assert type(ScanEnvelope.from_dict(dict(CONTEXT)).from_dict(dict(CONTEXT))) is ScanEnvelope


def _fields(env: ScanEnvelope) -> dict:
    return {k: v for k, v in vars(env).items() if k not in ("spend_context_pct", "adjusted_total_monthly_waste_usd",
                                                            "adjusted_total_annual_waste_usd")}


def test_round_trip_of_random_envelopes(rng: random.Random) -> None:
    for _ in range(100):
        env = random_envelope(rng)
        doc = json.loads(json.dumps(env.to_dict()))
        untouched = copy.deepcopy(doc)
        back = ScanEnvelope.from_dict(doc)
        assert doc == untouched
        assert _fields(back) == _fields(env)
        assert all(type(f) is Finding for f in back.findings)
        expected_pct = None if env.spend_context_pct is None else round(env.spend_context_pct, 2)
        assert back.spend_context_pct == expected_pct
        monthly = env.adjusted_total_monthly_waste_usd
        assert back.adjusted_total_monthly_waste_usd == (None if monthly is None else round(monthly, 2))


def test_legacy_and_reordered_documents_verify(rng: random.Random) -> None:
    doc = stored_doc(rng)
    checksum = doc.pop("integrity_checksum")
    assert ScanEnvelope.from_dict(doc).integrity_checksum == checksum
    doc["integrity_checksum"] = ""
    doc["findings"].reverse()
    back = ScanEnvelope.from_dict(doc)
    assert back.integrity_checksum == checksum
    assert [f.finding_hash for f in back.findings] == [f["finding_hash"] for f in doc["findings"]]


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
    doc = stored_doc(rng)
    CORRUPTIONS[corruption](doc)
    untouched = copy.deepcopy(doc)
    stored = doc.get("integrity_checksum") or doc["manifest_hash"]
    recomputed = manifest.compute_integrity_checksum([Finding.from_dict(f) for f in doc["findings"]])
    assert stored != recomputed
    with pytest.raises(ValueError, match=mismatch(stored, recomputed)):
        ScanEnvelope.from_dict(doc)
    assert doc == untouched
    assert ScanEnvelope.from_dict(doc, verify=False).integrity_checksum == stored
