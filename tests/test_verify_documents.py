"""Lines parsed into values: exactly json.loads's values, whatever the layout of the stream, in time and
memory in proportion to what is read, whatever the input."""

from __future__ import annotations

import io
import json
import math
import time
import tracemalloc
from collections.abc import Callable
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from brimwick.output.verify import documents
from brimwick.output.verify.lines import READ_BYTES, iter_lines


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


DOCUMENT = json.dumps({"tenant_id": "t", "findings": [{"finding_hash": "ab" * 32, "title": "é [1] {x}"}] * 5,
                       "integrity_checksum": "0" * 64}).encode()
# Inputs that took time out of proportion to their size, or memory: each made of size n, with the n its
# time is measured at (and four times that) and the n its memory is measured at.
SHAPES: dict[str, tuple[Callable[[int], tuple[str, bytes]], int, int]] = {
    "glued on one line": (lambda n: ("s.json", DOCUMENT * n), 1600, 6000),
    "CR line ends": (lambda n: ("s.json", b"\r".join([DOCUMENT] * n)), 1600, 6000),
    "pretty-printed": (lambda n: ("s.json", json.dumps(json.loads(DOCUMENT), indent=2).encode() * n), 200, 2000),
    "damaged, brackets after": (lambda n: ("s.json", b"{]" + b"{" * (40 * n)), 800, 2000),
    "damaged, values after": (lambda n: ("s.json", b"{]" + b"x[1]{" * (8 * n)), 200, 1000),
    "damaged glued documents": (lambda n: ("s.json", (DOCUMENT + DOCUMENT.replace(b'"title"', b'"title', 1)) * n), 100, 1000),
    "unfinished past the limit": (lambda n: ("s.json", b"[1,\n" * (10 * n)), 200, 1000),
    "open on every line": (lambda n: ("s.json", (b"[\n" * 900 + b'"x\n') * n), 2, 8),
    "escaped quotes past the limit": (lambda n: ("s.json", b"[" * 1001 + b'"' + b'\\"' * (200 * n)), 1600, 2000),
    "escaped quotes, one per line": (lambda n: ("s.jsonl", b"[" * 1001 + b'"' + b'\\"' * (200 * n)), 1600, 2000),
    "undecodable byte inside": (lambda n: ("s.json", b'{"a":\n\xff' + b"\n".join([DOCUMENT] * n)), 3200, 6000),
}


def read_all(name: str, data: bytes) -> int:
    lines = iter_lines(io.BytesIO(data).read, skip_first=False, end=None, limit=1 << 28, counter=[0])
    values = documents.json_lines_values if documents.is_json_lines(name) else documents.stream_values
    return sum(1 for _ in values(lines, 1 << 28))


@pytest.mark.parametrize("shape", list(SHAPES))
def test_reading_takes_time_in_proportion_to_the_input(shape: str) -> None:
    # Four times the input takes about four times the time; a reader that reads again what follows each
    # value (or each bracket) takes sixteen. The best of three runs each, in CPU time: a busy machine
    # slows them alike.
    make, n, _ = SHAPES[shape]

    def seconds(size: int) -> float:
        name, data = make(size)
        best = math.inf
        for _ in range(3):
            start = time.process_time()
            read_all(name, data)
            best = min(best, time.process_time() - start)
        return best

    seconds(n // 4 or 1)  # warm up
    assert seconds(4 * n) < 8 * seconds(n)


@pytest.mark.parametrize("shape", list(SHAPES))
def test_reading_holds_no_more_than_a_line_and_its_text(shape: str) -> None:
    # The documented model: the reads in flight and the line being read (with its text when values share
    # it), never the rest of the input, whatever the shape.
    make, _, n = SHAPES[shape]
    name, data = make(n)
    longest = max(map(len, data.split(b"\n")))
    tracemalloc.start()
    try:
        read_all(name, data)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 2 * READ_BYTES + 3 * longest + (1 << 20), (peak, longest)
