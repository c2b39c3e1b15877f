"""The document reader: exactly json.loads's values, any layout, any byte ranges, bounded lines."""

from __future__ import annotations

import io
import json
import math
import subprocess
import sys
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from brimwick.output import reading, verification
from brimwick.output.reading import Damaged


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
    except (ValueError, RecursionError, reading.Unreadable):
        return False, None


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.tuples(space(), VALUES, space()).map("".join))
def test_parse_json_gives_exactly_what_json_loads_gives(text: str) -> None:
    data = text.encode("utf-8", "surrogatepass")
    ok, value = outcome(reading.parse_json, data)
    expected_ok, expected = outcome(lambda d: json.loads(d.decode("utf-8")), data)
    assert ok == expected_ok and (not ok or same(value, expected)), (text, value, expected)


@pytest.mark.parametrize("text", ["9" * 4301, '{"a": [-' + "1" * 5000 + "]}", "[" * 3000 + "]" * 3000, '"\\ud800"', "1e400"],
                         ids=["digit limit", "digit limit inside", "deep", "lone surrogate", "out of range"])
def test_what_the_fast_parser_refuses_is_read_as_json_reads_it(text: str) -> None:
    ok, value = outcome(reading.parse_json, text.encode())
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
    got = [v for _, v in reading.stream_values(reading.iter_lines(io.BytesIO(data).read, skip_first=False, end=None,
                                                                   limit=1 << 20, counter=[0]), 1 << 20)]
    assert len(got) == len(values) and all(same(g, v) for g, v in zip(got, values)), (text, got)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(["", "a", "bb", "{}", "x" * 40, "y" * 9]), max_size=20), st.booleans(),
       st.lists(st.integers(1, 400), max_size=8), st.integers(1, 8))
def test_byte_ranges_own_every_line_exactly_once(lines: list[str], final_break: bool, cuts: list[int], read_bytes: int) -> None:
    data = ("\n".join(lines) + ("\n" if final_break and lines else "")).encode()
    limit = 20  # the long lines come back as None
    bounds = sorted({0, *(c for c in cuts if c < len(data))}) + [len(data)]
    owned: list[bytes | None] = []
    total = 0
    for start, stop in zip(bounds, bounds[1:]):
        stream = io.BytesIO(data)
        stream.seek(max(0, start - 1))
        counter = [0]
        read = lambda n, s=stream: s.read(min(n, read_bytes))  # noqa: E731 - reads of every size
        owned += list(reading.iter_lines(read, skip_first=start > 0, end=None if stop == len(data) else stop - start,
                                         limit=limit, counter=counter))
        total += counter[0]
    expected = data.split(b"\n")
    if expected and expected[-1] == b"":
        expected.pop()
    assert owned == [line if len(line) <= limit else None for line in expected] and total == len(expected)


def test_a_line_over_the_limit_is_invalid_and_reading_goes_on(tmp_path: Any) -> None:
    doc = json.dumps({"tenant_id": "t", "integrity_checksum": "", "manifest_hash": ""})
    path = tmp_path / "scans.jsonl"
    path.write_text("\n".join([doc, "[" + "0," * 40_000 + "0]", doc, '"' + "z" * 300_000]) + "\n")
    options = verification.Options(max_document_bytes=64 * 1024)
    got = [(v.label.rsplit(":", 1)[1], v.status, v.detail) for v in verification.verify_sources([str(path)], options)]
    big = "larger than the 64 KiB limit for one document (--max-document-bytes)"
    assert got == [("1", "INVALID", "no integrity checksum stored"), ("2", "INVALID", big),
                   ("3", "INVALID", "no integrity checksum stored"), ("4", "INVALID", big)]
    pretty = tmp_path / "pretty.json"  # a multi-line value outgrowing the limit, then a good one
    pretty.write_text(json.dumps({"a": list(range(30_000))}, indent=1) + "\n" + doc + "\n")
    got = [(v.label.rsplit(":", 1)[1], v.detail) for v in verification.verify_sources([str(pretty)], options)]
    assert got[0] == ("1", big) and got[-1][1] == "no integrity checksum stored" and len(got) == 2


