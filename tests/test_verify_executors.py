"""Runs over worker processes: every worker kept busy, a bounded number of ranges in flight."""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

import pytest

from brimwick.output.verify import planning
from brimwick.output.verify.executors import verify_in_processes


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
    monkeypatch.setattr(planning, "range_bytes_for", lambda total, workers: 16 * 1024)  # about 50 ranges
    verdicts = list(verify_in_processes([str(path)], jobs=2))
    assert len(verdicts) == 400
    assert 2 <= in_flight[1] <= 2 * 2 + 1


def test_a_run_that_only_counts_ok_verdicts_sees_the_others_with_the_same_labels(tmp_path: Any, monkeypatch: Any) -> None:
    from test_cli import GOOD

    from brimwick.output.verify.executors import raw_verdicts_in_processes

    path = tmp_path / "mixed.jsonl"
    lines = [GOOD if i % 7 else GOOD.replace('"finding_count": 8', '"finding_count": "x"')[:-9] for i in range(60)]
    path.write_text("\n".join(lines) + "\n")
    monkeypatch.setattr(planning, "range_bytes_for", lambda total, workers: 64 * 1024)  # several ranges
    every = list(raw_verdicts_in_processes([str(path)], jobs=2))
    counted: list[int] = []
    shown = list(raw_verdicts_in_processes([str(path)], jobs=2, count_ok=counted.append))
    assert shown == [v for v in every if v[2] != "OK"] and shown
    assert sum(counted) == len(every) - len(shown)
    # An input's last verdict is given once its task is done, not lost if the next task fails.
    from brimwick.output.verify import bundles

    def failing(task: Any, options: Any) -> Any:
        if task.source.endswith("fails.jsonl"):
            raise RuntimeError("deliberate failure")
        return run_task(task, options)

    run_task = bundles.run_task
    monkeypatch.setattr(bundles, "run_task", failing)  # the workers are forked with it
    for name in ("empty.jsonl", "fails.jsonl"):
        (tmp_path / name).write_text("")
    shown = []
    with pytest.raises(RuntimeError, match="deliberate failure"):
        shown.extend(raw_verdicts_in_processes([str(tmp_path / "empty.jsonl"), str(tmp_path / "fails.jsonl")],
                                               jobs=2, count_ok=counted.append))
    assert [verdict[2] for verdict in shown] == ["INVALID"]


def test_small_files_go_to_the_workers_in_bundles_and_a_failure_comes_in_its_input_s_turn(tmp_path: Any,
                                                                                          monkeypatch: Any) -> None:
    import concurrent.futures

    from test_cli import GOOD

    from brimwick.output.verify import bundles
    from brimwick.output.verify.ordered import verify_sources

    jobs: list[Any] = []

    class Counting(concurrent.futures.ThreadPoolExecutor):  # threads stand in for the worker processes
        def submit(self, fn: Any, /, *args: Any, **kwargs: Any) -> Any:
            jobs.append(args[0])
            return super().submit(fn, *args, **kwargs)

    monkeypatch.setattr(concurrent.futures, "ProcessPoolExecutor", Counting)
    files = [str(tmp_path / f"{n:02d}.json") for n in range(70)]
    for n, file in enumerate(files):
        Path(file).write_text("{" if n == 40 else GOOD)
    assert list(verify_in_processes(files, jobs=2)) == list(verify_sources(files))
    assert [len(job.tasks) for job in jobs] == [32, 32, 6]

    def failing(task: Any, options: Any) -> Any:
        if task.source == files[5]:
            raise RuntimeError("deliberate failure")
        return run_task(task, options)

    run_task = bundles.run_task
    monkeypatch.setattr(bundles, "run_task", failing)
    seen: list[Any] = []
    with pytest.raises(RuntimeError, match="deliberate failure"):
        seen.extend(verify_in_processes(files, jobs=2))
    assert seen == list(verify_sources(files[:5]))  # the verdicts before it, the last input's too


