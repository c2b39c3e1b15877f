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
    (A[:9] + "X" + A[10:] + " " + B + " [1, 2]", [(1, "damaged"), (1, 2), (1, [1, 2])]),
    (PRETTY_A.replace('"n"', '"n" x', 1) + " " + B + "\n" + C, [(1, "damaged"), (8, 2), (9, 3)]),  # after a pretty one
    (PRETTY_A.replace('"n"', '"n" x', 1) + "\n" + C, [(1, "damaged"), (9, 3)]),
    (A.replace(', "inner"', ' "inner"') + "\n" + C, [(1, "damaged"), (2, 3)]),  # an inner object is not a new value
    (A.replace('"k": [1]', '"k"; [1]') + "\n" + C, [(1, "damaged"), (2, 3)]),
    (A[:9] + "X" + A[10:] + ' {"cut": \n  1}\n' + C, [(1, "damaged"), (1, {"cut": 1}), (3, 3)]),  # glued, on two lines
    (PRETTY_A.replace("\n", "\r\n") + "\r\n" + A + " " + B + "\r\n" + C, [(1, 1), (9, 1), (9, 2), (10, 3)]),  # CRLF
], ids=["glued", "cut", "two glued", "glued array", "object and array", "after pretty", "pretty alone", "inner object", "inner array",
        "glued on two lines", "windows line ends"])
def test_a_value_glued_to_a_damaged_one_gets_its_own_verdict(text: str, expected: list[Any]) -> None:
    got = [(line, v if v == "damaged" or not isinstance(v, dict) or "n" not in v else v["n"]) for line, v in stream(text)]
    assert got == expected


def judged(data: bytes, limit: int = 1 << 20) -> list[tuple[int, Any]]:
    """(line, the reason it is damaged or its value) for each value of a stream."""
    lines = iter_lines(io.BytesIO(data).read, skip_first=False, end=None, limit=limit, counter=[0])
    return [(int(line), v.reason if isinstance(v, documents.Damaged) else v) for line, v in documents.stream_values(lines, limit)]


SMALL = json.dumps({"n": 1, "list": ["a", "b"]}, indent=2)
NOT_UTF8 = "not UTF-8 text: invalid start byte at byte {}"
UNTERMINATED = "invalid JSON: Unterminated string starting at: line {} column 1"


@pytest.mark.parametrize("data, limit, expected", [
    # A line opens a value in an array of the damaged one: it is read on its own, as the lines after it.
    ((SMALL.replace('\n    "a"', '\n[   "a"') + "\n" + SMALL).encode(), 1 << 20,
     [(1, "invalid JSON: Expecting ',' delimiter: line 7 column 1"), (4, ["a", "b"]),
      (7, "invalid JSON: Expecting value: line 7 column 1"), (8, json.loads(SMALL))]),
    # Still open where the damaged one failed: it fails there, for the same reason ...
    ((SMALL.replace('\n    "a"', '\n{   "a"') + "\n" + SMALL).encode(), 1 << 20,
     [(1, "invalid JSON: Expecting ':' delimiter: line 4 column 8"), (4, "invalid JSON: Expecting ':' delimiter: line 4 column 8"),
      (8, json.loads(SMALL))]),
    (b"[\n[\n1,\n\xff\n]]\n", 1 << 20, [(1, NOT_UTF8.format(7)), (2, NOT_UTF8.format(5)), (3, 1),
                                         (3, "invalid JSON: Expecting value: line 3 column 2")]),
    # ... but for a string that runs to the end of its line, whose reason depends on how many lines the
    # reading had taken when it found it: a line after it, a control character; none, unterminated.
    (b'[\n[\n[\n[\n"cut\n1]]]]\n', 1 << 20, [(1, "invalid JSON: Invalid control character at: line 5 column 5"),
                                            *((n, UNTERMINATED.format(5)) for n in range(2, 6)), (6, 1),
                                            (6, "invalid JSON: Expecting value: line 6 column 2")]),
    (b'[\n[\n"cut\n', 1 << 20, [(n, UNTERMINATED.format(3)) for n in range(1, 4)]),
    # Past the nesting limit before it ends: so is every value still open where it passed the limit.
    (b"[1,\n" * 1003, 1 << 20, [*((n, nesting.TOO_DEEP) for n in range(1, 1001)),
                                *((n, "invalid JSON: Expecting value: line 1003 column 4") for n in range(1001, 1004))]),
    # A byte that is not UTF-8 in a value is its reason at once, not once the rest of the input is read.
    (b'{"a":\n\xff\n' + b"[" + b"1," * 100 + b"1]\n", 64, [(1, NOT_UTF8.format(6))]),
], ids=["closes inside", "open where it failed", "open at a byte not UTF-8", "string cut, lines after",
        "string cut at the end", "past the nesting limit", "not UTF-8 before the size limit"])
