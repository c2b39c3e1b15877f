"""`verify --scheduler` on a real Dask cluster: a scheduler and two worker processes on 127.0.0.1."""

from __future__ import annotations

import contextlib
import json
import os
import re
import sys
from collections.abc import Iterator
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import pytest

pytest.importorskip("distributed", reason='needs the dask extra: pip install "brimwick-manifest[dask]"')

from distributed import Client, get_task_stream  # noqa: E402
from distributed.utils import key_split  # noqa: E402
from loopback import START_SECONDS, DaskCluster  # noqa: E402

from brimwick.output import cli, verification  # noqa: E402
from brimwick.output.verify import cluster as on_cluster  # noqa: E402
from brimwick.output.verify import planning, report, tasks  # noqa: E402

DOC = json.loads(json.dumps(cli.demo_envelope().to_dict()))
BAD = {**DOC, "findings": DOC["findings"][1:]}


@pytest.fixture(scope="module")
def cluster() -> Iterator[DaskCluster]:
    cluster = DaskCluster(2)  # handed over once both workers have joined
    try:
        with Client(cluster.address, timeout=START_SECONDS) as client:
            assert all(worker.startswith("tcp://127.0.0.1:") for worker in client.scheduler_info()["workers"])
        yield cluster
    finally:
        cluster.close()


@pytest.fixture
def scheduler(cluster: DaskCluster) -> str:
    return cluster.address


def test_verdicts_and_exit_code_match_the_local_run(scheduler: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                    capsys: pytest.CaptureFixture[str]) -> None:
    monkeypatch.setattr(tasks, "MIN_RANGE_BYTES", 16 * 1024)  # several byte-range tasks per file
    lines = [json.dumps(DOC)] * 12 + [json.dumps(BAD), '{"tenant_id": "cut'] + [json.dumps(DOC)] * 12
    (tmp_path / "scans.jsonl").write_text("\n".join(lines) + "\n")
    (tmp_path / "pretty.json").write_text(json.dumps(DOC, indent=2) + "\n" + json.dumps(BAD, indent=2))
    # A key given twice: OK, and INCONSISTENT to the strict reader only.
    (tmp_path / "twice.json").write_text(f'{{"scan_profile": "{DOC["scan_profile"]}", ' + json.dumps(DOC)[1:])
    files = [str(tmp_path / name) for name in ("scans.jsonl", "pretty.json", "absent.json", "twice.json")]
    outputs = []
    for extra in ([], ["--jobs", "2"], ["--scheduler", scheduler], ["--scheduler", scheduler, "--strict", "-q"], ["--strict", "-q"]):
        code = cli.main(["verify", *extra, *files])
        outputs.append((code, capsys.readouterr().out))
    assert outputs[0] == outputs[1] == outputs[2] and outputs[3] == outputs[4]
    code, out = outputs[0]
    assert code == 1 and out.count(": OK\n") == 26 and "scans.jsonl:13: CORRUPT" in out and "scans.jsonl:14: INVALID" in out
    assert f"{tmp_path / 'pretty.json'}:{json.dumps(DOC, indent=2).count(chr(10)) + 2}: CORRUPT" in out
    assert out.endswith("30 documents: 26 ok, 2 corrupt, 2 invalid\n")
    assert f"{tmp_path / 'twice.json'}: INCONSISTENT: duplicate key \"scan_profile\"\n" in outputs[4][1]
    small = [str(tmp_path / f"{n:02d}.json") for n in range(40)]
    for file in small:
        Path(file).write_text(json.dumps(DOC))
    with Client(scheduler, timeout=START_SECONDS) as client:  # the library entry point, with the caller's client
        verdicts = list(verification.verify_on_dask(client, files[:1]))
        dask_tasks: list[int] = []
        plain_map = client.map
        monkeypatch.setattr(client, "map", lambda fn, work, *rest, **kwargs: dask_tasks.append(len(work)) or
                            plain_map(fn, work, *rest, **kwargs))
        bundled = [(v.label, v.status) for v in verification.verify_on_dask(client, small)]
    assert [v.status for v in verdicts] == ["OK"] * 12 + ["CORRUPT", "INVALID"] + ["OK"] * 12
    assert bundled == [(file, "OK") for file in small] and dask_tasks == [2]  # small files, 32 to a Dask task


