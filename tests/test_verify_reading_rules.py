"""Every byte belongs to a verdict, the nesting limit is the reader's own, and the strict reader notes what others read differently."""

from __future__ import annotations

import io
import json
import math
import sys
from typing import Any

import pytest
from hypothesis import given, settings
from test_verify_documents import VALUES, outcome, same

from brimwick.output.verify import documents, nesting, readings
from brimwick.output.verify.lines import iter_lines

A, B, C = (json.dumps({"n": n, "inner": {"k": [n]}}) for n in (1, 2, 3))
PRETTY_A = json.dumps(json.loads(A), indent=2)


def stream(text: str, strict: bool = False) -> list[tuple[int, Any]]:
    lines = iter_lines(io.BytesIO(text.encode("utf-8", "surrogatepass")).read, skip_first=False, end=None, limit=1 << 20,
                       counter=[0])
    return [(line, "damaged" if isinstance(v, documents.Damaged) else v) for line, v in documents.stream_values(lines, 1 << 20, strict)]


@pytest.mark.parametrize("text, expected", [
    (A[:9] + "X" + A[10:] + " " + B + "\n" + C, [(1, "damaged"), (1, 2), (2, 3)]),  # the glued case
    (A[:12] + B + "\n" + C, [(1, "damaged"), (1, 2), (2, 3)]),  # a cut write, the next appended to it
    (A[:12] + B + B + "\n" + C, [(1, "damaged"), (1, 2), (1, 2), (2, 3)]),
    (A[:9] + "X" + A[10:] + "[1, 2]", [(1, "damaged"), (1, [1, 2])]),
    (PRETTY_A.replace('"n"', '"n" x', 1) + " " + B + "\n" + C, [(1, "damaged"), (8, 2), (9, 3)]),  # after a pretty one
    (PRETTY_A.replace('"n"', '"n" x', 1) + "\n" + C, [(1, "damaged"), (9, 3)]),
    (A.replace(', "inner"', ' "inner"') + "\n" + C, [(1, "damaged"), (2, 3)]),  # an inner object is not a new value
    (A.replace('"k": [1]', '"k"; [1]') + "\n" + C, [(1, "damaged"), (2, 3)]),
    (A[:9] + "X" + A[10:] + ' {"cut": \n  1}\n' + C, [(1, "damaged"), (1, {"cut": 1}), (3, 3)]),  # glued, on two lines
], ids=["glued", "cut", "two glued", "glued array", "after pretty", "pretty alone", "inner object", "inner array",
        "glued on two lines"])
def test_a_value_glued_to_a_damaged_one_gets_its_own_verdict(text: str, expected: list[Any]) -> None:
    got = [(line, v if v == "damaged" or not isinstance(v, dict) or "n" not in v else v["n"]) for line, v in stream(text)]
    assert got == expected


def test_nothing_is_lost_between_damaged_values() -> None:
    # Whatever byte is changed, every value that is not touched still comes
    # out; but for an array opened just before it, which may have been cut,
    # and takes the glued value in.
    text = "\n".join([A, B, C])
    for i in range(len(A)):
        for byte in "X{}[]\" " if i < len(A) - 1 else "X{}]\" ":
            damaged = A[:i] + byte + A[i + 1:] + " " + B + "\n" + C
            values = [v for _, v in stream(damaged)]
            assert {2, 3} <= {v["n"] for v in values if isinstance(v, dict) and "n" in v}, damaged
    assert [v["n"] for _, v in stream(text)] == [1, 2, 3]


@pytest.mark.parametrize("text, levels", [
    ("[]", 1), ('{"a": [{"b": "[[[{"}]]}', 3), ('"\\"[["', 0), ("[" * 5 + "]" * 5, 5), ('["\\\\", ["x"]]', 2), ("1", 0),
])
def test_levels_are_counted_in_the_text_strings_left_out(text: str, levels: int) -> None:
    assert nesting.depth(text.encode()) == levels


@pytest.mark.parametrize("levels", [nesting.MAX_DEPTH - 20, nesting.MAX_DEPTH, nesting.MAX_DEPTH + 1])
@pytest.mark.parametrize("stack", [0, 400, 900])
@pytest.mark.parametrize("strict", [False, True])
def test_the_limit_is_the_same_however_deep_the_stack(levels: int, stack: int, strict: bool) -> None:
    text = '{"a": ' + "[" * (levels - 1) + "]" * (levels - 1) + "}"
    limit = sys.getrecursionlimit()

    def at(depth: int) -> Any:
        if depth:
            return at(depth - 1)
        read = outcome(lambda d: documents.parse_json(d, strict), text.encode())
        return read, [v if v == "damaged" else "read" for _, v in stream(text + "\n" + text, strict)]

    sys.setrecursionlimit(1000)  # as in a fresh interpreter, whatever the test runner set
    try:
        (ok, _), values = at(stack)
    finally:
        sys.setrecursionlimit(limit)
    within = levels <= nesting.MAX_DEPTH
    assert ok == within and values == ["read" if within else "damaged"] * 2


@settings(max_examples=300, deadline=None)
@given(VALUES)
def test_the_strict_reader_gives_json_loads_values(text: str) -> None:
    data = text.encode("utf-8", "surrogatepass")
    ok, value = outcome(lambda d: documents.parse_json(d, strict=True), data)
    expected_ok, expected = outcome(lambda d: json.loads(d.decode("utf-8")), data)
    value = value.value if isinstance(value, readings.Noted) else value
    assert ok == expected_ok and (not ok or same(value, expected)), (text, value, expected)


@pytest.mark.parametrize("text, notes", [
    ('{"a": 1, "a": 2}', ['duplicate key "a"']),
    ('{"x": [{"b": 1, "c": 2, "b": 3, "c": 4}], "y": {"\\u00e9": 1, "é": 2}}',
     ['duplicate key "b" in x[0]', 'duplicate key "c" in x[0]', 'duplicate key "é" in y']),
    ('{"a": 1}', None),
])
def test_keys_given_twice_are_noted_with_their_path(text: str, notes: list[str] | None) -> None:
    value = documents.parse_json(text.encode(), strict=True)
    assert (value.notes if isinstance(value, readings.Noted) else None) == (None if notes is None else tuple(notes))
    assert not isinstance(documents.parse_json(text.encode()), readings.Noted)  # the default reader notes nothing


def test_numbers_json_does_not_have_are_named_with_their_path() -> None:
    value = documents.parse_json(b'{"a": [1, NaN], "b": {"c": -Infinity}, "d": 1e400, "e": 1.5}')
    assert math.isnan(value["a"][1])
    assert readings.other_readings(value)[0] == ["a[1] is NaN, which JSON does not have",
                                              "b.c is -Infinity, which JSON does not have",
                                              "d is Infinity, which JSON does not have"]
