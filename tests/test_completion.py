"""Envelope completion: version stamp, count, totals and checksum at construction."""

from __future__ import annotations

import math
import re
import sys
import types
from decimal import Decimal
from fractions import Fraction
from typing import Any

import brimwick
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import StubFinding, envelope, manifest

EMPTY = "4f53cda18c2baa0c0354bb5f9a3ecbe5ed12ab4d8e11ba873c2f11161202b945"


def stubs(amounts: list[Any], adjusted: list[Any] | None = None) -> list[StubFinding]:
    adjusted = adjusted or [None] * len(amounts)
    return [StubFinding(f"h{i}", a, b) for i, (a, b) in enumerate(zip(amounts, adjusted))]


def typed(value: Any) -> Any:
    """Type and value, with NaN equal to NaN and the sign of a float zero kept."""
    if isinstance(value, float):
        return float, "nan" if math.isnan(value) else (value, math.copysign(1.0, value))
    return type(value), value


class FailingFinder:
    """A meta path hook that fails every import of the package `brimwick`."""

    def __init__(self, error: BaseException) -> None:
        self.error = error

    def find_spec(self, name: str, path: Any = None, target: Any = None) -> None:
        if name == "brimwick":
            raise self.error


def fail_brimwick_import(monkeypatch: pytest.MonkeyPatch, error: BaseException) -> None:
    monkeypatch.delitem(sys.modules, "brimwick")
    monkeypatch.setattr(sys, "meta_path", [FailingFinder(error), *sys.meta_path])


class Broken(LookupError):
    pass


@pytest.mark.parametrize("version", ["9.9", "0.0.0-dev"])
def test_given_version_kept_without_import(monkeypatch: pytest.MonkeyPatch, version: str) -> None:
    fail_brimwick_import(monkeypatch, KeyboardInterrupt())
    assert envelope(brimwick_version=version).brimwick_version == version


@pytest.mark.parametrize("given_version", ["", None])
@pytest.mark.parametrize("package_version", ["7.7.7", 42])
def test_empty_version_read_from_package_at_completion(
    monkeypatch: pytest.MonkeyPatch, given_version: Any, package_version: Any
) -> None:
    assert envelope(brimwick_version=given_version).brimwick_version == brimwick.__version__
    monkeypatch.setattr(brimwick, "__version__", package_version)
    assert envelope(brimwick_version=given_version).brimwick_version == package_version


@pytest.mark.parametrize("error", [Broken("no"), ImportError("gone"), RuntimeError("init failed")])
def test_failed_version_import_gives_unknown(monkeypatch: pytest.MonkeyPatch, error: Exception) -> None:
    fail_brimwick_import(monkeypatch, error)
    assert envelope().brimwick_version == "unknown"


@pytest.mark.parametrize("package", [None, types.ModuleType("brimwick"), brimwick], ids=["blocked", "bare", "real"])
def test_missing_package_or_attribute_gives_unknown(monkeypatch: pytest.MonkeyPatch, package: Any) -> None:
    monkeypatch.setitem(sys.modules, "brimwick", package)
    monkeypatch.delattr(brimwick, "__version__")
    assert envelope().brimwick_version == "unknown"


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupts_during_version_import_propagate(monkeypatch: pytest.MonkeyPatch, error: type) -> None:
    fail_brimwick_import(monkeypatch, error())
    with pytest.raises(error):
        envelope()


def test_failing_version_store_gives_unknown() -> None:
    def refuse_versions(self: Any, name: str, value: Any) -> None:
        if name == "brimwick_version" and value not in ("", "unknown"):
            raise ValueError(value)
        object.__setattr__(self, name, value)

    picky = type("Picky", (manifest.ScanEnvelope,), {"__setattr__": refuse_versions})
    assert picky("t", "aws", [], "full", []).brimwick_version == "unknown"


@pytest.mark.parametrize(
    "amounts, monthly, annual",
    [
        ([], 0, 0),
        ([None], 0.0, 0.0),
        ([0, None, 0.0], 0.0, 0.0),
        ([0.1, 0.2, 0.3], 0.6000000000000001, 7.2),
        ([33.3], 33.3, 399.6),
        ([1, 2], 3, 36),
        ([None, 5], 5.0, 60.0),
        ([2.675 / 12], 2.675 / 12, 2.67),
        ([float("nan"), 1.0], float("nan"), float("nan")),
        ([float("inf"), None], float("inf"), float("inf")),
    ],
)
def test_count_and_plain_totals(amounts: list[Any], monthly: Any, annual: Any) -> None:
    env = envelope(stubs(amounts), finding_count=99, total_monthly_waste_usd=1.5, total_annual_waste_usd=18.0)
    assert env.finding_count == len(amounts)
    assert typed(env.total_monthly_waste_usd) == typed(monthly)
    assert typed(env.total_annual_waste_usd) == typed(annual)


@pytest.mark.parametrize(
    "discount, given_monthly, given_annual, adjusted, monthly, annual",
    [
        (None, None, None, [1.0], None, None),
        (None, None, 5.0, [1.0], None, 5.0),
        (None, 100.0, None, [1.0], 100.0, 1200.0),
        (0.0, None, None, [1.0, None, 2.5], 3.5, 42.0),
        (0.8, None, None, [None, None], None, None),
        (0.8, None, 5.0, [], None, 5.0),
        (0.8, None, None, [None, 0.0], 0.0, 0.0),
        (0.8, None, None, [1, 2], 3, 36),
        (0.8, 33.3, 1.0, [1.0], 33.3, 399.6),
        (0.8, 0.0, None, [1.0], 0.0, 0.0),
    ],
)
def test_adjusted_totals(
    discount: Any, given_monthly: Any, given_annual: Any, adjusted: list[Any], monthly: Any, annual: Any
) -> None:
    env = envelope(
        stubs([1.0] * len(adjusted), adjusted),
        discount_factor=discount,
        adjusted_total_monthly_waste_usd=given_monthly,
        adjusted_total_annual_waste_usd=given_annual,
    )
    assert typed(env.adjusted_total_monthly_waste_usd) == typed(monthly)
    assert typed(env.adjusted_total_annual_waste_usd) == typed(annual)


