"""Hostile inputs, rebinding and reentrancy: the module must do what the pure-Python rendering does."""

from __future__ import annotations

import copy
import datetime as dt
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

from brimwick.core.schemas import Finding
from conftest import StubFinding as Stub, manifest

TOOLS = Path(__file__).resolve().parent / "tools"
sys.path.insert(0, str(TOOLS))
import fuzz  # noqa: E402
from fuzz import (  # noqa: E402
    FixedClock, Trap, agree, build, changes, contexts, outcome, pinned_clock, reference, stored_data, stubs, verify_values)

CONTEXT = {"tenant_id": "t", "provider": "aws", "regions": [], "scan_profile": "p"}
BOTH = (manifest, reference)
FAST = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@FAST
@given(stored_data, verify_values)
def test_from_dict_agrees_with_the_reference(data: Any, verify: Any) -> None:
    agree(lambda m: m.ScanEnvelope.from_dict(data, verify))


@FAST
@given(st.lists(stubs, max_size=6))
def test_checksum_agrees_with_the_reference(findings: list[Any]) -> None:
    agree(lambda m: m.compute_integrity_checksum(findings))


@FAST
@given(st.lists(stubs, max_size=5), contexts, changes)
def test_construction_and_reassigned_fields_agree_with_the_reference(findings: list[Any], context: Any, changes: Any) -> None:
    agree(lambda m: build(m, findings, context, changes))


DEFAULTS = {"finding_hash": None, "estimated_monthly_waste_usd": 1.25, "adjusted_monthly_waste_usd": 0.5,
            "remediation": {"action": "stop"}, "to_dict": {"remediation": {"action": "stop"}, "explanation": 0}}


def reenter(stage: SimpleNamespace) -> None:
    """Build, write, read back and checksum envelopes of the same module while it walks the findings."""
    m, found = stage.module, list(stage.home)
    stage.log += [outcome(lambda: m.ScanEnvelope("t", "aws", [], "p", found, scanned_at="s").to_dict()),
                  outcome(lambda: m.ScanEnvelope.from_dict({**CONTEXT, "findings": [], "integrity_checksum": "bad"})),
                  outcome(lambda: m.compute_integrity_checksum(found))]


EDITS = {"append": lambda s: s.home.append(Scripted(f"late{len(s.log)}", {}, s)), "clear": lambda s: s.home.clear(),
         "pop": lambda s: s.home and s.home.pop(), "pop_first": lambda s: s.home and s.home.pop(0),
         "reverse": lambda s: s.home.reverse(), "reenter": reenter}
ODD_VALUES = [None, 0, 2.5, float("nan"), True, "x", "h", [1], {}, {"remediation": "text"}, {"remediation": None},
              {"remediation": {"a": 1}}, Trap("bool"), Trap("lt")]


class Scripted:
    """A finding whose every read follows a script: give a value, raise, edit the list that holds it, or reenter."""

    def __init__(self, name: str, script: dict[str, tuple[str, Any]], stage: SimpleNamespace) -> None:
        self.name, self.script, self.stage = name, script, stage

    def _read(self, attribute: str) -> Any:
        self.stage.log.append(f"{self.name}.{attribute}")
        action, value = self.script.get(attribute, ("give", DEFAULTS[attribute] or self.name))
        if action == "raise":
            raise LookupError(f"{self.name}.{attribute} failed")
        if action in EDITS and self.stage.budget > 0:  # a bounded number of edits, so every walk ends
            self.stage.budget -= 1
            EDITS[action](self.stage)
        return copy.deepcopy(value)

    finding_hash, estimated_monthly_waste_usd, adjusted_monthly_waste_usd, remediation = (
        property(lambda self, a=a: self._read(a)) for a in list(DEFAULTS)[:4])
    to_dict = lambda self: self._read("to_dict")  # noqa: E731
    __repr__ = lambda self: self.name  # noqa: E731


def play(module: Any, scripts: list[dict[str, tuple[str, Any]]], context: dict[str, Any]) -> tuple[Any, ...]:
    """Build, checksum and serialise scripted findings: every outcome, every read, and the list left behind."""
    stage = SimpleNamespace(log=[], budget=2, home=[], module=module)
    stage.home += [Scripted(f"f{i}", script, stage) for i, script in enumerate(scripts)]
    env: list[Any] = []
    with pinned_clock():
        steps = [outcome(lambda: env.append(module.ScanEnvelope("t", "aws", [], "p", stage.home, **context)) or env[0]),
                 outcome(lambda: module.compute_integrity_checksum(stage.home))]
        steps += [outcome(env[0].to_dict)] if env else []
    return steps, stage.log, repr(stage.home)


