"""Hostile inputs, rebinding and reentrancy: the module must do what the pure-Python rendering does."""

from __future__ import annotations

import copy
import datetime as dt
import hashlib
import json
import re
import subprocess
import sys
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import brimwick.output.explanation as explanation
from brimwick.core.schemas import Finding
from conftest import StubFinding as Stub, manifest

TOOLS = Path(__file__).resolve().parent / "tools"
sys.path.insert(0, str(TOOLS))
from fuzz import (  # noqa: E402
    FIELDS, KEYS, FixedClock, agree, documents, hash_values, json_values, outcome, pinned_clock, reference, verify_values)

CONTEXT = {"tenant_id": "t", "provider": "aws", "regions": [], "scan_profile": "p"}
FAST = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])


class Trap:
    """A value whose one named special method raises."""

    def __init__(self, method: str) -> None:
        self.method = method

    def __repr__(self) -> str:
        return f"Trap({self.method})"


for _name, _result in [("bool", True), ("ne", True), ("lt", False), ("getitem", None), ("format", "trap"), ("iter", ())]:
    def _spring(self: Trap, *args: Any, name: str = _name, result: Any = _result) -> Any:
        if self.method == name:
            raise LookupError(f"trap {name}")
        return self if result is None else iter(result) if name == "iter" else result
    setattr(Trap, f"__{_name}__", _spring)
traps = st.sampled_from(["bool", "ne", "lt", "getitem", "format", "iter"]).map(Trap)
one_replaced = st.tuples(documents(), st.sampled_from(["integrity_checksum", "manifest_hash", "findings"]), traps | json_values)


@FAST
@given(st.one_of(json_values, st.dictionaries(st.sampled_from(KEYS), json_values | traps), documents(),
                 one_replaced.map(lambda t: {**t[0], t[1]: t[2]})), verify_values | traps)
def test_from_dict_agrees_with_the_reference(data: Any, verify: Any) -> None:
    agree(lambda m: m.ScanEnvelope.from_dict(data, verify))


Tagged = type("Tagged", (str,), {})  # sorts and encodes as text, but is not exactly text

Unreadable = type("Unreadable", (), {"finding_hash": property(lambda self: 1 / 0), "__repr__": lambda self: "Unreadable()"})


@FAST
@given(st.lists(st.one_of(hash_values.map(Stub), st.text().map(Tagged).map(Stub), traps.map(Stub), st.just(Unreadable())),
                max_size=6))
def test_checksum_agrees_with_the_reference(findings: list[Any]) -> None:
    agree(lambda m: m.compute_integrity_checksum(findings))


# ---------------------------------------------------------------- findings that fight back

ATTRIBUTES = ("finding_hash", "estimated_monthly_waste_usd", "adjusted_monthly_waste_usd", "remediation", "to_dict")
DEFAULTS = {"finding_hash": None, "estimated_monthly_waste_usd": 1.25, "adjusted_monthly_waste_usd": 0.5,
            "remediation": {"action": "stop"}, "to_dict": {"remediation": {"action": "stop"}, "explanation": 0}}
EDITS = {
    "append": lambda stage: stage.home.append(Scripted(f"late{len(stage.log)}", {}, stage)),
    "clear": lambda stage: stage.home.clear(),
    "pop": lambda stage: stage.home and stage.home.pop(),
    "pop_first": lambda stage: stage.home and stage.home.pop(0),
    "reverse": lambda stage: stage.home.reverse(),
}
ODD_VALUES = [None, 0, 2.5, float("nan"), True, "x", "h", [1], {}, {"remediation": "text"}, {"remediation": None},
              {"remediation": {"a": 1}}, Trap("bool"), Trap("lt")]


class Scripted:
    """A finding whose every read follows a script: give a value, raise, or edit the list that holds it."""

    def __init__(self, name: str, script: dict[str, tuple[str, Any]], stage: SimpleNamespace) -> None:
        self.name, self.script, self.stage = name, script, stage

    def __repr__(self) -> str:
        return self.name

    def _read(self, attribute: str) -> Any:
        self.stage.log.append(f"{self.name}.{attribute}")
        action, value = self.script.get(attribute, ("give", DEFAULTS[attribute] or self.name))
        if action == "raise":
            raise LookupError(f"{self.name}.{attribute} failed")
        if action in EDITS and self.stage.budget > 0:  # a bounded number of edits, so every walk ends
            self.stage.budget -= 1
            EDITS[action](self.stage)
        return copy.deepcopy(value)

    finding_hash = property(lambda self: self._read("finding_hash"))
    estimated_monthly_waste_usd = property(lambda self: self._read("estimated_monthly_waste_usd"))
    adjusted_monthly_waste_usd = property(lambda self: self._read("adjusted_monthly_waste_usd"))
    remediation = property(lambda self: self._read("remediation"))
    to_dict = lambda self: self._read("to_dict")  # noqa: E731


