"""`verify --scheduler` when the cluster fails: every fault ends in bounded time with exit 2, a summary of
what was verified saying the run is incomplete, and one line on stderr; a lost worker changes nothing.

Runs on real loopback clusters that the tests start and stop (see ``loopback``). Time is bounded by
events, or by the timeout given to the command plus a multiple of a healthy run measured just before
on the same machine: a busy machine slows both alike."""

from __future__ import annotations

import http.server
import json
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from types import SimpleNamespace
from typing import Any

import pytest

pytest.importorskip("distributed", reason='needs the dask extra: pip install "brimwick-manifest[dask]"')

from distributed import Client  # noqa: E402
from loopback import DaskCluster  # noqa: E402

from brimwick.output import cli, distributed  # noqa: E402
from brimwick.output.verify import cluster as on_cluster, planning  # noqa: E402
from brimwick.output.verify.executors import raw_verdicts_on_dask  # noqa: E402
from brimwick.output.verify.ordered import raw_verdicts  # noqa: E402
from brimwick.output.verify.tasks import Options  # noqa: E402

DOC = json.dumps(cli.demo_envelope().to_dict())
BAD = json.dumps({**json.loads(DOC), "findings": json.loads(DOC)["findings"][1:]})
TIMEOUT = 2  # --timeout for these runs
HEALTHY_RUNS = 10  # what a fault may take beyond twice the timeout, in healthy runs measured just before
HANG_SECONDS = 600  # only a hang takes this long
INCOMPLETE = "incomplete, the run stopped after "
PRELOAD = str(Path(__file__).with_name("worker_preload.py"))


@pytest.fixture(scope="module")
def control_file(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("control") / "control.json"


@pytest.fixture(scope="module")
def cluster(control_file: Path) -> Iterator[DaskCluster]:
    cluster = DaskCluster(2, env={"BRIMWICK_TEST_CONTROL": str(control_file)}, preload=PRELOAD)
    try:
        yield cluster
    finally:
        cluster.close()


@pytest.fixture
def control(control_file: Path) -> Iterator[Callable[..., None]]:
    """Set how the workers' tasks behave for one test (see ``worker_preload``)."""
    yield lambda **settings: control_file.write_text(json.dumps(settings))
    control_file.unlink(missing_ok=True)


@pytest.fixture
def small_ranges(monkeypatch: pytest.MonkeyPatch) -> int:
    """Byte ranges of 16 KiB on the cluster: three documents each."""
    monkeypatch.setattr(planning, "range_bytes_for", lambda total, workers: 16 * 1024)
    return 16 * 1024


def scans(path: Path, documents: int = 120, bad: int = 50) -> Path:
    path.write_text("".join((BAD if i == bad else DOC) + "\n" for i in range(documents)))
    return path


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return int(sock.getsockname()[1])


@pytest.fixture
def web_server() -> Iterator[str]:
    """An HTTP server on loopback: something listens, but not a scheduler."""
    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args: Any) -> None:
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Quiet)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"tcp://127.0.0.1:{server.server_port}"
    finally:
        server.shutdown()
        server.server_close()
        thread.join(timeout=10)


def healthy_run_seconds(cluster: DaskCluster, path: Path, capsys: pytest.CaptureFixture[str]) -> float:
    """How long the command takes on a cluster that works, now: connecting, verifying, closing."""
    start = time.monotonic()
    code = cli.main(["verify", "--timeout", str(TIMEOUT), "--scheduler", cluster.address, str(path)])
    elapsed = time.monotonic() - start
    out, _ = capsys.readouterr()
    assert code == 1 and out.endswith("documents: 119 ok, 1 corrupt, 0 invalid\n")
    return elapsed


def assert_ends_in_time(elapsed: float, healthy: float) -> None:
    """The timeout waited, as long again for the polling and closing around it, and the fixed costs of
    some healthy runs: a busy machine stretches those costs, not the timeout. (Waiting the default
    timeout of 30 s instead, or hanging, takes far longer.)"""
    assert elapsed < 2 * TIMEOUT + HEALTHY_RUNS * healthy, (elapsed, healthy)


