"""The cluster rows of `benchmarks/verify.py`: scaling against the machine's own ceiling, the fixed and
per-task costs of `--scheduler`, and the requests an s3:// input costs.

- Scaling: on one large JSON Lines file, `--jobs 1`, `--jobs 2` and
  `--scheduler` on two single-threaded workers, beside the machine's
  two-process ceiling: two independent `--jobs 1` runs, one on each half of
  the file, at once (the wall time of both). Trials take turns; the fastest
  of each counts.
- Fixed cost: the time from starting the command to its first verdict line.
- Per-task cost: CPU time of the command, the scheduler and the workers
  (psutil, per process) with the same file on the cluster cut into many
  small ranges and into a few large ones; the difference over the
  difference in tasks. On the 2 workers beside the same ranges given to
  tasks that do nothing, through the command's own runner; then on 8
  workers (the command sends eight tasks a worker thread at a time: 16 to
  2 workers, 64 to 8, more to a larger cluster). Then an upper bound of
  the command's CPU per OK verdict with -q, in ranges of a large store's
  size, and the tasks a 600 GB store is cut into.
- Small files: a store of 5,000 files of one document each, on one and two
  processes and on the cluster.
- Object storage: requests that moto's S3 API on 127.0.0.1 served per 100 MB.

Every server runs on 127.0.0.1 (dashboards too) and is stopped on the way out.
"""

from __future__ import annotations

import os
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import replace
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from loopback import DaskCluster, S3Server  # noqa: E402


def grow(source: Path, target: Path, megabytes: int) -> Path:
    """``target``: the lines of ``source`` over and over, to ``megabytes`` (cut at a line)."""
    data, left = source.read_bytes(), int(megabytes * 1e6)
    with open(target, "wb") as out:
        while left > 0:
            part = data if len(data) <= left else data[:data.rfind(b"\n", 0, left) + 1]
            out.write(part)
            left = left - len(part) if part else 0  # nothing fits: a line longer than what is left
    return target