def play(module: Any, scripts: list[dict[str, tuple[str, Any]]], context: dict[str, Any]) -> tuple[Any, ...]:
    """Build, checksum and serialise scripted findings: every outcome, every read, and the list left behind."""
    stage = SimpleNamespace(log=[], budget=2, home=[])
    stage.home += [Scripted(f"f{i}", script, stage) for i, script in enumerate(scripts)]
    env: list[Any] = []
    with pinned_clock():
        steps = [outcome(lambda: env.append(module.ScanEnvelope("t", "aws", [], "p", stage.home, **context)) or env[0]),
                 outcome(lambda: module.compute_integrity_checksum(stage.home))]
        steps += [outcome(env[0].to_dict)] if env else []
    return steps, stage.log, repr(stage.home)


scripts = st.lists(st.dictionaries(st.sampled_from(ATTRIBUTES), st.tuples(
    st.sampled_from(["give", "raise", *EDITS]), st.sampled_from(ODD_VALUES)), max_size=3), max_size=4)
contexts = st.fixed_dictionaries({}, optional={"discount_factor": st.sampled_from([None, 0.0, 0.5]),
                                               "integrity_checksum": st.sampled_from(["", "given"])})


@FAST
@given(scripts, contexts)
def test_hostile_findings_are_read_as_the_reference_reads_them(scripts: list[Any], context: dict[str, Any]) -> None:
    assert play(manifest, scripts, context) == play(reference, scripts, context)


@FAST
@given(st.dictionaries(st.sampled_from(FIELDS), json_values | traps | st.lists(hash_values.map(Stub), max_size=3).map(tuple),
                       max_size=4))
def test_fields_reassigned_after_construction_agree_with_the_reference(changes: dict[str, Any]) -> None:
    def serialise(module: Any) -> tuple[Any, ...]:
        env = module.ScanEnvelope("t", "aws", ["r"], "p", [Stub("a", 1.5, None, {"x": 1})], scanned_at="s", brimwick_version="v")
        for name, value in changes.items():
            setattr(env, name, value)
        return outcome(env.to_dict), outcome(env.__post_init__), repr(env)

    assert serialise(manifest) == serialise(reference)


@pytest.mark.parametrize("edit", [lambda stored: stored.append(stored[-1] + "+"), list.clear, list.pop,
                                  lambda stored: stored.pop(0), lambda stored: stored.__setitem__(slice(None), ["x"] * 5)])
def test_stored_findings_edited_while_read_back_are_walked_as_the_reference_walks_them(
        monkeypatch: pytest.MonkeyPatch, edit: Any) -> None:
    def read(module: Any) -> tuple[Any, ...]:
        stored, calls = ["a", "b", "c"], []

        def rebuild(f: Any) -> Stub:
            calls.append(f)
            if len(calls) <= 3 and stored:
                edit(stored)
            return Stub(f)

        monkeypatch.setattr(module, "Finding", SimpleNamespace(from_dict=rebuild))
        data = {**CONTEXT, "findings": stored, "scanned_at": "s"}
        return outcome(lambda: module.ScanEnvelope.from_dict(data, False)), calls, stored

    assert read(manifest) == read(reference)


# ---------------------------------------------------------------- rebinding and reentrancy

class Relabelled(Finding):
    @classmethod
    def from_dict(cls, d: dict[str, Any]) -> Finding:
        return Finding.from_dict({**d, "finding_hash": d["finding_hash"].upper()})


REPLACEMENTS = {
    "json": SimpleNamespace(dumps=lambda values, separators: "|".join(map(str, values)) + str(separators)),
    "hashlib": SimpleNamespace(sha256=lambda data: SimpleNamespace(hexdigest=lambda: data.decode()[::-1])),
    "datetime": SimpleNamespace(now=lambda tz=None: dt.datetime(1999, 12, 31, 23, 59, 59, tzinfo=tz)),
    "timezone": SimpleNamespace(utc=dt.timezone(dt.timedelta(hours=5, minutes=30))),
    "Finding": Relabelled,
    "compute_integrity_checksum": lambda findings: f"{len(findings)} findings",
}


def round_trip(module: Any) -> list[Any]:
    found = [Finding("i-1", "vm", "idle", "aws", "r", estimated_monthly_waste_usd=3.0, remediation={"action": "stop"})]
    env = module.ScanEnvelope("t", "aws", ["r"], "p", found)
    stored = json.loads(json.dumps(env.to_dict()))
    bare = {k: v for k, v in stored.items() if k != "scanned_at"}
    return [repr(env), outcome(lambda: module.ScanEnvelope.from_dict(stored)),
            outcome(lambda: module.ScanEnvelope.from_dict(bare, False)), outcome(lambda: module.compute_integrity_checksum(found))]


