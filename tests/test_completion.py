"""Envelope completion: version stamp, count, totals and checksum at construction."""

from __future__ import annotations

import collections
import math
import re
import sys
import types
from typing import Any

import brimwick
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import StubFinding, envelope, manifest

EMPTY = manifest.compute_integrity_checksum([])
NO_ADJUSTED = types.SimpleNamespace(finding_hash="a", estimated_monthly_waste_usd=1.0)


def stubs(amounts: list[Any], adjusted: list[Any] | None = None) -> list[StubFinding]:
    adjusted = adjusted or [None] * len(amounts)
    return [StubFinding(f"h{i}", a, b) for i, (a, b) in enumerate(zip(amounts, adjusted))]


def typed(value: Any) -> Any:
    """Type and value, with NaN equal to NaN and the sign of a float zero kept."""
    if isinstance(value, float):
        return float, "nan" if math.isnan(value) else (value, math.copysign(1.0, value))
    return type(value), value


def fail_brimwick_import(monkeypatch: pytest.MonkeyPatch, error: BaseException) -> None:
    """Makes every import of the package `brimwick` raise `error`."""
    def find_spec(name: str, *args: Any) -> None:
        if name == "brimwick":
            raise error

    monkeypatch.delitem(sys.modules, "brimwick")
    monkeypatch.setattr(sys, "meta_path", [types.SimpleNamespace(find_spec=find_spec), *sys.meta_path])


@pytest.mark.parametrize("given_version, package_version", [("", "7.7.7"), (None, 42)])
def test_empty_version_read_from_package(monkeypatch: pytest.MonkeyPatch, given_version: Any, package_version: Any) -> None:
    assert envelope(brimwick_version=given_version).brimwick_version == brimwick.__version__
    monkeypatch.setattr(brimwick, "__version__", package_version)
    assert envelope(brimwick_version=given_version).brimwick_version == package_version


# An exception makes the import of `brimwick` fail; a module (or None) replaces the package, without `__version__`.
# Any failure of the `Exception` family gives "unknown".
@pytest.mark.parametrize("failure", [LookupError("no"), ImportError("gone"), RuntimeError("init failed"), KeyboardInterrupt(),
                                     SystemExit(), None, types.ModuleType("brimwick"), brimwick], ids=repr)
def test_failed_version_lookup(monkeypatch: pytest.MonkeyPatch, failure: Any) -> None:
    if isinstance(failure, BaseException):
        fail_brimwick_import(monkeypatch, failure)
    else:
        monkeypatch.setitem(sys.modules, "brimwick", failure)
        monkeypatch.delattr(brimwick, "__version__")
    assert envelope(brimwick_version="9.9").brimwick_version == "9.9"  # a given version needs no import
    if isinstance(failure, (KeyboardInterrupt, SystemExit)):  # interrupts and exit requests propagate
        with pytest.raises(type(failure)):
            envelope()
    else:
        assert envelope().brimwick_version == "unknown"


def test_failing_version_store_gives_unknown() -> None:
    def refuse_versions(self: Any, name: str, value: Any) -> None:
        if name == "brimwick_version" and value not in ("", "unknown"):
            raise ValueError(value)
        object.__setattr__(self, name, value)

    picky = type("Picky", (manifest.ScanEnvelope,), {"__setattr__": refuse_versions})
    assert picky("t", "aws", [], "full", []).brimwick_version == "unknown"


TOTALS = ["total_monthly_waste_usd", "total_annual_waste_usd", "adjusted_total_monthly_waste_usd",
          "adjusted_total_annual_waste_usd"]
NAN = float("nan")