def halves(path: Path) -> tuple[Path, Path]:
    """The two halves of a JSON Lines file, cut at a line."""
    whole = path.read_bytes()
    cut = whole.index(b"\n", len(whole) // 2) + 1
    parts = path.with_suffix(".a.jsonl"), path.with_suffix(".b.jsonl")
    parts[0].write_bytes(whole[:cut])
    parts[1].write_bytes(whole[cut:])
    return parts


def wall(*commands: list[str], env: dict[str, str] | None = None) -> float:
    """Seconds until every command, started at once, has ended (each must succeed)."""
    start = time.perf_counter()
    procs = [subprocess.Popen(argv, stdout=subprocess.DEVNULL, env=env) for argv in commands]
    codes = [proc.wait() for proc in procs]
    elapsed = time.perf_counter() - start
    assert codes == [0] * len(procs), f"{commands} failed: {codes}"
    return elapsed


def first_verdict(argv: list[str]) -> float:
    """Seconds from starting the command to its first verdict line."""
    start = time.perf_counter()
    with subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as proc:
        assert proc.stdout is not None
        proc.stdout.readline()
        elapsed = time.perf_counter() - start
        proc.kill()
    return elapsed


def best(trials: dict[str, Callable[[], float]], repeat: int) -> dict[str, float]:
    """The fastest of ``repeat`` runs of each, the runs taking turns."""
    times: dict[str, list[float]] = {name: [] for name in trials}
    for _ in range(repeat):
        for name, run in trials.items():
            times[name].append(run())
    return {name: min(values) for name, values in times.items()}


def scaling(cli: list[str], big: Path, halves: tuple[Path, Path], address: str, repeat: int) -> None:
    runs = best({
        "--jobs 1": lambda: wall([*cli, str(big)]),
        "--jobs 2": lambda: wall([*cli, "--jobs", "2", str(big)]),
        "--scheduler (2 workers x 1 thread)": lambda: wall([*cli, "--scheduler", address, str(big)]),
        "ceiling: 2 x --jobs 1 on the halves at once": lambda: wall(*[[*cli, str(half)] for half in halves]),
    }, repeat)
    one, ceiling = runs["--jobs 1"], runs["ceiling: 2 x --jobs 1 on the halves at once"]
    size = big.stat().st_size
    print(f"\nscaling on {size / 1e6:.0f} MB of JSON Lines; load average {os.getloadavg()[0]:.1f}; best of {repeat}")
    print(f"{'run':46} {'s':>7} {'MB/s':>7} {'x jobs 1':>8} {'of ceiling':>10}")
    for name, seconds in runs.items():
        print(f"{name:46} {seconds:7.2f} {size / 1e6 / seconds:7.1f} {one / seconds:8.2f} {ceiling / seconds:10.0%}")


def fixed_costs(cli: list[str], path: Path, address: str, repeat: int) -> None:
    cli = [arg for arg in cli if arg != "-q"]  # every verdict printed, the first one as soon as it is known
    firsts = best({"--jobs 1": lambda: first_verdict([*cli, str(path)]),
                   "--scheduler": lambda: first_verdict([*cli, "--scheduler", address, str(path)])}, repeat)
    print("\ntime to the first verdict line: " + ", ".join(f"{name} {s:.3f} s" for name, s in firsts.items()))


def _cpu_of(processes: dict[str, list[Any]]) -> Callable[[], dict[str, float]]:
    """CPU time so far (user and system) of each group of psutil processes, and the part in the kernel."""
    def cpu() -> dict[str, float]:
        times = {name: [p.cpu_times() for p in procs] for name, procs in processes.items()}
        return {**{name: sum(t.user + t.system for t in ts) for name, ts in times.items()},
                **{f"{name} in the kernel": sum(t.system for t in ts) for name, ts in times.items()}}
    return cpu


def _processes(cluster: DaskCluster) -> dict[str, list[Any]]:
    import psutil

    return {"command": [psutil.Process()], "scheduler": [psutil.Process(cluster.scheduler.pid)],
            "workers": [psutil.Process(worker.pid) for worker in cluster.workers]}


MEASURED_TASKS = 500  # more tasks of 64 KiB than of 16 MiB, at least, for a task's cost to stand above the noise


def per_task_cpu(path: Path, cluster: DaskCluster, repeat: int, idle: bool = False) -> bool:
    """CPU time per task of the command (this process: the run is made here, as the command makes it), the
    scheduler and the workers (psutil, per process): the same file cut into many small ranges and into a
    few large ones, the difference over the difference in tasks; of ``repeat`` runs each, the one in which
    the command and the scheduler spent least. False, with nothing measured, for too small a file.
    With ``idle``, in turn with those runs, the same ranges given to tasks that do nothing (an empty result
    each) through the command's own runner: what a Dask task costs the command and the scheduler, sent and
    fetched as the command sends and fetches them, whatever it does."""
    from distributed import Client

    from brimwick.output.verify.cluster import dask_runner
    from brimwick.output.verify.planning import plan_run
    from brimwick.output.verify.tasks import Options

    processes = _processes(cluster)
    cpu = _cpu_of(processes)
    plans = {range_bytes: plan_run([str(path)], range_bytes=range_bytes) for range_bytes in (16 << 20, 64 << 10)}
    if len(plans[64 << 10].tasks) - len(plans[16 << 20].tasks) < MEASURED_TASKS:
        print(f"\n(no CPU per task: {path.stat().st_size:,} bytes make fewer than {MEASURED_TASKS} more ranges of "
              f"64 KiB than of 16 MiB)")
        return False
    runs: dict[tuple[int, bool], tuple[int, dict[str, float]]] = {}
    with Client(cluster.address, set_as_default=False) as client:
        runner = dask_runner(client, Options())
        trials = {(range_bytes, False): plan for range_bytes, plan in plans.items()}
        if idle:
            trials.update({(range_bytes, True): plan for range_bytes, plan in plans.items()})
        warm = replace(plans[64 << 10], tasks=plans[64 << 10].tasks[:32])  # a new cluster's first tasks cost more
        _verified(client, warm)
        _idle_tasks(client, runner, warm)
        for _ in range(repeat):
            for key, plan in trials.items():
                before = cpu()
                if key[1]:
                    _idle_tasks(client, runner, plan)
                else:
                    _verified(client, plan)
                spent = {name: seconds - before[name] for name, seconds in cpu().items()}
                if key not in runs or spent["command"] + spent["scheduler"] < \
                        runs[key][1]["command"] + runs[key][1]["scheduler"]:
                    runs[key] = len(plan.tasks), spent
    split = _per_task(runs[16 << 20, False], runs[64 << 10, False])
    many, few = len(plans[64 << 10].tasks), len(plans[16 << 20].tasks)
    print(f"\nCPU per task on {len(cluster.workers)} workers, sent {runner.batch} at a time ({many} tasks of 64 KiB "
          f"against {few} of 16 MiB, {path.stat().st_size / 1e6:.0f} MB): " +
          ", ".join(f"{name} {split[name]:.2f} ms" for name in processes) +
          f"; command + scheduler {split['command'] + split['scheduler']:.2f} ms, of which in the kernel "
          f"{split['command in the kernel'] + split['scheduler in the kernel']:.2f} ms")
    if idle:
        empty = _per_task(runs[16 << 20, True], runs[64 << 10, True])
        print(f"the same tasks doing nothing, in turn with those runs: command {empty['command']:.2f} ms, scheduler "
              f"{empty['scheduler']:.2f} ms; together {empty['command'] + empty['scheduler']:.2f} ms a task")
    return True


def _per_task(few: tuple[int, dict[str, float]], many: tuple[int, dict[str, float]]) -> dict[str, float]:
    """Milliseconds of CPU a task, each process's: the difference between two runs over the difference in tasks."""
    return {name: (many[1][name] - few[1][name]) / (many[0] - few[0]) * 1e3 for name in many[1]}


def _verified(client: Any, plan: Any) -> None:
    """The tasks of ``plan``, run on the cluster as the command runs them."""
    from brimwick.output.verify.executors import raw_verdicts_on_dask

    sum(1 for _ in raw_verdicts_on_dask(client, plan))


def _idle_tasks(client: Any, runner: Any, plan: Any) -> None:
    """As many Dask tasks as ``plan`` has, each making an empty result, through ``runner`` (the command's)."""
    from brimwick.output.verify.tasks import TaskResult

    def submit_many(work: Any) -> Any:
        return client.map(TaskResult, [b""] * len(work), [[]] * len(work), [0] * len(work), pure=False)

    sum(1 for _ in replace(runner, submit_many=submit_many).in_order(plan.tasks))


def small_documents(target: Path, count: int) -> Path:
    """``target``: ``count`` envelopes without findings, one a line: a verdict on each costs little beside what
    the command spends on the verdict itself."""
    import json

    from brimwick.output.manifest import ScanEnvelope

    line = (json.dumps(ScanEnvelope("tenant-0001", "aws", ["us-east-1"], "standard", []).to_dict()) + "\n").encode()
    with open(target, "wb") as out:
        for start in range(0, count, 10_000):
            out.write(line * min(10_000, count - start))
    return target


def ok_verdict_cpu(work: Path, address: str, repeat: int, documents: int = 200_000) -> None:
    """An upper bound of the command's CPU per OK verdict with -q on the cluster: ``documents`` small
    documents and four times as many, each file cut into the same number of ranges (the larger one's of a
    large store's size), the difference over the difference in OK verdicts. What a range costs, whatever
    its size, is not counted as the verdicts'; what the client spends while it waits for the larger file's
    longer run (Dask's client loop, the cluster watched) is, and may be most of it. Small documents, so that
    the workers' part is short."""
    import resource

    from distributed import Client

    from brimwick.output.verify.executors import raw_verdicts_on_dask
    from brimwick.output.verify.planning import plan_run
    from brimwick.output.verify.progress import Progress
    from brimwick.output.verify.report import Report
    from brimwick.output.verify.tasks import MAX_RANGE_BYTES
    from brimwick.output.verify.writing import VerdictWriter

    def cpu() -> float:  # getrusage counts in microseconds; psutil's clock ticks are 10 ms
        usage = resource.getrusage(resource.RUSAGE_SELF)
        return usage.ru_utime + usage.ru_stime

    files = [work / "ok-verdicts.jsonl", work / "ok-verdicts-4x.jsonl"]
    spent = [float("inf")] * 2
    counted = [0, 0]
    try:
        for file, count in zip(files, (documents, documents * 4)):
            small_documents(file, count)
        ranges = len(plan_run([str(files[1])], range_bytes=MAX_RANGE_BYTES).tasks)
        plans = [plan_run([str(file)], range_bytes=-(-file.stat().st_size // ranges)) for file in files]  # as many each
        with Client(address, set_as_default=False) as client, open(os.devnull, "w") as out:
            for _ in range(repeat):
                for at, plan in enumerate(plans):
                    report = Report(quiet=True)
                    writer = VerdictWriter(report, out, Progress(0, out), live=False)
                    before = cpu()
                    writer.write_all(raw_verdicts_on_dask(client, plan, count_ok=report.count_ok))
                    spent[at] = min(spent[at], cpu() - before)
                    counted[at] = report.counts["OK"]
    finally:
        for file in files:
            file.unlink(missing_ok=True)
    per = (spent[1] - spent[0]) / (counted[1] - counted[0])
    print(f"the command's CPU per OK verdict with -q on the cluster, at most ({counted[0]:,} and {counted[1]:,} OK "
          f"verdicts, in {len(plans[0].tasks)} and {len(plans[1].tasks)} ranges of up to {MAX_RANGE_BYTES >> 20} MiB; "
          f"with what the client spends while it waits for the longer run): {per * 1e6:.3f} µs")


def small_files(cli: list[str], path: Path, work: Path, address: str, repeat: int, count: int = 5000) -> None:
    """A store of small files, one document each: wall time of each run, best of ``repeat``."""
    folder = work / "small"
    folder.mkdir()
    with open(path, "rb") as documents:
        for n, line in zip(range(count), documents):
            (folder / f"{n:05d}.json").write_bytes(line)
    files = sorted(str(file) for file in folder.iterdir())
    runs = best({"--jobs 1": lambda: wall([*cli, *files]), "--jobs 2": lambda: wall([*cli, "--jobs", "2", *files]),
                 "--scheduler": lambda: wall([*cli, "--scheduler", address, *files])}, repeat)
    print(f"\n{len(files):,} small files of one document each: " +
          ", ".join(f"{name} {seconds:.2f} s" for name, seconds in runs.items()))


def store_tasks(workers: int = 100, size: int = 600 * 10**9) -> None:
    from brimwick.output.verify.tasks import plan, range_bytes_for

    cut = plan(["store.jsonl"], range_bytes_for(size, workers), [size], ramp=True)
    print(f"a {size / 1e9:.0f} GB JSON Lines store on {workers} workers: {len(cut):,} tasks, "
          f"the first of {cut[0].size >> 20} MiB, then up to {max(t.size for t in cut) >> 20} MiB")


def storage_requests(cli: list[str], path: Path, s3: S3Server, address: str) -> None:
    url = s3.put("scans", "bench/scans.jsonl", path.read_bytes())
    per = 100e6 / path.stat().st_size
    print(f"\ns3:// on moto's S3 API on 127.0.0.1, {path.stat().st_size / 1e6:.0f} MB:")
    for name, extra in [("--jobs 1", []), ("--jobs 2", ["--jobs", "2"]), ("--scheduler", ["--scheduler", address])]:
        s3.requests.clear()
        seconds = wall([*cli, *extra, url], env={**os.environ, **s3.env})
        print(f"  {name:12} {seconds:6.2f} s, per 100 MB: {s3.requests['GET'] * per:.0f} GET, "
              f"{s3.requests['HEAD'] * per:.0f} HEAD")


def run(cli: list[str], path: Path, work: Path, megabytes: int, repeat: int, s3: bool) -> None:
    """All the cluster rows, on a loopback cluster (and S3 API) started here and stopped on the way out."""
    server = None
    if s3:
        try:
            server = S3Server()
        except ImportError:
            print("(no s3:// rows: they need the test extra's s3fs and moto)")
    cluster = DaskCluster(2, env=server.env if server else None)
    try:
        fixed_costs(cli, path, cluster.address, repeat)
        if per_task_cpu(path, cluster, min(repeat, 3), idle=True):
            wider = DaskCluster(8)
            try:
                per_task_cpu(path, wider, min(repeat, 3))
            finally:
                wider.close()
        ok_verdict_cpu(work, cluster.address, min(repeat, 3))
        store_tasks()
        small_files(cli, path, work, cluster.address, repeat)
        if server:
            storage_requests(cli, path, server, cluster.address)
        if megabytes:
            big = grow(path, work / "scaling.jsonl", megabytes)
            scaling(cli, big, halves(big), cluster.address, repeat)
    finally:
        cluster.close()
        if server:
            server.close()
