"""Bounded differential fuzz of the manifest against benchmarks/reference.py: random dictionaries to
from_dict, hash values to the checksum, findings and reassigned fields to construction and to_dict, each outcome (result, or
exception type and text) compared with the pure-Python rendering. Exits 1 on the first mismatch.
tests/test_adversarial.py shares these strategies and comparisons."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import datetime as dt
import itertools
import math
import sys
import time
import traceback
import warnings
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable, Iterator

import hypothesis
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

ROOT = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT / "benchmarks"), str(ROOT / "tests")]
import reference  # noqa: E402
from brimwick.core.schemas import Finding  # noqa: E402
from conftest import StubFinding, manifest  # noqa: E402

FIELDS = [f.name for f in dataclasses.fields(reference.ScanEnvelope)]
KEYS = FIELDS + ["manifest_hash"]
# Stands in for the datetime class, so that default scan times are the same on both sides.
FixedClock = SimpleNamespace(now=lambda tz=None: dt.datetime(2024, 2, 29, 12, 30, 5, 250000, tzinfo=tz))


@contextlib.contextmanager
def pinned_clock() -> Iterator[None]:
    saved = manifest.datetime, reference.datetime
    manifest.datetime = reference.datetime = FixedClock
    try:
        yield
    finally:
        manifest.datetime, reference.datetime = saved


def outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        return ("ok", repr(call()))
    except Exception as error:  # noqa: BLE001 - the failure itself is compared
        return ("raised", type(error).__name__, str(error))


def agree(run: Callable[[Any], Any]) -> None:
    """run(module) has the same outcome on the native module as on the reference."""
    with pinned_clock():
        mine, theirs = outcome(lambda: run(manifest)), outcome(lambda: run(reference))
    assert mine == theirs, f"native {mine!r} != reference {theirs!r}"


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
Tagged = type("Tagged", (str,), {})  # sorts and encodes as text, but is not exactly text

traps = st.sampled_from(["bool", "ne", "lt", "getitem", "format", "iter"]).map(Trap)
text = st.text(st.characters(exclude_categories=()), max_size=12)  # lone surrogates included
scalars = st.none() | st.booleans() | st.integers() | st.floats() | text
json_values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(text, inner, max_size=4), max_leaves=8)


def as_legacy(value: str) -> str:
    """The same text made through the deprecated wide-character API (not yet "ready"), where the interpreter has it."""
    try:
        import _testcapi
    except ImportError:
        return value
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return _testcapi.unicode_legacy_string(value)


legacy_text = text.filter(lambda t: "\x00" not in t).map(as_legacy)
hash_values = st.text("0123456789abcdef", min_size=64, max_size=64) | json_values | legacy_text
verify_values = st.sampled_from([True, False, None, 0, 1, "false", "", [], [0]]) | traps
stubs = st.builds(StubFinding, hash_values | text.map(Tagged) | traps, scalars, scalars,
                  st.dictionaries(text, scalars, max_size=2) | scalars)
contexts = st.fixed_dictionaries({}, optional=dict.fromkeys(
    ["discount_factor", "adjusted_total_monthly_waste_usd", "integrity_checksum", "brimwick_version"], scalars))


@st.composite
def documents(draw: st.DrawFn) -> dict[str, Any]:
    """A stored envelope dictionary with keys removed and values replaced at random."""
    money = st.none() | st.integers(-10**6, 10**6) | st.floats()
    found = [Finding(f"i-{i}", "vm", "idle", "aws", "r", estimated_monthly_waste_usd=draw(money))
             for i in range(draw(st.integers(0, 3)))]
    with pinned_clock():
        doc = reference.ScanEnvelope("t", "aws", ["r"], "p", found, discount_factor=draw(st.none() | st.floats()),
                                     brimwick_version="9").to_dict()
    for key in draw(st.lists(st.sampled_from(KEYS), max_size=4)):
        doc.pop(key, None)
    return {**doc, **draw(st.dictionaries(st.sampled_from(KEYS), json_values | hash_values | traps, max_size=3))}


stored_data = json_values | st.dictionaries(st.sampled_from(KEYS), json_values | traps) | documents()
changes = st.dictionaries(st.sampled_from(FIELDS), json_values | traps | st.lists(stubs, max_size=3).map(tuple), max_size=4)


def build(m: Any, findings: list[Any], context: dict[str, Any], edits: dict[str, Any]) -> tuple[Any, ...]:
    """Construct and serialise; then reassign fields, serialise and complete again."""
    env = m.ScanEnvelope("t", "aws", ["r"], "p", findings, **context)
    written = outcome(env.to_dict)
    for name, value in edits.items():
        setattr(env, name, value)
    return written, outcome(env.to_dict), outcome(env.__post_init__), env


OPERATIONS: dict[str, Callable[..., Any]] = {
    "from_dict": lambda m, data, verify: m.ScanEnvelope.from_dict(data, verify),
    "checksum": lambda m, findings: m.compute_integrity_checksum(findings),
    "build": build,
}
cases = st.one_of(st.tuples(st.just("from_dict"), stored_data, verify_values),
                  st.tuples(st.just("checksum"), st.lists(stubs, max_size=6)),
                  st.tuples(st.just("build"), st.lists(stubs, max_size=5), contexts, changes))


def run(examples: int, seconds: float = math.inf, seed: int | None = None) -> int:
    """Check `examples` random cases in batches of up to 100, stopping early once `seconds` have passed; returns how
    many ran. With a seed, batch i draws from seed + i, so that the same count covers the same cases on any machine.
    Raises AssertionError on the first mismatch."""
    runs: list[int] = []
    start = time.monotonic()
    for index in itertools.count():
        if time.monotonic() - start >= seconds or len(runs) >= examples:
            break
        batch = settings(max_examples=min(100, examples - len(runs)), deadline=None, database=None,
                         phases=[Phase.generate, Phase.shrink], suppress_health_check=list(HealthCheck))
        # A fresh function each batch: settings apply once per function.
        check = given(cases)(batch(lambda case: runs.append(1) or agree(lambda m: OPERATIONS[case[0]](m, *case[1:]))))
        (check if seed is None else hypothesis.seed(seed + index)(check))()
    return len(runs)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--seconds", type=float, default=None, help="stop after this long (default 5, or no limit with --examples)")
    parser.add_argument("--examples", type=int, default=None, help="stop after this many executions")
    parser.add_argument("--seed", type=int, default=None, help="draw the cases from this seed, so that a run repeats")
    args, start = parser.parse_args(), time.monotonic()
    seconds = args.seconds if args.seconds is not None else 5.0 if args.examples is None else math.inf
    try:
        count = run(args.examples if args.examples is not None else 10**9, seconds, args.seed)
    except AssertionError as error:
        print("".join(traceback.format_exception(error)), "\nMISMATCH")
        return 1
    print(f"{count} executions, 0 mismatches in {time.monotonic() - start:.1f}s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