@FAST
@given(st.lists(st.dictionaries(st.sampled_from(list(DEFAULTS)), st.tuples(
           st.sampled_from(["give", "raise", *EDITS]), st.sampled_from(ODD_VALUES)), max_size=3), max_size=4),
       st.fixed_dictionaries({}, optional={"discount_factor": st.sampled_from([None, 0.0, 0.5]),
                                           "integrity_checksum": st.sampled_from(["", "given"])}))
def test_hostile_findings_are_read_as_the_reference_reads_them(scripts: list[Any], context: dict[str, Any]) -> None:
    assert play(manifest, scripts, context) == play(reference, scripts, context)


def rebind_finding(module: Any, stored: list[Any], f: Any) -> None:
    """Reenter from_dict, and replace the module's Finding midway through the walk."""
    module.ScanEnvelope.from_dict({**CONTEXT, "findings": []})
    if f == "b":
        module.Finding = SimpleNamespace(from_dict=lambda g: Stub(f"after {g}"))


@pytest.mark.parametrize("hook", [
    lambda m, stored, f: stored.append(stored[-1] + "+"), lambda m, stored, f: stored.clear(),
    lambda m, stored, f: stored.pop(), lambda m, stored, f: stored.pop(0),
    lambda m, stored, f: stored.__setitem__(slice(None), ["x"] * 5), rebind_finding,
], ids=["append", "clear", "pop", "pop_first", "replace", "reenter_and_rebind"])
def test_stored_findings_read_back_under_interference_agree_with_the_reference(
        monkeypatch: pytest.MonkeyPatch, hook: Any) -> None:
    def read(module: Any) -> tuple[Any, ...]:
        stored, calls = ["a", "b", "c"], []

        def rebuild(f: Any) -> Stub:
            calls.append(f)
            if len(calls) <= 3 and stored:
                hook(module, stored, f)
            return Stub(f)

        monkeypatch.setattr(module, "Finding", SimpleNamespace(from_dict=rebuild))
        data = {**CONTEXT, "findings": stored, "scanned_at": "s"}
        return outcome(lambda: module.ScanEnvelope.from_dict(data, False)), calls, stored

    assert read(manifest) == read(reference)


Relabelled = type("Relabelled", (Finding,), {"from_dict": classmethod(
    lambda cls, d: Finding.from_dict({**d, "finding_hash": d["finding_hash"].upper()}))})


def round_trip(module: Any) -> list[Any]:
    found = [Finding("i-1", "vm", "idle", "aws", "r", estimated_monthly_waste_usd=3.0, remediation={"action": "stop"})]
    env = module.ScanEnvelope("t", "aws", ["r"], "p", found)
    stored = copy.deepcopy(env.to_dict())
    bare = {k: v for k, v in stored.items() if k != "scanned_at"}
    return [repr(env), outcome(lambda: module.ScanEnvelope.from_dict(stored)),
            outcome(lambda: module.ScanEnvelope.from_dict(bare, False)), outcome(lambda: module.compute_integrity_checksum(found))]


@pytest.mark.parametrize("owners, name, value", [
    (BOTH, "json", SimpleNamespace(dumps=lambda values, separators: "|".join(map(str, values)) + str(separators))),
    (BOTH, "hashlib", SimpleNamespace(sha256=lambda data: SimpleNamespace(hexdigest=lambda: data.decode()[::-1]))),
    (BOTH, "datetime", SimpleNamespace(now=lambda tz=None: dt.datetime(1999, 12, 31, 23, 59, 59, tzinfo=tz))),
    (BOTH, "timezone", SimpleNamespace(utc=dt.timezone(dt.timedelta(hours=5, minutes=30)))),
    (BOTH, "Finding", Relabelled),
    (BOTH, "compute_integrity_checksum", lambda findings: f"{len(findings)} findings"),
    ([json], "dumps", lambda values, separators: "".join(values)),  # the function itself, not the module's name
], ids=["json", "hashlib", "datetime", "timezone", "Finding", "compute_integrity_checksum", "json.dumps"])
def test_rebound_names_are_used_by_later_calls(monkeypatch: pytest.MonkeyPatch, owners: Any, name: str, value: Any) -> None:
    for module in BOTH:
        monkeypatch.setattr(module, "datetime", FixedClock)
    before = round_trip(manifest)
    for owner in owners:
        monkeypatch.setattr(owner, name, value)
    after = round_trip(manifest)
    assert after == round_trip(reference)
    assert after != before


def test_fixed_seed_fuzz_finds_no_mismatch() -> None:
    assert fuzz.run(examples=500, seed=20261208) == 500  # the same cases on every machine


def test_fuzz_tool_repeats_a_seeded_run() -> None:
    run = subprocess.run([sys.executable, str(TOOLS / "fuzz.py"), "--examples", "50", "--seed", "7"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert re.fullmatch(r"50 executions, 0 mismatches in [\d.]+s\n", run.stdout), run.stdout