# Count and plain totals are always recomputed; the adjusted monthly total is summed (None values left out)
# only with a discount and none given, and any adjusted monthly total gives the adjusted annual one.
@pytest.mark.parametrize("amounts, adjusted, kwargs, totals", [
    ([], None, {}, (0, 0, None, None)),
    ([None], None, {}, (0.0, 0.0, None, None)),
    ([0.1, 0.2, 0.3], None, {}, (0.6000000000000001, 7.2, None, None)),
    ([33.3], None, {}, (33.3, 399.6, None, None)),
    ([2.675 / 12], None, {}, (2.675 / 12, 2.67, None, None)),
    ([NAN, 1.0], None, {}, (NAN, NAN, None, None)),
    ([1.0], [1.0], {"adjusted_total_annual_waste_usd": 5.0}, (1.0, 12.0, None, 5.0)),
    ([1.0], [1.0], {"adjusted_total_monthly_waste_usd": 100.0}, (1.0, 12.0, 100.0, 1200.0)),
    ([1.0] * 3, [1.0, None, 2.5], {"discount_factor": 0.0}, (3.0, 36.0, 3.5, 42.0)),
    ([1.0] * 2, [None, None], {"discount_factor": 0.8}, (2.0, 24.0, None, None)),
    ([], None, {"discount_factor": 0.8, "adjusted_total_annual_waste_usd": 5.0}, (0, 0, None, 5.0)),
    ([1.0], [1.0], {"discount_factor": 0.8, "adjusted_total_monthly_waste_usd": 33.3,
                    "adjusted_total_annual_waste_usd": 1.0}, (1.0, 12.0, 33.3, 399.6)),
])
def test_count_and_totals(amounts: list[Any], adjusted: Any, kwargs: dict[str, Any], totals: tuple) -> None:
    env = envelope(stubs(amounts, adjusted), finding_count=99, total_monthly_waste_usd=1.5, total_annual_waste_usd=18.0,
                   **kwargs)
    assert env.finding_count == len(amounts)
    assert [typed(getattr(env, key)) for key in TOTALS] == [typed(value) for value in totals]


def test_completing_again_recomputes_all_but_version_and_checksum() -> None:
    env = envelope(stubs([1.0]), discount_factor=0.5)
    stamped = (env.brimwick_version, env.integrity_checksum)
    env.findings.extend(stubs([None, 2.5], [4.0, None]))
    env.adjusted_total_monthly_waste_usd = 10.0
    assert env.__post_init__() is None
    assert (env.finding_count, env.total_monthly_waste_usd, env.total_annual_waste_usd) == (3, 3.5, 42.0)
    assert (env.adjusted_total_monthly_waste_usd, env.adjusted_total_annual_waste_usd) == (10.0, 120.0)
    assert (env.brimwick_version, env.integrity_checksum) == stamped


def test_checksum_filled_only_when_empty() -> None:
    assert envelope(integrity_checksum="").integrity_checksum == envelope(integrity_checksum=None).integrity_checksum == EMPTY
    findings = tuple(stubs([1.0, 2.0]))  # completes with a given checksum, which is neither checked nor replaced
    env = envelope(findings, integrity_checksum="not a checksum")  # type: ignore[arg-type]
    assert (env.findings, env.finding_count, env.total_annual_waste_usd) == (findings, 2, 36.0)
    assert env.integrity_checksum == "not a checksum"
    with pytest.raises(TypeError, match=r"got tuple\)$"):
        envelope(findings)  # type: ignore[arg-type]


@pytest.mark.parametrize("findings, kwargs, error, text", [
    (iter([]), {}, TypeError, "object of type 'list_iterator' has no len()"),
    ([object()], {}, AttributeError, "'object' object has no attribute 'estimated_monthly_waste_usd'"),
    (stubs(["12"]), {}, TypeError, "unsupported operand type(s) for +: 'int' and 'str'"),
    (stubs([1.5, [2]]), {}, TypeError, "unsupported operand type(s) for +: 'float' and 'list'"),
    (stubs([1.0], [{}]), {"discount_factor": 0.5}, TypeError, "unsupported operand type(s) for +: 'int' and 'dict'"),
    (stubs([1.0]), {"adjusted_total_monthly_waste_usd": "x"}, TypeError, "type str doesn't define __round__ method"),
    ([NO_ADJUSTED], {"discount_factor": 0.0}, AttributeError,
     "'types.SimpleNamespace' object has no attribute 'adjusted_monthly_waste_usd'"),
    # The monthly total sums a generator, which turns a StopIteration from its body into RuntimeError.
    ([type("Stops", (), {"estimated_monthly_waste_usd": property(lambda self: next(iter(())))})()], {}, RuntimeError,
     "generator raised StopIteration"),
])
def test_bad_input_fails_construction(findings: Any, kwargs: dict[str, Any], error: type, text: str) -> None:
    with pytest.raises(error, match=rf"^{re.escape(text)}$"):
        envelope(findings, **kwargs)
    if "discount_factor" in kwargs:  # without a discount the adjusted amounts are not read
        assert envelope(findings).adjusted_total_monthly_waste_usd is None