def assert_incomplete(code: int, out: str, err: str, reason: str) -> None:
    assert code == 2
    assert out.splitlines()[-1].startswith(INCOMPLETE)
    assert err.count("\n") == 1 and err.startswith("brimwick-manifest: ") and reason in err, err
    assert "Traceback" not in err


@pytest.mark.parametrize("where, reason", [
    ("nothing listening", "cannot reach the Dask scheduler"),
    ("localhost", "not a Dask scheduler address"),
    ("tcp://127.0.0.1:", "not a Dask scheduler address"),
    ("tcp://127.0.0.1:0", "not a Dask scheduler address"),
    ("tcp://127.0.0.1:65536", "not a Dask scheduler address"),
    ("http://127.0.0.1:8787", "not a Dask scheduler address"),
    ("a web server", "no Dask scheduler answered"),
    ("a worker", "is not a Dask scheduler"),
    ("no workers", "no Dask worker joined"),
])
def test_a_cluster_that_cannot_be_used_ends_in_time(where: str, reason: str, request: pytest.FixtureRequest,
                                                    tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    idle = None
    if where == "nothing listening":
        address = f"tcp://127.0.0.1:{free_port()}"
    elif where == "a web server":
        address = request.getfixturevalue("web_server")
    elif where == "a worker":
        with Client(request.getfixturevalue("cluster").address, set_as_default=False) as client:
            address = next(iter(client.scheduler_info()["workers"]))
    elif where == "no workers":
        idle = DaskCluster(0)
        address = idle.address
    else:
        address = where
    path = scans(tmp_path / "a.jsonl")
    try:
        healthy = healthy_run_seconds(request.getfixturevalue("cluster"), path, capsys)
        start = time.monotonic()
        code = cli.main(["verify", "--timeout", str(TIMEOUT), "--scheduler", address, str(path)])
        elapsed = time.monotonic() - start
    finally:
        if idle:
            idle.close()
    assert_incomplete(code, *capsys.readouterr(), reason)
    assert_ends_in_time(elapsed, healthy)


@pytest.mark.parametrize("lost, reason", [("scheduler", "lost the Dask scheduler"),
                                          ("workers", "no Dask worker left on the cluster")])
def test_a_cluster_lost_mid_run_ends_the_run_with_what_was_verified(lost: str, reason: str, tmp_path: Path,
                                                                    control_file: Path) -> None:
    control_file.write_text(json.dumps({"seconds": 0.3}))
    doomed = DaskCluster(2, env={"BRIMWICK_TEST_CONTROL": str(control_file)}, preload=PRELOAD)
    path = scans(tmp_path / "big.jsonl", documents=1600)  # 8 MiB: eight ranges of 1 MiB, 0.3 s each at least
    command = [sys.executable, "-m", "brimwick.output.cli", "verify", "--timeout", str(TIMEOUT),
               "--scheduler", doomed.address, str(path)]
    try:
        start = time.monotonic()
        with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as proc:
            try:
                assert proc.stdout is not None and proc.stdout.readline().endswith(": OK\n")
                # A healthy run of its own so far: starting, connecting, a range verified.
                healthy = time.monotonic() - start
                for server in [doomed.scheduler] if lost == "scheduler" else doomed.workers:
                    doomed.kill(server)
                since = time.monotonic()
                out, err = proc.communicate(timeout=HANG_SECONDS)
                elapsed = time.monotonic() - since
            finally:
                proc.kill()
    finally:
        control_file.unlink(missing_ok=True)
        doomed.close()
    assert_incomplete(proc.returncode, out, err, reason)
    assert_ends_in_time(elapsed, healthy)
    assert int(out.splitlines()[-1].removeprefix(INCOMPLETE).split()[0]) < 1600


class Scheduler:
    """A client whose scheduler reports, call after call, the numbers of workers it is given."""

    status = "running"

    def __init__(self, workers: list[int]) -> None:
        self.workers = iter(workers)

    def scheduler_info(self, n_workers: int) -> dict[str, int]:
        return {"n_workers": next(self.workers)}


@pytest.mark.parametrize("timeline, fault_at", [
    ([(0, 0), (TIMEOUT, 0), (TIMEOUT + 0.5, 0)], 2),  # no worker for longer than the timeout
    ([(0, 0), (1.5, 2), (2.5, 0), (4, 0), (4.5, 0), (5, 0)], 5),  # they came back: the clock starts again when they go
    ([(0, 2), (1, 0), (2, 1), (3, 0), (4, 2), (5, 0), (7, 0)], None),
], ids=["gone", "back, then gone", "coming and going"])
def test_the_cluster_is_given_up_after_the_timeout_without_a_worker(timeline: list[tuple[float, int]],
                                                                    fault_at: int | None,
                                                                    monkeypatch: pytest.MonkeyPatch) -> None:
    now = [0.0]
    monkeypatch.setattr(on_cluster, "time", SimpleNamespace(monotonic=lambda: now[0]))
    watched = on_cluster._Cluster(Scheduler([workers for _, workers in timeline]), Options(), TIMEOUT)
    fault = None
    for at, (now[0], _) in enumerate(timeline):
        try:
            watched.watch()
        except distributed.ClusterFault as exc:
            fault = (at, str(exc))
            break
    assert fault == (None if fault_at is None else (fault_at, f"no Dask worker left on the cluster for {TIMEOUT} s"))


def test_a_worker_killed_mid_run_changes_no_verdict(cluster: DaskCluster, control: Callable[..., None],
                                                    tmp_path: Path, small_ranges: int) -> None:
    path = str(scans(tmp_path / "a.jsonl", documents=240))
    control(seconds=0.03)
    [extra] = cluster.add_workers(1)
    done: list[Any] = []

    def kill_after_three(task: Any) -> None:
        done.append(task)
        if len(done) == 3:
            cluster.kill(extra)

    with Client(cluster.address, set_as_default=False) as client:
        on_cluster = list(raw_verdicts_on_dask(client, [path], on_task_done=kill_after_three))
    assert len(done) > 10 and extra.poll() is not None
    assert on_cluster == list(raw_verdicts([path]))


@pytest.mark.parametrize("together", [False, True], ids=["each on its own", "gathered together"])
def test_what_the_workers_could_not_do_is_the_cluster_s_fault_however_fetched(together: bool, tmp_path: Path) -> None:
    from brimwick.output.verify.bundles import Bundle
    from brimwick.output.verify.tasks import Task, TaskResult

    here = tmp_path / "in-2.json"
    here.write_text(DOC)
    ok = TaskResult.of([(0, "OK", "")], 0)
    values = {"bundle": [ok, on_cluster.TaskFailed("RuntimeError: deliberate failure")],
              "task": TaskResult.of([(0, "INVALID", "cannot read: No such file or directory")], 0)}

    class Finished:  # a Dask future as the window hands it over, and a client that gathers it
        def __init__(self, key: str, status: str) -> None:
            self.key, self.status = key, status

    class Gathering:
        status = "running"

        def gather(self, futures: Any, direct: bool) -> Any:
            return [values[f.key] for f in futures] if isinstance(futures, list) else values[futures.key]

    cluster = on_cluster._Cluster(Gathering(), Options(), TIMEOUT)
    work = [Bundle((Task(0, "in-0.json"), Task(1, "in-1.json"))), Task(2, str(here))]
    futures = [Finished("bundle", "finished"), Finished("task", "finished" if together else "pending")]
    [ok_then_fault, fault] = cluster.fetch_many(work, futures)
    assert ok_then_fault[0] is ok and isinstance(ok_then_fault[1], distributed.ClusterFault)
    assert str(ok_then_fault[1]) == "a task failed on the cluster (in-1.json): RuntimeError: deliberate failure"
    assert isinstance(fault, distributed.ClusterFault)  # the command opens it: the workers see another filesystem
    assert str(fault) == f"the workers cannot read {here} (No such file or directory)"


class _Rerun:
    """A client whose bundle task failed as a whole (``whole``), then runs each input again: the result of
    each comes from ``outcomes`` (OK by default), and watching the cluster fails at one call as told."""

    status = "running"

    def __init__(self, whole: BaseException, outcomes: dict[str, Any], watch_fails: tuple[int, BaseException] | None) -> None:
        self.whole, self.outcomes, self.watch_fails = whole, outcomes, watch_fails
        self.watched, self.submitted, self.cancelled = 0, [], []  # type: tuple[int, list[str], list[str]]

    def gather(self, future: Any, direct: bool) -> Any:
        raise self.whole

    def map(self, fn: Any, work: list[Any], options: list[Any], pure: bool) -> list[Any]:
        name = Path(work[0].source).name
        self.submitted.append(name)
        if isinstance(self.outcomes.get(name), BaseException):  # not even handed over
            if not isinstance(self.outcomes[name], OSError):  # a client that gave up: it refuses every call
                self.status = "closed"
            raise self.outcomes[name]
        outcomes = iter(self.outcomes.get(name, [OK_RESULT]))

        def result(timeout: float) -> Any:
            outcome = next(outcomes)
            if isinstance(outcome, BaseException):
                raise outcome
            return outcome
        return [SimpleNamespace(name=name, result=result)]

    def scheduler_info(self, n_workers: int) -> dict[str, int]:
        self.watched += 1
        if self.watch_fails and self.watch_fails[0] == self.watched:
            raise self.watch_fails[1]
        return {"n_workers": 1}

    def cancel(self, futures: list[Any]) -> None:
        self.cancelled += [getattr(future, "name", future) for future in futures]


OK_RESULT = on_cluster.TaskResult.of([(0, "OK", "")], 0)
UNREADABLE = on_cluster.TaskResult.of([(0, "INVALID", "cannot read: No such file or directory")], 0)


@pytest.mark.parametrize("whole, outcomes, watch_fails, expected, cancelled", [
    (RuntimeError("KilledWorker"), {}, (3, OSError("gone")),
     ["OK", "OK", "lost the Dask scheduler at its address: gone"], ["c"]),
    (RuntimeError("KilledWorker"), {"c": OSError("gone")}, None,
     ["OK", "OK", "lost the Dask scheduler at its address: gone"], []),
    (RuntimeError("KilledWorker"), {"b": RuntimeError("ClosedClientError")}, None,
     ["OK", "lost the Dask scheduler at its address during the run"], []),
    (RuntimeError("KilledWorker"), {}, (2, KeyboardInterrupt()), KeyboardInterrupt, ["b"]),
    (RuntimeError("KilledWorker"), {"a": [TimeoutError(), OK_RESULT],
                                    "b": [UNREADABLE]}, None, ["OK", "the workers cannot read {b} (No such file or directory)"], []),
    (RuntimeError("KilledWorker"), {"a": [RuntimeError("gone")]}, None,
     ["a task failed on the cluster ({a}): RuntimeError: gone"], []),
    (on_cluster.CancelledError(), {}, None, "lost the Dask scheduler at its address during the run", []),
], ids=["cluster lost meanwhile", "cluster lost handing over", "client gave up", "stopped meanwhile", "slow, then unreadable", "the one to blame", "scheduler gone"])
def test_a_bundle_that_failed_as_a_whole_runs_again_one_input_at_a_time(whole: BaseException, outcomes: Any,
                                                                         watch_fails: Any, expected: Any,
                                                                         cancelled: list[str], tmp_path: Path) -> None:
    from brimwick.output.verify.bundles import Bundle
    from brimwick.output.verify.tasks import Task

    paths = {name: tmp_path / name for name in "abc"}
    for path in paths.values():
        path.write_text(DOC)
    client = _Rerun(whole, outcomes, watch_fails)
    cluster = on_cluster._Cluster(client, Options(), TIMEOUT)
    bundle = Bundle(tuple(Task(0, str(path)) for path in paths.values()))
    if isinstance(expected, type):  # a stop is raised, and leaves nothing running
        with pytest.raises(expected):
            cluster.fetch(bundle, None)
    elif isinstance(expected, str):  # no input runs again
        with pytest.raises(distributed.ClusterFault, match=f"^{expected}$"):
            cluster.fetch(bundle, None)
        assert client.submitted == []
    else:  # the verdicts gathered stay, and the fault takes its input's place
        got = ["OK" if each == OK_RESULT else str(each) for each in cluster.fetch(bundle, None)]
        assert got == [text.format(**paths) for text in expected]
        assert client.submitted == list("abc")[:len(expected)]
    assert client.cancelled == cancelled


@pytest.mark.parametrize("source, travels", [
    ("a.json", "{cwd}/a.json"),
    ("link/../a.json", "{cwd}/link/../a.json"),  # the link target's parent, as the system resolves it
    ("file://a.json", "file://{cwd}/a.json"),
    ("local://sub/a.json", "file://{cwd}/sub/a.json"),
    ("file://~/a.json", "file:///home/someone/a.json"),  # as fsspec reads it here
    ("simplecache::file://a.json", "simplecache::file://{cwd}/a.json"),
    ("file:///data/a.json", "file:///data/a.json"),
    ("s3://bucket/a.json", "s3://bucket/a.json"),
])
def test_a_local_input_travels_named_by_the_path_it_names_here(source: str, travels: str, tmp_path: Path,
                                                               monkeypatch: pytest.MonkeyPatch) -> None:
    from brimwick.output.verify.tasks import Task

    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("HOME", "/home/someone")
    assert on_cluster._travelling(Task(0, source)).source == travels.format(cwd=tmp_path)


def test_small_files_whose_workers_die_run_again_one_at_a_time(control_file: Path, control: Callable[..., None],
                                                               tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                               capsys: pytest.CaptureFixture[str]) -> None:
    # Dask gives a task up once a worker has died running it; the inputs before the one that kills its
    # worker are verified all the same, and the fault names that input.
    dying = DaskCluster(2, env={"BRIMWICK_TEST_CONTROL": str(control_file),
                                "DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES": "0"}, preload=PRELOAD)
    try:
        monkeypatch.chdir(tmp_path)
        names = ["a.json", "b.json", "kills.json", "c.json"]
        for name in names:
            (tmp_path / name).write_text(DOC)
        control(exit_for="kills.json")
        code = cli.main(["verify", "--timeout", str(TIMEOUT), "--scheduler", dying.address, *names])
        out, err = capsys.readouterr()
    finally:
        dying.close()
    assert_incomplete(code, out, err, "a task failed on the cluster (kills.json): KilledWorker: ")
    assert out.startswith("a.json: OK\nb.json: OK\nincomplete, the run stopped after 2 documents:")


def test_the_cluster_holds_results_of_the_tasks_in_flight_only(cluster: DaskCluster, control: Callable[..., None],
                                                               tmp_path: Path, small_ranges: int) -> None:
    path = str(scans(tmp_path / "a.jsonl", documents=200))
    control(seconds=0.02)
    held: list[int] = []
    with Client(cluster.address, set_as_default=False) as client:
        def count_held(task: Any) -> None:
            held.append(sum(len(keys) for keys in client.has_what().values()))

        verdicts = list(raw_verdicts_on_dask(client, [path], on_task_done=count_held))
        runner = on_cluster.dask_runner(client, Options())  # 2 threads: 32 unfetched, sent and fetched 16 at once
        assert (runner.running, runner.batch, runner.fetch_together, runner.workers) == (32, 16, 16, 2)
    assert len(verdicts) == 200 and len(held) == 65
    # The tasks unfinished on each worker, one release on its way: never the results of all 65 ranges.
    assert max(held) <= on_cluster.UNFINISHED_PER_THREAD * 2 + 1 < 65


def test_a_slow_range_holds_back_the_output_not_the_workers(cluster: DaskCluster, control: Callable[..., None],
                                                            tmp_path: Path, small_ranges: int) -> None:
    path = str(scans(tmp_path / "a.jsonl", documents=200))  # 65 ranges
    log = tmp_path / "ended.log"
    # The first range ends only once half the others have: held behind it, the other worker could have
    # ended no more than the three then in flight, and the first range would wait its minute out.
    control(done_log=str(log), first_waits_for=32)
    with Client(cluster.address, set_as_default=False) as client:
        verdicts = list(raw_verdicts_on_dask(client, [path]))
    assert verdicts == list(raw_verdicts([path]))
    ended = [int(offset) for offset in log.read_text().split()]
    assert sorted(ended) == [n * small_ranges for n in range(65)] and ended.index(0) >= 32


def test_a_failing_task_or_unreadable_path_is_a_cluster_error(cluster: DaskCluster, control: Callable[..., None],
                                                              tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                              small_ranges: int, capsys: pytest.CaptureFixture[str]) -> None:
    monkeypatch.chdir(tmp_path)
    scans(tmp_path / "a.jsonl")
    local = cli.main(["verify", "a.jsonl"]), capsys.readouterr()
    # A relative path travels absolute: the workers work elsewhere.
    assert (cli.main(["verify", "--scheduler", cluster.address, "a.jsonl"]), capsys.readouterr()) == local
    # Any fsspec URL travels as a URL, not made a path; a file:// URL made absolute as a path is.
    code, (out, err) = local
    for url in (f"file://{tmp_path}/a.jsonl", "file://a.jsonl"):
        assert (cli.main(["verify", "--scheduler", cluster.address, url]), capsys.readouterr()) == (
            code, (out.replace("a.jsonl", url), err))
    # The same file, named so that only this process finds it: as a path, and as an fsspec URL.
    for unreachable in ("/proc/self/cwd/a.jsonl", "file:///proc/self/cwd/a.jsonl"):
        code = cli.main(["verify", "--scheduler", cluster.address, unreachable])
        assert_incomplete(code, *capsys.readouterr(), f"the workers cannot read {unreachable}")
    # Small files go several to a Dask task: a fault comes in its input's turn, after the verdicts before it.
    for name in "abc":
        (tmp_path / f"{name}.json").write_text(DOC)
    for second, raising, reason in [
            ("/proc/self/cwd/b.json", None, "the workers cannot read /proc/self/cwd/b.json"),
            ("b.json", "b.json", "a task failed on the cluster (b.json): RuntimeError: deliberate failure")]:
        control(raise_for=raising)
        code = cli.main(["verify", "--scheduler", cluster.address, "a.json", second, "c.json"])
        out, err = capsys.readouterr()
        assert_incomplete(code, out, err, reason)
        assert out.startswith("a.json: OK\nincomplete, the run stopped after 1 document:")
    # An input removed during the run, once the command has sized it: a verdict on it, as in a local run.
    control(remove="b.json")
    for second in ("b.json", f"file://{tmp_path}/b.json"):
        (tmp_path / "b.json").write_text(DOC)
        code = cli.main(["verify", "--scheduler", cluster.address, "a.json", second, "c.json"])
        assert (code, *capsys.readouterr()) == (1, f"a.json: OK\n{second}: INVALID: cannot read: No such file or "
                                                "directory\nc.json: OK\n3 documents: 2 ok, 0 corrupt, 1 invalid\n", "")
    control(raise_at=small_ranges)
    code = cli.main(["verify", "--scheduler", cluster.address, "a.jsonl"])
    out, err = capsys.readouterr()
    assert_incomplete(code, out, err, f"a task failed on the cluster (a.jsonl, bytes {small_ranges}-"
                                      f"{2 * small_ranges}): RuntimeError: deliberate failure in a task\n")
    assert out.startswith("a.jsonl:1: OK\n")