def test_an_endless_line_is_reported_at_once_in_bounded_memory() -> None:
    with subprocess.Popen([sys.executable, "-m", "brimwick.output.cli", "verify", "--max-document-bytes", "4M", "/dev/zero"],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as proc:
        try:
            assert proc.stdout is not None
            first = proc.stdout.readline()  # the verdict arrives while reading goes on
            assert first == b"/dev/zero:1: INVALID: larger than the 4 MiB limit for one document (--max-document-bytes)\n"
            with open(f"/proc/{proc.pid}/status") as status:
                rss_kib = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
            assert rss_kib < 200_000
        finally:
            proc.kill()
            proc.wait(timeout=30)


@pytest.mark.parametrize("doc, expected", [
    (Damaged("why"), ("INVALID", "why")),
    ("text", ("INVALID", "not a JSON object (got text)")),
    (None, ("INVALID", "not a JSON object (got null)")),
    ({"integrity_checksum": "", "manifest_hash": None}, ("INVALID", "no integrity checksum stored")),
])
def test_check_document_on_what_is_not_an_envelope(doc: Any, expected: tuple[str, str]) -> None:
    assert verification.check_document(doc) == expected


def test_process_runs_keep_every_worker_busy_and_at_most_two_ranges_each_in_flight(tmp_path: Any, monkeypatch: Any) -> None:
    # Threads stand in for the worker processes; what is measured is how many
    # byte ranges the command has handed out and not yet collected.
    import concurrent.futures

    in_flight = [0, 0]  # now, most

    class Counting(concurrent.futures.ThreadPoolExecutor):
        def submit(self, fn: Any, /, *args: Any, **kwargs: Any) -> Any:
            in_flight[0] += 1
            in_flight[1] = max(in_flight)
            future = super().submit(fn, *args, **kwargs)
            result = future.result

            def collected(timeout: Any = None) -> Any:
                in_flight[0] -= 1
                return result(timeout)

            future.result = collected  # type: ignore[method-assign]
            return future

    monkeypatch.setattr(concurrent.futures, "ProcessPoolExecutor", Counting)
    path = tmp_path / "many.jsonl"
    path.write_text("".join(json.dumps({"n": i, "pad": "x" * 2000}) + "\n" for i in range(400)))
    monkeypatch.setattr(verification, "range_bytes_for", lambda total, workers: 16 * 1024)  # about 50 ranges
    verdicts = list(verification.verify_in_processes([str(path)], jobs=2))
    assert len(verdicts) == 400
    assert 2 <= in_flight[1] <= 2 * 2 + 1


# ---------------------------------------------------------------- read-ahead

class FailingAfter(io.BytesIO):
    """A file whose reads fail once `good` bytes have been read."""

    def __init__(self, data: bytes, good: int) -> None:
        super().__init__(data)
        self.good = good

    def read(self, size: int | None = -1) -> bytes:
        if self.tell() >= self.good:
            raise OSError(5, "Input/output error")
        return super().read(size)


@pytest.mark.parametrize("size", [0, 1, 999, 1000, 4321])
def test_read_ahead_gives_the_blocks_in_order_then_the_end(size: int) -> None:
    data = (bytes(range(256)) * 20)[:size]
    ahead = reading.ReadAhead(io.BytesIO(data), size=1000)
    try:
        assert b"".join(iter(ahead.read, b"")) == data
        assert ahead.read() == b"" == ahead.read()
    finally:
        ahead.close()


def test_read_ahead_raises_a_read_error_in_its_turn_and_closes_at_once() -> None:
    ahead = reading.ReadAhead(FailingAfter(b"x" * 10_000, 3072), size=1024)
    got = []
    with pytest.raises(OSError, match="Input/output"):
        while True:
            got.append(ahead.read())
    assert b"".join(got) == b"x" * 3072 and ahead.read() == b""
    ahead.close()
    # Closed while its thread waits for room to hand a block over.
    ahead = reading.ReadAhead(io.BytesIO(b"y" * 100_000), size=10, depth=1)
    ahead.close()
    assert not ahead._thread.is_alive()


def test_large_files_read_ahead_with_the_same_verdicts(tmp_path: Any, monkeypatch: Any) -> None:
    from test_cli import DEMO, corrupt

    good = json.dumps(DEMO)
    lines = [good] * (3 * reading.READ_BYTES // len(good) + 5)
    lines[7], lines[-3] = json.dumps(corrupt(DEMO)), good[:-9]
    path = tmp_path / "big.jsonl"
    path.write_text("\n".join(lines) + "\n")
    made = []

    class Counted(reading.ReadAhead):
        def __init__(self, handle: Any) -> None:
            made.append(self)
            super().__init__(handle)

    monkeypatch.setattr(verification, "ReadAhead", Counted)
    ahead = list(verification.verify_sources([str(path)], range_bytes=4 << 20))
    assert made

    class Direct:
        def __init__(self, handle: Any) -> None:
            self.read = handle.read

        def close(self) -> None:
            pass

    monkeypatch.setattr(verification, "ReadAhead", Direct)
    assert ahead == list(verification.verify_sources([str(path)], range_bytes=4 << 20))
    assert [(v.label.rsplit(":", 1)[1], v.status) for v in ahead if v.status != "OK"] == [
        ("8", "CORRUPT"), (str(len(lines) - 2), "INVALID")]


def test_raw_verdicts_label_as_verdicts_do(tmp_path: Any) -> None:
    from test_cli import DEMO, corrupt

    good = json.dumps(DEMO)
    files = {"one.json": good, "two.jsonl": good + "\n\n" + json.dumps(corrupt(DEMO)) + "\n", "empty.json": "",
             "stream.json": good + "\n" + good + "\n"}
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    sources = [str(tmp_path / name) for name in files] + [str(tmp_path / "missing.jsonl")]
    raw = list(verification.raw_verdicts(sources))
    assert [verification.Verdict(verification.label(n, line), s, d) for n, line, s, d in raw] == \
        list(verification.verify_sources(sources))
    assert [verification.label(n, line).rsplit("/", 1)[1] for n, line, _, _ in raw] == [
        "one.json", "two.jsonl:1", "two.jsonl:3", "empty.json", "stream.json:1", "stream.json:2", "missing.jsonl"]


@pytest.mark.parametrize("verdicts", [
    [],
    [(0, "INVALID", "cannot read: gone")],
    [(1, "OK", ""), (1, "CORRUPT", "x"), (1, "OK", ""), (2, "INVALID", "y")],  # values sharing a line keep their order
    [(3, "INVALID", "a"), (4, "OK", ""), (9, "OK", ""), (12, "CORRUPT", "b"), (13, "INVALID", "c"), (20, "OK", "")],
    [(n, "OK", "") for n in range(1, 500)],
], ids=["none", "whole input", "one line", "mixed", "all OK"])
def test_task_results_travel_packed_and_come_back_whole(verdicts: list[tuple[int, str, str]]) -> None:
    import pickle

    result = pickle.loads(pickle.dumps(verification.TaskResult.of(iter(verdicts), 42)))
    assert list(result.verdicts()) == verdicts and result.lines == 42