@pytest.mark.parametrize("seen_at", ["fetch", "submit"])
def test_a_worker_process_that_dies_ends_the_run_as_incomplete_in_one_line(seen_at: str, tmp_path: Any,
                                                                           monkeypatch: Any, capsys: Any) -> None:
    import concurrent.futures
    import gzip
    import os
    from concurrent.futures.process import BrokenProcessPool

    from test_cli import GOOD

    from brimwick.output import cli
    from brimwick.output.verify import tasks

    def dying(task: Any, *args: Any) -> Any:  # as the system's memory killer ends a worker
        if task.source.endswith("dies.json"):
            os._exit(9)
        return verdicts(task, *args)

    class Broken(concurrent.futures.ProcessPoolExecutor):  # the pool already broken when the next job goes
        def submit(self, fn: Any, /, *args: Any, **kwargs: Any) -> Any:
            if args[0].source.endswith("dies.json.gz"):
                raise BrokenProcessPool("a child process terminated abruptly")
            return super().submit(fn, *args, **kwargs)

    verdicts = tasks.task_verdicts
    monkeypatch.setattr(tasks, "task_verdicts", dying)  # the workers are forked with it
    if seen_at == "submit":
        monkeypatch.setattr(concurrent.futures, "ProcessPoolExecutor", Broken)
    files = []
    for name in ("a.json", "dies.json") if seen_at == "fetch" else ("a.json.gz", "dies.json.gz"):
        (tmp_path / name).write_bytes(gzip.compress(GOOD.encode()) if name.endswith(".gz") else GOOD.encode())
        files.append(str(tmp_path / name))
    assert cli.main(["verify", "--jobs", "2", *files]) == 2
    out, err = capsys.readouterr()
    assert out.startswith("incomplete, the run stopped after 0 documents: 0 ok, 0 corrupt, 0 invalid\n")
    assert err == "brimwick-manifest: a worker process died during the run (killed, perhaps by the system for want " \
                  "of memory)\n"


@pytest.mark.parametrize("where", ["in the job", "at submission"])
def test_what_a_lone_task_raises_is_not_taken_for_a_dead_worker(where: str, tmp_path: Any, monkeypatch: Any) -> None:
    import concurrent.futures
    import gzip

    from test_cli import GOOD

    from brimwick.output.verify import bundles

    def failing(task: Any, options: Any) -> Any:
        raise RuntimeError("deliberate failure")

    class Refusing(concurrent.futures.ProcessPoolExecutor):  # as a pool shut down refuses
        def submit(self, fn: Any, /, *args: Any, **kwargs: Any) -> Any:
            raise RuntimeError("deliberate failure")

    if where == "in the job":
        monkeypatch.setattr(bundles, "run_task", failing)  # the workers are forked with it
    else:
        monkeypatch.setattr(concurrent.futures, "ProcessPoolExecutor", Refusing)
    (tmp_path / "a.json.gz").write_bytes(gzip.compress(GOOD.encode()))  # a job of its own, not in a bundle
    with pytest.raises(RuntimeError, match="deliberate failure"):
        list(verify_in_processes([str(tmp_path / "a.json.gz")], jobs=2))


@pytest.mark.parametrize("module, run", [("bundles", "run_bundle"), ("cluster", "run_on_worker")])
def test_a_bundle_stops_at_its_first_task_that_raises(module: str, run: str, monkeypatch: Any) -> None:
    import importlib

    from brimwick.output.verify.bundles import Bundle
    from brimwick.output.verify.tasks import Options, Task, TaskResult

    ran = []

    def run_task(task: Task, options: Options) -> TaskResult:
        ran.append(task.index)
        if task.index == 1:
            raise RuntimeError("deliberate failure")
        return TaskResult.of([(1, "OK", "")], 1)

    where = importlib.import_module(f"brimwick.output.verify.{module}")
    monkeypatch.setattr(where, "run_task", run_task)
    results = getattr(where, run)(Bundle(tuple(Task(n, f"in-{n}.json") for n in range(3))), Options())
    assert ran == [0, 1] and len(results) == 2 and "deliberate failure" in str(results[1])
    if module == "bundles":  # the worker's traceback travels with it, as a process pool's job's does
        assert "Traceback" in results[1].__notes__[0] and "in run_task" in results[1].__notes__[0]