@pytest.mark.parametrize("name", list(REPLACEMENTS))
def test_rebound_module_names_are_used_by_later_calls(monkeypatch: pytest.MonkeyPatch, name: str) -> None:
    for module in (manifest, reference):
        monkeypatch.setattr(module, "datetime", FixedClock)
    before = round_trip(manifest)
    for module in (manifest, reference):
        monkeypatch.setattr(module, name, REPLACEMENTS[name])
    after = round_trip(manifest)
    assert after == round_trip(reference)
    assert after != before


def test_replacing_json_dumps_itself_reaches_the_checksum(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(json, "dumps", lambda values, separators: "".join(values))
    assert manifest.compute_integrity_checksum([Stub("b"), Stub("a")]) == hashlib.sha256(b"ab").hexdigest()


class Reentrant(Stub):
    """A finding whose own serialisation builds, writes, reads back and checks envelopes of the same module."""

    module = manifest

    def to_dict(self) -> Any:
        inner = [Stub("x"), Stub("y", 2.0)]
        env = self.module.ScanEnvelope("t", "aws", [], "p", inner, scanned_at="then")
        back = self.module.ScanEnvelope.from_dict({**env.to_dict(), "findings": []}, False)
        message = "Integrity checksum mismatch: stored=bad... recomputed=4f53cda18c2baa0c... \u2014 data may be corrupt"
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            self.module.ScanEnvelope.from_dict({**env.to_dict(), "findings": [], "integrity_checksum": "bad"})
        return {**super().to_dict(), "inner": [env.integrity_checksum, back.total_monthly_waste_usd,
                                               self.module.compute_integrity_checksum(inner)]}


@pytest.mark.parametrize("module", [manifest, reference], ids=["native", "reference"])
def test_finding_serialisation_may_reenter_the_module(module: Any) -> None:
    finding = type("R", (Reentrant,), {"module": module})("h", 1.0, None, {"action": "stop"})
    out = module.ScanEnvelope("t", "aws", [], "p", [finding, Stub("g")], scanned_at="now").to_dict()
    inner_sum = module.compute_integrity_checksum([Stub("y"), Stub("x")])
    assert out["findings"][0]["inner"] == [inner_sum, 0, inner_sum]
    assert out["findings"][0]["remediation"]["explanation"]["summary"] == "stop for the resource"
    assert out["integrity_checksum"] == module.compute_integrity_checksum([Stub("g"), Stub("h")])


def test_explanation_callback_may_reenter_the_module(monkeypatch: pytest.MonkeyPatch) -> None:
    results = {}
    for module in (manifest, reference):
        depth: list[Any] = []

        def explain(finding: Any, remediation: Any) -> Any:
            if len(depth) > 2:
                return "deep"
            depth.append(finding)
            inner = module.ScanEnvelope("t", "aws", [], "p", [finding], scanned_at="s").to_dict()
            back = module.ScanEnvelope.from_dict({**inner, "findings": []}, verify=False)
            return [inner["findings"][0]["remediation"]["explanation"], back.integrity_checksum,
                    module.compute_integrity_checksum([finding, finding])]

        monkeypatch.setattr(explanation, "build_remediation_explanation", explain)
        env = module.ScanEnvelope("t", "aws", [], "p", [Stub("a", 1, None, {"go": 1}), Stub("b")], scanned_at="s")
        results[module] = env.to_dict()
    assert results[manifest] == results[reference]
    nested = results[manifest]["findings"][0]["remediation"]["explanation"]
    assert nested[0][0][0] == "deep" and nested[1] == manifest.compute_integrity_checksum([Stub("a")])


def test_finding_from_dict_may_reenter_and_rebind(monkeypatch: pytest.MonkeyPatch) -> None:
    calls = []

    def rebuild(f: Any) -> Stub:
        calls.append(f)
        if f == "swap":
            monkeypatch.setattr(manifest, "Finding", SimpleNamespace(from_dict=lambda g: Stub(f"after {g}")))
        inner = manifest.ScanEnvelope.from_dict({**CONTEXT, "findings": []})
        return Stub(f"{f}:{inner.finding_count}")

    monkeypatch.setattr(manifest, "Finding", SimpleNamespace(from_dict=rebuild))
    env = manifest.ScanEnvelope.from_dict({**CONTEXT, "findings": ["a", "swap", "b"]}, False)
    assert [f.finding_hash for f in env.findings] == ["a:0", "swap:0", "after b"] and calls == ["a", "swap"]


def test_bounded_fuzz_run_finds_no_mismatch() -> None:
    run = subprocess.run([sys.executable, str(TOOLS / "fuzz.py"), "--seconds", "3"], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert re.search(r"^\d+ executions, 0 mismatches in [\d.]+s$", run.stdout, re.M), run.stdout
