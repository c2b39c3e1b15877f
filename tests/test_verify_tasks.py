"""One task to its verdicts: bounded lines, reading ahead, and the packed results workers send back."""

from __future__ import annotations

import json
import pickle
import tracemalloc
from typing import Any

import pytest

from brimwick.output.verify import tasks
from brimwick.output.verify.lines import READ_BYTES, ReadAhead
from brimwick.output.verify.ordered import verify_sources


def test_a_line_over_the_limit_is_invalid_and_reading_goes_on(tmp_path: Any) -> None:
    doc = json.dumps({"tenant_id": "t", "integrity_checksum": "", "manifest_hash": ""})
    path = tmp_path / "scans.jsonl"
    path.write_text("\n".join([doc, "[" + "0," * 40_000 + "0]", doc, '"' + "z" * 300_000]) + "\n")
    options = tasks.Options(max_document_bytes=64 * 1024)
    got = [(v.label.rsplit(":", 1)[1], v.status, v.detail) for v in verify_sources([str(path)], options)]
    big = "larger than the 64 KiB limit for one document (--max-document-bytes)"
    assert got == [("1", "INVALID", "no integrity checksum stored"), ("2", "INVALID", big),
                   ("3", "INVALID", "no integrity checksum stored"), ("4", "INVALID", big)]
    pretty = tmp_path / "pretty.json"  # a multi-line value outgrowing the limit, then a good one
    pretty.write_text(json.dumps({"a": list(range(30_000))}, indent=1) + "\n" + doc + "\n")
    got = [(v.label.rsplit(":", 1)[1], v.detail) for v in verify_sources([str(pretty)], options)]
    assert got[0] == ("1", big) and got[-1][1] == "no integrity checksum stored" and len(got) == 2


def test_large_files_read_ahead_with_the_same_verdicts(tmp_path: Any, monkeypatch: Any) -> None:
    from test_cli import DEMO, corrupt

    good = json.dumps(DEMO)
    lines = [good] * (3 * READ_BYTES // len(good) + 5)
    lines[7], lines[-3] = json.dumps(corrupt(DEMO)), good[:-9]
    path = tmp_path / "big.jsonl"
    path.write_text("\n".join(lines) + "\n")
    made = []

    class Counted(ReadAhead):
        def __init__(self, handle: Any) -> None:
            made.append(self)
            super().__init__(handle)

    monkeypatch.setattr(tasks, "ReadAhead", Counted)
    ahead = list(verify_sources([str(path)], range_bytes=4 << 20))
    assert made

    class Direct:
        def __init__(self, handle: Any) -> None:
            self.read = handle.read

        def close(self) -> None:
            pass

    monkeypatch.setattr(tasks, "ReadAhead", Direct)
    assert ahead == list(verify_sources([str(path)], range_bytes=4 << 20))
    assert [(v.label.rsplit(":", 1)[1], v.status) for v in ahead if v.status != "OK"] == [
        ("8", "CORRUPT"), (str(len(lines) - 2), "INVALID")]


@pytest.mark.parametrize("verdicts", [
    [],
    [(0, "INVALID", "cannot read: gone")],
    [(1, "OK", ""), (1, "CORRUPT", "x"), (1, "OK", ""), (2, "INVALID", "y")],  # values sharing a line keep their order
    [(3, "INVALID", "a"), (4, "OK", ""), (9, "OK", ""), (12, "CORRUPT", "b"), (13, "INVALID", "c"), (20, "OK", "")],
    [(n, "OK", "") for n in range(1, 500)],
], ids=["none", "whole input", "one line", "mixed", "all OK"])
def test_task_results_travel_packed_and_come_back_whole(verdicts: list[tuple[int, str, str]]) -> None:
    result = pickle.loads(pickle.dumps(tasks.TaskResult.of(iter(verdicts), 42)))
    assert list(result.verdicts()) == verdicts and result.lines == 42


def test_a_worker_packs_each_verdict_as_it_comes(monkeypatch: Any) -> None:
    # A whole input to one worker (a compressed store) may hold millions of documents: 8 bytes each
    # for an OK verdict, never a tuple each held to the end.
    count = 200_000

    def verdicts(task: Any, options: Any, counter: list[int]) -> Any:
        for line in range(1, count + 1):
            counter[0] = line
            yield line, "OK", ""

    monkeypatch.setattr(tasks, "task_verdicts", verdicts)
    tracemalloc.start()
    try:
        result = tasks.run_task(tasks.Task(0, "big.jsonl.gz"), tasks.Options())
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert result.ok_count() == result.lines == count and peak < 40 * count