@pytest.mark.parametrize("given, expected", [("", EMPTY), (None, EMPTY), ("not a checksum", "not a checksum")])
def test_checksum_filled_only_when_empty(given: Any, expected: str) -> None:
    assert envelope(integrity_checksum=given).integrity_checksum == expected


def test_completing_again_recomputes_all_but_version_and_checksum() -> None:
    env = envelope(stubs([1.0]), discount_factor=0.5)
    stamped = (env.brimwick_version, env.integrity_checksum)
    env.findings.extend(stubs([None, 2.5], [4.0, None]))
    env.adjusted_total_monthly_waste_usd = 10.0
    assert env.__post_init__() is None
    assert (env.finding_count, env.total_monthly_waste_usd, env.total_annual_waste_usd) == (3, 3.5, 42.0)
    assert (env.adjusted_total_monthly_waste_usd, env.adjusted_total_annual_waste_usd) == (10.0, 120.0)
    assert (env.brimwick_version, env.integrity_checksum) == stamped


def test_tuple_of_findings_needs_a_given_checksum() -> None:
    findings = tuple(stubs([1.0, 2.0]))
    env = envelope(findings, integrity_checksum="kept")  # type: ignore[arg-type]
    assert (env.findings, env.finding_count, env.total_annual_waste_usd) == (findings, 2, 36.0)
    text = re.escape("Argument 'findings' has incorrect type (expected list, got tuple)")
    with pytest.raises(TypeError, match=rf"^{text}$"):
        envelope(findings)  # type: ignore[arg-type]


@pytest.mark.parametrize(
    "findings, kwargs, error, text",
    [
        (iter([]), {}, TypeError, "object of type 'list_iterator' has no len()"),
        ([object()], {}, AttributeError, "'object' object has no attribute 'estimated_monthly_waste_usd'"),
        (stubs(["12"]), {}, TypeError, "unsupported operand type(s) for +: 'int' and 'str'"),
        (stubs([1.5, [2]]), {}, TypeError, 'unsupported operand type(s) for +: \'float\' and \'list\''),
        (stubs([1.0], [{}]), {"discount_factor": 0.5}, TypeError, "unsupported operand type(s) for +: 'int' and 'dict'"),
        (stubs([1.0]), {"adjusted_total_monthly_waste_usd": "x"}, TypeError, "type str doesn't define __round__ method"),
        ([types.SimpleNamespace(finding_hash="a", estimated_monthly_waste_usd=1.0)], {"discount_factor": 0.0},
         AttributeError, "'types.SimpleNamespace' object has no attribute 'adjusted_monthly_waste_usd'"),
    ],
)
def test_bad_input_fails_construction(findings: Any, kwargs: dict[str, Any], error: type, text: str) -> None:
    with pytest.raises(error, match=rf"^{re.escape(text)}$"):
        envelope(findings, **kwargs)


def test_adjusted_amounts_not_read_without_discount() -> None:
    finding = types.SimpleNamespace(finding_hash="a", estimated_monthly_waste_usd=1.0)
    assert envelope([finding]).adjusted_total_monthly_waste_usd is None


AMOUNTS = st.one_of(
    st.none(),
    st.sampled_from([0, 0.0, -0.0, True, False, 1e308, -1e308, 0.1, float("nan"), float("inf"), 2**1100]),
    st.integers(-1000, 1000),
    st.integers(2**63 - 3, 2**64 + 3).map(lambda n: n * (-1) ** (n % 2)),
    st.floats(),
    st.decimals(allow_nan=False, places=3, min_value=-(10**6), max_value=10**6),
    st.fractions(max_denominator=1000),
)


def plain_totals(amounts: list[Any], adjusted: list[Any], discount: Any, given: Any) -> list[Any]:
    monthly = sum(a or 0.0 for a in amounts)
    totals = [monthly, round(monthly * 12, 2)]
    if discount is not None and given is None:
        values = [v for v in adjusted if v is not None]
        if values:
            given = sum(values)
    return totals + [given, None if given is None else round(given * 12, 2)]


def outcome(compute: Any) -> Any:
    try:
        return [typed(value) for value in compute()]
    except Exception as error:  # noqa: BLE001 - the failure itself is compared
        return type(error), str(error)


@settings(max_examples=200, deadline=None)
@given(
    st.lists(st.tuples(AMOUNTS, AMOUNTS), max_size=8),
    st.sampled_from([None, 0.0, 0.5]),
    st.none() | AMOUNTS,
)
def test_totals_match_plain_computation(pairs: list[tuple[Any, Any]], discount: Any, given: Any) -> None:
    amounts, adjusted = [a for a, _ in pairs], [b for _, b in pairs]

    def completed() -> list[Any]:
        env = envelope(stubs(amounts, adjusted), discount_factor=discount, adjusted_total_monthly_waste_usd=given)
        return [env.total_monthly_waste_usd, env.total_annual_waste_usd,
                env.adjusted_total_monthly_waste_usd, env.adjusted_total_annual_waste_usd]

    assert outcome(completed) == outcome(lambda: plain_totals(amounts, adjusted, discount, given))