class FloatRadd(float):
    """Its own reflected addition wins over float's, whichever side of a generic addition it is on."""

    def __radd__(self, other: Any) -> float:
        return float(other) + 100

    __add__ = __radd__


class FloatAdd(float):
    """Overrides only the forward addition, which a float on the left never calls."""

    def __add__(self, other: Any) -> float:
        return float(other) + 1000


class IntRadd(int):
    def __radd__(self, other: Any) -> Any:
        return other + 10000


# The host's sum adds exact ints and exact floats natively, and everything else (subclasses included) through the
# number protocol, where a subclass's reflected method wins; but once in floats, any int is taken by its value.
@pytest.mark.parametrize("amounts", [
    [1.5, FloatRadd(2.0)], [FloatRadd(2.0), 1.5], [1, FloatRadd(2.0), 3], [True, FloatRadd(0.5)],
    [1.5, FloatAdd(2.0)], [FloatAdd(2.0), 1.5], [1, IntRadd(2), 3], [1.5, IntRadd(2)], [IntRadd(2), 1.5, FloatRadd(1.0)],
], ids=repr)
def test_totals_add_number_subclasses_as_the_builtin_sum_does(amounts: list[Any]) -> None:
    env = envelope(stubs(amounts, amounts), discount_factor=0.5)
    expected = sum(amounts)
    assert typed(env.total_monthly_waste_usd) == typed(expected) == typed(env.adjusted_total_monthly_waste_usd)


AMOUNTS = st.one_of(
    st.none(), st.sampled_from([0, 0.0, -0.0, True, False, 1e308, -1e308, 0.1, float("nan"), float("inf"), 2**1100]),
    st.integers(-1000, 1000), st.integers(2**63 - 3, 2**64 + 3).map(lambda n: n * (-1) ** (n % 2)), st.floats(),
    st.decimals(allow_nan=False, places=3, min_value=-(10**6), max_value=10**6), st.fractions(max_denominator=1000),
)


def plain_totals(amounts: list[Any], adjusted: list[Any], discount: Any, given: Any) -> list[Any]:
    monthly = sum(a or 0.0 for a in amounts)
    totals = [monthly, round(monthly * 12, 2)]
    if discount is not None and given is None:
        values = [v for v in adjusted if v is not None]
        given = sum(values) if values else None
    return totals + [given, None if given is None else round(given * 12, 2)]


def outcome(compute: Any) -> Any:
    try:
        return [typed(value) for value in compute()]
    except Exception as error:  # noqa: BLE001 - the failure itself is compared
        return type(error), str(error)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(AMOUNTS, AMOUNTS), max_size=8), st.sampled_from([None, 0.0, 0.5]), st.none() | AMOUNTS)
def test_totals_match_plain_computation(pairs: list[tuple[Any, Any]], discount: Any, given: Any) -> None:
    amounts, adjusted = [a for a, _ in pairs], [b for _, b in pairs]

    def completed() -> list[Any]:
        env = envelope(stubs(amounts, adjusted), discount_factor=discount, adjusted_total_monthly_waste_usd=given)
        return [getattr(env, key) for key in TOTALS]

    assert outcome(completed) == outcome(lambda: plain_totals(amounts, adjusted, discount, given))


@pytest.mark.parametrize("container", [tuple, collections.deque, lambda items: types.MappingProxyType(dict(enumerate(items))).values()],
                         ids=["tuple", "deque", "view"])
def test_totals_walk_every_finding_of_any_sized_iterable(container: Any) -> None:
    findings = container(stubs([1.5, 2.25, 4.0], [0.5, None, 1.0]))
    record = envelope(findings, integrity_checksum="given", discount_factor=0.9)
    assert (record.finding_count, record.total_monthly_waste_usd, record.adjusted_total_monthly_waste_usd) == (3, 7.75, 1.5)
