"""One task to its verdicts: bounded lines, reading ahead, and the packed results workers send back."""

from __future__ import annotations

import gc
import json
import pickle
import threading
import tracemalloc
from typing import Any

import pytest

from brimwick.output.verify import planning, tasks
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
    lines = [good] * (6 * READ_BYTES // len(good) + 5)
    lines[7], lines[-3] = json.dumps(corrupt(DEMO)), good[:-9]
    path = tmp_path / "big.jsonl"
    path.write_text("\n".join(lines) + "\n")
    made = []

    class Counted(ReadAhead):
        def __init__(self, handle: Any) -> None:
            made.append(self)
            super().__init__(handle)

    def reading_threads() -> list[threading.Thread]:
        return [thread for thread in threading.enumerate() if thread.name == "brimwick-read-ahead"]

    monkeypatch.setattr(tasks, "ReadAhead", Counted)
    ranges = 5 * READ_BYTES // 2  # the first range's reader has read past its end when the range ends
    ahead = list(verify_sources([str(path)], range_bytes=ranges))
    assert made and not reading_threads()
    early = verify_sources([str(path)], range_bytes=ranges)
    next(early)
    early.close()  # a caller that stops early leaves no reader behind, and the cycle collector on
    assert not reading_threads() and gc.isenabled()

    class Direct:
        def __init__(self, handle: Any) -> None:
            self.read = handle.read

        def close(self) -> None:
            pass

    monkeypatch.setattr(tasks, "ReadAhead", Direct)
    assert ahead == list(verify_sources([str(path)], range_bytes=ranges))
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
        collecting.append(gc.isenabled())
        for line in range(1, count + 1):
            counter[0] = line
            yield line, "OK", ""

    monkeypatch.setattr(tasks, "task_verdicts", verdicts)
    collecting: list[bool] = []
    tracemalloc.start()
    try:
        result = tasks.run_task(tasks.Task(0, "big.jsonl.gz"), tasks.Options())
        peak = tracemalloc.get_traced_memory()[1]
        gc.disable()  # a caller that runs without the cycle collector is left without it
        try:
            tasks.run_task(tasks.Task(0, "big.jsonl.gz"), tasks.Options())
            collecting.append(gc.isenabled())
        finally:
            gc.enable()
    finally:
        tracemalloc.stop()
    assert result.ok_count() == result.lines == count and peak < 40 * count
    assert collecting == [False, False, False] and gc.isenabled()


GB = 10**9


@pytest.mark.parametrize("total, workers", [(600 * GB, 10), (600 * GB, 100), (600 * GB, 1000), (120 * 10**6, 2),
                                            (500 * 10**6, 2), (3 * 10**6, 4), (1, 8)],
                         ids=["600 GB on 10", "600 GB on 100", "600 GB on 1000", "120 MB on 2", "500 MB on 2",
                              "3 MB on 4", "1 byte"])
def test_ranges_follow_the_input_s_size_and_the_workers(total: int, workers: int, monkeypatch: Any) -> None:
    monkeypatch.setattr(planning, "sizes_of", lambda sources: [total])
    cut = planning.plan_run(["store.jsonl"], workers).tasks
    assert [(t.start, t.stop or total) for t in cut] == [(t.start, t.start + t.size) for t in cut]
    assert cut[0].start == 0 and cut[-1].stop is None and sum(t.size for t in cut) == total  # all of it, once
    assert all(a.start + a.size == b.start for a, b in zip(cut, cut[1:]))
    assert cut[0].size <= 1 << 20  # the first verdicts wait for one small range only
    # Every worker gets its 8 ranges where the input has room for them, so a slow one holds back
    # little; a large store is cut in at most about 10,000 ranges, each costing ~1 ms beside its work.
    assert len(cut) >= min(8 * workers, total // (1 << 20))
    assert max(t.size for t in cut) <= (64 << 20 if total > 10_000 * (16 << 20) else 16 << 20)
    assert len(cut) <= 10_000


def _whole(index: int, size: int, here: bool = False) -> tasks.Task:
    return tasks.Task(index, f"in-{index}.json", size=size, total=size, here=here)


SMALL = 256 << 10


@pytest.mark.parametrize("cut, shape", [
    ([_whole(n, 100) for n in range(70)], [32, 32, 6]),  # 32 inputs a job at most
    ([_whole(n, SMALL) for n in range(5)], [4, "task"]),  # and 1 MiB: four of the largest small ones
    ([*(_whole(n, SMALL) for n in range(4)), _whole(4, 1)], [4, "task"]),  # not a byte more
    ([_whole(n, 32 << 10) for n in range(40)], [32, 8]),  # a bundle closed on its count starts the next afresh
    ([_whole(0, SMALL), _whole(1, SMALL + 1), _whole(2, SMALL), _whole(3, 0)], ["task", "task", 2]),
    ([_whole(0, 10), _whole(1, 10), tasks.Task(2, "big.jsonl", 0, 4096, True, 4096, 8192),
      tasks.Task(2, "big.jsonl", 4096, None, True, 4096, 8192), _whole(3, 10), _whole(4, 0, here=True),
      _whole(5, 10), _whole(6, 10)], [2, "task", "task", "task", "task", 2]),  # ranges and streams alone
    ([_whole(0, 10), _whole(1, 10), tasks.Task(2, "s3://bucket/x.json", size=10, total=10), _whole(3, 10),
      tasks.Task(4, "x.JSON.GZ", size=10, total=10), _whole(5, 10), _whole(6, 10)],
     [2, "task", "task", "task", 2]),  # objects in storage and files compressed by name alone
], ids=["count", "bytes", "a byte more", "count then bytes", "a larger input", "ranges and streams",
        "remote and compressed"])
def test_small_whole_inputs_share_a_job_of_about_a_first_range_s_work(cut: list[tasks.Task], shape: list[Any]) -> None:
    from brimwick.output.verify.bundles import Bundle, bundled

    work = bundled(cut)
    assert [len(item.tasks) if isinstance(item, Bundle) else "task" for item in work] == shape
    assert [task for item in work for task in (item.tasks if isinstance(item, Bundle) else [item])] == cut