def test_an_unreachable_scheduler_is_one_line_and_exit_2(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                         capsys: pytest.CaptureFixture[str]) -> None:
    (tmp_path / "a.json").write_text(json.dumps(DOC))
    from brimwick.output import distributed

    monkeypatch.setattr(distributed, "CONNECT_SECONDS", 2)
    assert cli.main(["verify", "--scheduler", "tcp://127.0.0.1:9", str(tmp_path / "a.json")]) == 2
    assert capsys.readouterr().err == "brimwick-manifest: cannot reach the Dask scheduler at tcp://127.0.0.1:9: Connection refused\n"


def benchmark_modules() -> tuple[Any, Any]:
    benchmarks = str(Path(__file__).resolve().parents[1] / "benchmarks")
    if benchmarks not in sys.path:
        sys.path.insert(0, benchmarks)
    import scaling
    import verify as benchmark

    return scaling, benchmark


def test_the_benchmark_measures_the_cluster_costs_it_reports(cluster: DaskCluster, tmp_path: Path,
                                                             monkeypatch: pytest.MonkeyPatch,
                                                             capsys: pytest.CaptureFixture[str]) -> None:
    """No run of the suite runs the benchmark otherwise: its cluster rows, on small inputs, each print a figure,
    count the processes they name, run the tasks they say and leave no file behind."""
    scaling, benchmark = benchmark_modules()
    path, tiny = tmp_path / "scans.jsonl", tmp_path / "tiny.jsonl"
    benchmark.generate(path, 200)
    benchmark.generate(tiny, 20)
    counted = scaling._processes(cluster)
    assert [[p.pid for p in counted[name]] for name in ("command", "scheduler", "workers")] == \
        [[os.getpid()], [cluster.scheduler.pid], [worker.pid for worker in cluster.workers]]
    monkeypatch.setattr(scaling, "MEASURED_TASKS", 10)
    assert scaling.per_task_cpu(path, cluster, 2, idle=True)
    assert not scaling.per_task_cpu(tiny, cluster, 1)
    with Client(cluster.address, set_as_default=False) as client, get_task_stream(client) as stream:
        plan, sent = planning.plan_run([str(path)] * 3, range_bytes=64 << 10), []
        mapping = client.map
        monkeypatch.setattr(client, "map", lambda *args, **kwargs: sent.append(len(args[1])) or mapping(*args, **kwargs))
        scaling._idle_tasks(client, on_cluster.dask_runner(client, tasks.Options()), plan)
    assert [key_split(task["key"]) for task in stream.data] == ["TaskResult"] * len(plan.tasks)  # nothing verified
    assert sent[0] == 32 and sum(sent) == len(plan.tasks)  # as the command sends them (2 workers)
    oks: list[int] = []
    counting = report.Report.count_ok
    monkeypatch.setattr(report.Report, "count_ok", lambda self, count: oks.append(count) or counting(self, count))
    monkeypatch.setattr(tasks, "MAX_RANGE_BYTES", 64 << 10)  # several ranges, as many for either file
    scaling.ok_verdict_cpu(tmp_path, cluster.address, 2, documents=200)
    out = capsys.readouterr().out
    assert re.search(r"on 2 workers, sent 16 at a time \(\d+ tasks of 64 KiB against 1 of 16 MiB.*command \+ scheduler "
                     r"\d+\.\d\d ms", out)
    assert "(no CPU per task: " in out and out.count("the same tasks doing nothing") == 1
    assert re.search(r"the same tasks doing nothing, .*together \d+\.\d\d ms a task", out)
    ranges = re.search(r"at most \(200 and 800 OK verdicts, in (\d+) and \1 ranges of up to 0 MiB.*\): (-?[\d.]+) µs", out)
    assert ranges and int(ranges[1]) > 1 and float(ranges[2]) != 0 and sum(oks) == 2 * (200 + 800)
    assert sorted(file.name for file in tmp_path.iterdir()) == ["scans.jsonl", "tiny.jsonl"]