def test_a_value_that_opens_inside_a_damaged_one_is_judged_as_read_on_its_own(data: bytes, limit: int,
                                                                              expected: list[Any]) -> None:
    assert judged(data, limit) == expected


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
    ('[[ "x [[[', 5), ('["a", "b\\"]]', 1),  # a string never closed leaves the rest bare
])
def test_levels_are_counted_in_the_text_strings_left_out(text: str, levels: int) -> None:
    assert nesting.depth(text.encode()) == levels


@pytest.mark.parametrize("levels", [nesting.MAX_DEPTH - 20, nesting.MAX_DEPTH, nesting.MAX_DEPTH + 1])
@pytest.mark.parametrize("stack", [0, 400, 900])
@pytest.mark.parametrize("strict", [False, True])
def test_the_limit_is_the_same_however_deep_the_stack(levels: int, stack: int, strict: bool) -> None:
    text = '{"a": ' + "[" * (levels - 1) + "]" * (levels - 1) + ', "b": []}'  # one bracket more than levels
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
    assert ok == expected_ok and (not ok or same(value.value, expected)), (text, value, expected)
    if ok:  # what it notes while parsing misses nothing: keys given twice, and numbers the walk would name
        twice: list[bool] = []
        json.JSONDecoder(object_pairs_hook=lambda pairs: twice.append(len(dict(pairs)) < len(pairs)) or dict(pairs)).decode(
            data.decode("utf-8"))
        assert bool(value.twice) == any(twice) and (value.numbers or not readings.readings(expected, {}, 1)[0]), text


PAST = "an integer past the double range, which other readers read as Infinity or refuse"
DEEP = "[" * 100 + "NaN" + "]" * 100


@pytest.mark.parametrize("text, listed, more", [
    ('{"a": 1, "a": 2}', ['duplicate key "a"'], 0),
    ('{"x": [{"b": 1, "c": 2, "b": 3, "c": 4}], "y": {"\\u00e9": 1, "é": 2}}',
     ['duplicate key "b" in x[0]', 'duplicate key "c" in x[0]', 'duplicate key "é" in y'], 0),
    ('{"a\\u003ab": 1, "a:b": 2}', ['duplicate key "a:b"'], 0),  # the colon escaped: as many colons as come back
    ('{"a\\u003Ab": 1, "a:b": 2, "c": "\\u003A"}', ['duplicate key "a:b"'], 0),  # and one more colon written back
    ('{"a": {"x": 1, "x": 2}, "a": 3}', ['duplicate key "a"'], 0),  # the object with a key twice was itself replaced
    ('{"a": [1, NaN], "b": {"c": -Infinity}, "d": 1e400, "e": 1.5, "f": 1e-400}',
     ["a[1] is NaN, which JSON does not have", "b.c is -Infinity, which JSON does not have",
      "d is Infinity, which JSON does not have"], 0),
    ('{"n": 1' + "0" * 308 + ', "h": ' + "9" * 308 + ', "m": -' + "9" * 309 + ', "k": 123}',  # 1e308 is still a double
     [f"m is {PAST}"], 0),
    ('{"p": ' + "9" * 309 + ', "q": "\\u003a"}', [f"p is {PAST}"], 0),  # no sign, and read by json: the escape sends it there
    ('{"z": [NaN], "z": 0, "a": [' + ", ".join(["NaN"] * 30) + "]}",  # keys before numbers, 20 at most
     ['duplicate key "z"'] + [f"a[{i}] is NaN, which JSON does not have" for i in range(19)], 11),
    ('{"a": ' + DEEP + "}", ["a" + "[0]" * 26 + "..." + "[0]" * 27 + " is NaN, which JSON does not have"], 0),
    ('{"a": {"b": [1, "NaN"]}}', [], 0),
], ids=["twice", "twice within", "escaped colon", "escaped colon, colons even", "replaced", "NaN and Infinity",
        "past the double range", "309 digits", "listed",
        "deep path", "nothing"])
@pytest.mark.parametrize("layout", ["one line", "over lines"])
def test_what_other_readers_read_differently_is_named_with_its_path(text: str, listed: list[str], more: int,
                                                                   layout: str) -> None:
    noted = documents.parse_json(text.encode(), strict=True) if layout == "one line" else \
        stream(text.replace(", ", ",\n"), strict=True)[0][1]  # the stream reader's way for a value over lines
    assert readings.readings(noted.value, noted.twice, 20) == (listed, more)
    assert (bool(noted.twice), noted.numbers or bool(noted.twice)) == (any("duplicate" in x for x in listed), bool(listed))
    plain = documents.parse_json(text.encode())  # the default reader notes nothing; a walk finds the numbers still
    numbers = [x for x in listed if "duplicate key" not in x]
    assert not isinstance(plain, readings.Noted) and readings.readings(plain, {}, len(numbers))[0] == numbers
