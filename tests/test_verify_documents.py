"""Lines parsed into values: exactly json.loads's values, whatever the layout of the stream."""

from __future__ import annotations

import io
import json
import math
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from brimwick.output.verify import documents
from brimwick.output.verify.lines import iter_lines


def same(a: Any, b: Any) -> bool:
    """Equal as json.loads results are: same types, same key order, NaN equal to NaN, -0.0 apart from 0.0."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return bool(a == b)


def space() -> st.SearchStrategy[str]:
    return st.sampled_from(["", " ", "\t", "\r", "  "])


NUMBERS = st.one_of(
    st.integers(-(2**70), 2**70).map(str),  # beyond 64 bits too
    st.sampled_from(["0", "-0", "-0.0", "1E400", "-1e400", "1e-400", "NaN", "Infinity", "-Infinity", "18446744073709551615",
                     "18446744073709551616", "-9223372036854775808", "-9223372036854775809", "0.1000000000000000055511151231257827",
                     "123456789012345678901234567890.5", "2.5e-08", "1.7976931348623157e308"]),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    # Long mantissas and far exponents: the fast parser must round as the standard library does.
    st.tuples(st.integers(0, 10**30), st.integers(0, 10**25), st.integers(-340, 320)).map(lambda t: f"{t[0]}.{t[1]}e{t[2]}"),
    st.just("9" * 4300),  # at the interpreter's digit limit for integers
)
STRINGS = st.one_of(
    st.text().map(lambda s: json.dumps(s, ensure_ascii=False)),
    st.text().map(json.dumps),
    st.sampled_from(['"\\ud800"', '"\\udfff x"', '"\\ud83d\\ude00"', '"\\u0000"', '"a\\/b"', '"12345678901234567890"']),
)
SCALARS = st.one_of(NUMBERS, STRINGS, st.sampled_from(["true", "false", "null"]))
KEYS = st.sampled_from(['"a"', '"b"', '"findings"', '"\\u0061"', '""'])  # few keys, so duplicates are common


def objects(children: st.SearchStrategy[str]) -> st.SearchStrategy[str]:
    members = st.lists(st.tuples(KEYS, space(), children), max_size=5)
    return members.map(lambda xs: "{" + ",".join(f"{k}{s}:{s}{v}" for k, s, v in xs) + "}")


def containers(children: st.SearchStrategy[str]) -> st.SearchStrategy[str]:
    items = st.lists(st.tuples(space(), children, space()), max_size=5)
    return st.one_of(items.map(lambda xs: "[" + ",".join(f"{a}{v}{b}" for a, v, b in xs) + "]"), objects(children))


VALUES = st.recursive(SCALARS, containers, max_leaves=25)
OBJECTS = objects(VALUES)


def outcome(parse: Any, data: bytes) -> tuple[bool, Any]:
    try:
        return True, parse(data)
    except (ValueError, RecursionError, documents.Unreadable):
        return False, None


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.tuples(space(), VALUES, space()).map("".join))
def test_parse_json_gives_exactly_what_json_loads_gives(text: str) -> None:
    data = text.encode("utf-8", "surrogatepass")
    ok, value = outcome(documents.parse_json, data)
    expected_ok, expected = outcome(lambda d: json.loads(d.decode("utf-8")), data)
    assert ok == expected_ok and (not ok or same(value, expected)), (text, value, expected)


@pytest.mark.parametrize("text", ["9" * 4301, '{"a": [-' + "1" * 5000 + "]}", "[" * 3000 + "]" * 3000, '"\\ud800"', "1e400"],
                         ids=["digit limit", "digit limit inside", "deep", "lone surrogate", "out of range"])
def test_what_the_fast_parser_refuses_is_read_as_json_reads_it(text: str) -> None:
    ok, value = outcome(documents.parse_json, text.encode())
    expected_ok, expected = outcome(json.loads, text)
    assert ok == expected_ok and (not ok or same(value, expected))


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(OBJECTS.map(json.loads), min_size=1, max_size=6), st.sampled_from(["lines", "pretty", "run", "mixed"]))
def test_streams_of_values_read_back_value_by_value(values: list[Any], layout: str) -> None:
    def dump(i: int, v: Any) -> str:
        pretty = layout == "pretty" or (layout == "mixed" and i % 2)
        text = json.dumps(v, indent=2 if pretty else None, ensure_ascii=i % 3 == 0)
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:  # a lone surrogate is only JSON as an escape
            text = json.dumps(v, indent=2 if pretty else None)
        return text

    text = ("" if layout == "run" else "\n").join(dump(i, v) for i, v in enumerate(values)) + "\n"
    data = text.encode("utf-8")
    got = [v for _, v in documents.stream_values(iter_lines(io.BytesIO(data).read, skip_first=False, end=None, limit=1 << 20,
                                                        counter=[0]), 1 << 20)]
    assert len(got) == len(values) and all(same(g, v) for g, v in zip(got, values)), (text, got)