def test_the_benchmark_keeps_the_least_of_runs_taken_in_turns(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                               capsys: pytest.CaptureFixture[str]) -> None:
    """On a scripted clock: a verifying task costs the command 1 ms (a quarter in the kernel), one doing nothing
    0.5 ms, every run 10 ms more; two runs 1 s more still: the verifying one on small ranges in the first round
    after the warm-up, the idle one on large ranges in the second."""
    scaling, benchmark = benchmark_modules()
    benchmark.generate(tmp_path / "scans.jsonl", 200)
    runs: list[tuple[str, int]] = []
    spent = {"user": 0.0, "system": 0.0}

    def charge(kind: str, plan: Any) -> None:
        runs.append((kind, len(plan.tasks)))
        per_task = 1e-3 if kind == "verify" else 0.5e-3
        spent["user"] += 0.75 * per_task * len(plan.tasks) + 0.01 + (1.0 if len(runs) in (4, 9) else 0.0)
        spent["system"] += 0.25 * per_task * len(plan.tasks)

    command = SimpleNamespace(cpu_times=lambda: SimpleNamespace(**spent))
    idle = SimpleNamespace(cpu_times=lambda: SimpleNamespace(user=0.0, system=0.0))
    monkeypatch.setattr(scaling, "_processes", lambda cluster: {"command": [command], "scheduler": [idle],
                                                                 "workers": [idle]})
    monkeypatch.setattr(scaling, "_verified", lambda client, plan: charge("verify", plan))
    monkeypatch.setattr(scaling, "_idle_tasks", lambda client, runner, plan: charge("idle", plan))
    monkeypatch.setattr(scaling, "MEASURED_TASKS", 10)
    monkeypatch.setattr(on_cluster, "dask_runner", lambda client, options: SimpleNamespace(batch=16))
    monkeypatch.setattr("distributed.Client", lambda *args, **kwargs: contextlib.nullcontext())
    scaling.per_task_cpu(tmp_path / "scans.jsonl", SimpleNamespace(address="", workers=[1, 2]), 2, idle=True)
    out = capsys.readouterr().out
    assert "command 1.00 ms, scheduler 0.00 ms, workers 0.00 ms; command + scheduler 1.00 ms, of which in the " \
           "kernel 0.25 ms" in out and "together 0.50 ms a task" in out
    assert runs[:2] == [("verify", 19), ("idle", 19)] and len(set(runs[2:6])) == len(set(runs[6:])) == 4


def test_the_benchmark_pairs_its_printing_runs_and_stops_at_one_that_fails(tmp_path: Path,
                                                                           monkeypatch: pytest.MonkeyPatch) -> None:
    _, benchmark = benchmark_modules()
    runs: list[list[str]] = []

    def timed(name: str, argv: list[str], trial: str) -> tuple[float, int, int, float]:
        runs.append(argv)  # CPU: 1 s for -q; the printing run of each trial 0.1 s cheaper than the one before
        return 9.0, 0, int("--fail" in argv), 1.0 if "-q" in argv else 3.0 - 0.1 * len(runs)

    monkeypatch.setattr(benchmark, "timed", timed)
    differences = benchmark.printing_in_whole_runs(["verify", "-q"], tmp_path, 3, documents=1000)
    assert ["-q" in argv for argv in runs] == [True, False] * 3
    assert differences == pytest.approx([1.4e-3, 1.6e-3, 1.8e-3])
    with pytest.raises(RuntimeError, match="exit status 1"):
        benchmark.printing_in_whole_runs(["verify", "-q", "--fail"], tmp_path, 1, documents=10)
    assert list(tmp_path.iterdir()) == []


def test_the_benchmark_stops_every_cluster_it_starts(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    scaling, _ = benchmark_modules()
    started: list[Any] = []

    class Started:
        def __init__(self, workers: int, env: Any = None) -> None:
            self.address, self.workers, self.closed = "tcp://127.0.0.1:1", [None] * workers, False
            started.append(self)

        def close(self) -> None:
            self.closed = True

    monkeypatch.setattr(scaling, "DaskCluster", Started)
    for row in ("fixed_costs", "ok_verdict_cpu", "store_tasks", "small_files"):
        monkeypatch.setattr(scaling, row, lambda *args, **kwargs: None)
    monkeypatch.setattr(scaling, "per_task_cpu", lambda *args, **kwargs: True)
    scaling.run(["verify"], tmp_path / "scans.jsonl", tmp_path, 0, 1, s3=False)
    assert [(len(cluster.workers), cluster.closed) for cluster in started] == [(2, True), (8, True)]
