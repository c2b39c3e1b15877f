"""The rough edges an operator meets first: sizes, usage, workers, interrupts, output that cannot be written, and
library calls that would silently do the wrong thing."""

from __future__ import annotations

import concurrent.futures
import errno
import gzip
import io
import json
import os
import re
import select
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

import pytest

from brimwick.output import cli
from brimwick.output.distributed import ClusterFault
from brimwick.output.verify import writing
from brimwick.output.verify.executors import raw_verdicts_in_processes
from brimwick.output.verify.ordered import raw_verdicts, verify_sources
from brimwick.output.verify.progress import Progress
from brimwick.output.verify.report import Report
from brimwick.output.verify.sizes import parse_size
from brimwick.output.verify.tasks import Options

GOOD = json.dumps(json.loads(json.dumps(cli.demo_envelope().to_dict())))
COMMAND = [sys.executable, "-m", "brimwick.output.cli"]


@pytest.mark.parametrize("text, size", [
    ("1", 1), ("512K", 512 << 10), ("512k", 512 << 10), ("10KB", 10_000), ("10KiB", 10 << 10), ("64M", 64 << 20),
    ("64MB", 64_000_000), ("1MiB", 1 << 20), ("1G", 1 << 30), ("2gb", 2_000_000_000), ("7B", 7), (" 3 K ", 3 << 10),
    ("2T", 2 << 40),
])
def test_sizes_read_as_gnu_tools_read_them(text: str, size: int) -> None:
    assert parse_size(text) == size


@pytest.mark.parametrize("text", ["", "K", "1.5M", "-1", "1X", "1iB", "lots",
                                  "\u0661\u0660K", "\uff11K", "1\u212a"])  # Arabic-Indic and fullwidth digits, the Kelvin sign
def test_what_is_not_a_size_is_a_usage_error(text: str, capsys: pytest.CaptureFixture[str]) -> None:
    with pytest.raises(SystemExit) as exit_info:
        cli.main(["verify", "--max-document-bytes", text, "a.json"])
    assert exit_info.value.code == 2 and f"such as 1048576, 512K, 10KB, 64MiB or 1G, not {text!r}\n" in capsys.readouterr().err


def test_one_byte_is_one_byte(tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    (tmp_path / "a.jsonl").write_text('{"a": 1}\n')
    assert cli.main(["verify", "--max-document-bytes", "1", str(tmp_path / "a.jsonl")]) == 1
    assert "larger than the 1 byte limit for one document" in capsys.readouterr().out


@pytest.mark.parametrize("argv, usage", [
    (["checksum", "a.json", "b.json"], "usage: brimwick-manifest checksum "),
    (["checksum"], "usage: brimwick-manifest checksum "),
    (["verify", "a.json", "--frobnicate"], "usage: brimwick-manifest verify "),
    (["verify", "--format", "xml", "a.json"], "usage: brimwick-manifest verify "),
    (["demo", "extra"], "usage: brimwick-manifest demo "),
    (["verify", "--timeout", "5", "a.json"], "usage: brimwick-manifest verify "),  # a timeout bounds a cluster's waits only
    (["verify", "--scheduler", "tcp://h:1", "--timeout", "0", "a.json"], "usage: brimwick-manifest verify "),
    (["verify", "--scheduler", "tcp://h:1", "--timeout", "abc", "a.json"], "usage: brimwick-manifest verify "),
    (["verify", "-j", "\u0663", "a.json"], "usage: brimwick-manifest verify "),  # an Arabic-Indic 3
    (["verify", "-j", "\u00b2", "a.json"], "usage: brimwick-manifest verify "),
    (["verify", "a.json", "--b\x1b[31m\u202e"], "usage: brimwick-manifest verify "),  # written escaped, as names are
])
def test_usage_errors_show_the_usage_of_their_command(argv: list[str], usage: str, capsys: pytest.CaptureFixture[str]) -> None:
    with pytest.raises(SystemExit) as exit_info:
        cli.main(argv)
    err = capsys.readouterr().err
    assert exit_info.value.code == 2 and err.startswith(usage) and not re.search("[\x1b\u202e]", err)


UNWRITABLE = {  # how standard output cannot be written: the shell's redirection, and the one line said then
    "full": (">/dev/full", "No space left on device"),
    "closed": (">&-", "standard output is closed"),
}


@pytest.mark.parametrize("stdout", UNWRITABLE)
@pytest.mark.parametrize("argv", [["--help"], ["--version"], ["verify", "--help"], ["demo"], ["verify", "one.json"],
                                  ["verify", "--jobs", "2", "one.json", "one.json"]])
def test_output_that_cannot_be_written_is_one_line_and_status_2(argv: list[str], stdout: str, tmp_path: Path) -> None:
    (tmp_path / "one.json").write_text(GOOD)
    redirect, reason = UNWRITABLE[stdout]
    proc = subprocess.run(["/bin/sh", "-c", f'exec "$@" {redirect}', "sh", *COMMAND, *argv], stderr=subprocess.PIPE,
                          timeout=60, cwd=tmp_path)
    assert (proc.returncode, proc.stderr) == (2, f"brimwick-manifest: cannot write output: {reason}\n".encode())


def test_an_output_that_failed_holds_back_neither_its_lines_nor_a_signal() -> None:
    class FullOnce(io.StringIO):
        full = True

        def write(self, text: str) -> int:
            if self.full:
                self.full = False
                raise OSError(errno.ENOSPC, "No space left on device")
            return super().write(text)

    out, interrupts = FullOnce(), writing.Interrupts()
    writer = writing.VerdictWriter(Report(), out, Progress(0, io.StringIO()), True, interrupts)
    with interrupts.installed():
        with pytest.raises(OSError):
            writer.write_all([("a.json", 0, "OK", "")])
        with pytest.raises(writing.Interrupted):  # nothing is being written: a signal stops the run at once
            signal.raise_signal(signal.SIGINT)
    writer.write_all([("b.json", 0, "OK", "")])
    assert out.getvalue() == "b.json: OK\n"  # the write that failed is not made again


@pytest.mark.parametrize("stderr", ["2>/dev/full", "2>&-"], ids=["full", "closed"])
def test_standard_error_that_cannot_be_written_costs_only_what_would_be_said_there(stderr: str, tmp_path: Path) -> None:
    workers = (os.cpu_count() or 1) + 1  # one task each, more than the CPUs: the warning is due
    for n in range(workers):
        (tmp_path / f"{n}.json").write_text(GOOD)
    names = [f"{n}.json" for n in range(workers)]
    proc = subprocess.run(["/bin/sh", "-c", f'exec "$@" {stderr}', "sh", *COMMAND, "verify", "--jobs", str(workers), *names],
                          stdout=subprocess.PIPE, timeout=120, cwd=tmp_path)
    assert proc.returncode == 0
    assert proc.stdout.decode().splitlines() == [f"{name}: OK" for name in names] + [f"{workers} documents: {workers} ok, 0 corrupt, 0 invalid"]


@pytest.mark.parametrize("cpus, jobs, inputs, workers, warned", [  # a, b, c: compressed, a job each; x, y: plain
    (4, 1000, "abc", [3], False),  # capped at the 3 tasks, within the CPUs
    (2, 1000, "abc", [3], True),
    (2, 4, "a", [1], False),  # one worker runs: nothing takes turns
    (4, 4, "abc", [3], False),
    (1, 2, "-", [], False),  # the command reads a stream itself: no worker at all
    (1, 2, "a-", [1], False),
    (4, 1000, "xyabc", [4], False),  # small plain files share a job
], ids=["capped within the cpus", "capped above the cpus", "one worker", "asked within the cpus", "stdin alone",
        "stdin and a file", "small files bundled"])
def test_jobs_are_capped_at_the_tasks_and_warned_about_above_the_cpus(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                                      capsys: pytest.CaptureFixture[str], cpus: int,
                                                                      jobs: int, inputs: str, workers: list[int],
                                                                      warned: bool) -> None:
    started = []

    class Recording(concurrent.futures.ThreadPoolExecutor):
        def __init__(self, max_workers: int, **kwargs: Any) -> None:
            started.append(max_workers)
            super().__init__(max_workers, **kwargs)

    monkeypatch.setattr(concurrent.futures, "ProcessPoolExecutor", Recording)
    monkeypatch.setattr("os.cpu_count", lambda: cpus)
    files = ["-" if n == "-" else str(tmp_path / f"{n}.json{'' if n in 'xy' else '.gz'}") for n in inputs]
    for name in set(files) - {"-"}:
        Path(name).write_bytes(GOOD.encode() if name.endswith(".json") else gzip.compress(GOOD.encode()))
    read_end, write_end = os.pipe()
    os.write(write_end, GOOD.encode())
    os.close(write_end)
    with open(read_end) as stdin:
        monkeypatch.setattr(sys, "stdin", stdin)
        assert cli.main(["verify", "--jobs", str(jobs), *files]) == 0
    out, err = capsys.readouterr()
    n = len(inputs)
    assert started == workers and out.endswith(f"{n} document{'s' * (n > 1)}: {n} ok, 0 corrupt, 0 invalid\n")
    assert err == (f"brimwick-manifest: warning: --jobs {jobs} is more than the {cpus} CPUs here; the extra workers "
                   "only take turns\n" if warned else "")


@pytest.mark.parametrize("quiet", [False, True])
def test_an_interrupt_prints_what_was_verified_so_far_and_exits_130(quiet: bool) -> None:
    with subprocess.Popen([*COMMAND, "verify", *(["-q"] if quiet else []), "-"], stdin=subprocess.PIPE,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
        assert proc.stdin is not None and proc.stdout is not None
        try:
            proc.stdin.write(f"{GOOD}\n[1]\n".encode())
            proc.stdin.flush()
            shown = b""  # read from the descriptor itself: nothing may wait in a buffer of this side
            while shown.count(b"\n") < (1 if quiet else 2):  # the verdicts are out: the run waits for more
                assert select.select([proc.stdout], [], [], 30)[0]
                shown += os.read(proc.stdout.fileno(), 65536)
            proc.send_signal(signal.SIGINT)
            out, err = proc.communicate(timeout=30)
        finally:
            proc.kill()
    summary = b"interrupted after 2 documents: 1 ok, 0 corrupt, 1 invalid\n"
    assert proc.returncode == 130 and (err if quiet else out) == summary and b"Traceback" not in err


@pytest.mark.parametrize("quiet", [False, True])
@pytest.mark.parametrize("stop, code, closing", [
    (KeyboardInterrupt(), 130, "interrupted after 3 documents: 2 ok, 1 corrupt, 0 invalid"),
    (ClusterFault("lost the Dask scheduler"), 2,
     "incomplete, the run stopped after 3 documents: 2 ok, 1 corrupt, 0 invalid"),
    (writing.Interrupted(signal.SIGTERM, forced=True), 143, None),  # a write cut short: no count can be trusted
], ids=["Ctrl-C", "cluster fault", "second signal"])
def test_verdicts_gathered_before_a_stop_are_written_before_its_summary(stop: BaseException, code: int, closing: str | None,
                                                                      quiet: bool, tmp_path: Path,
                                                                      monkeypatch: pytest.MonkeyPatch,
                                                                      capsys: pytest.CaptureFixture[str]) -> None:
    def stopped(*args: Any, **kwargs: Any) -> Any:
        yield from [("a.jsonl", 1, "OK", ""), ("a.jsonl", 2, "CORRUPT", "mismatch"), ("a.jsonl", 3, "OK", "")]
        raise stop

    monkeypatch.setattr(cli, "raw_verdicts", stopped)
    monkeypatch.setattr(writing, "FLUSH_SECONDS", 3600.0)  # written to a file, the lines wait to be written together
    (tmp_path / "a.jsonl").write_text(GOOD + "\n")
    monkeypatch.chdir(tmp_path)
    assert cli.main(["verify", *(["-q"] if quiet else []), "a.jsonl"]) == code
    out, err = capsys.readouterr()
    if closing is None:  # nothing more goes out: neither the verdicts gathered nor a summary
        assert (out, err) == ("", "")
        return
    gathered = ["a.jsonl:1: OK", "a.jsonl:2: CORRUPT: mismatch", "a.jsonl:3: OK"]
    shown = [line for line in gathered if not (quiet and line.endswith("OK"))]
    to_err = quiet and code == 130  # a quiet run keeps its output for the verdicts that fail
    assert out.splitlines() == shown + ([] if to_err else [closing])
    assert err == (f"{closing}\n" if to_err else "" if code == 130 else f"brimwick-manifest: {stop}\n")


@pytest.mark.parametrize("steps, signum, forced", [
    ("INT", signal.SIGINT, False),  # nothing held: raised at once
    ("( TERM )", signal.SIGTERM, False),  # held until the hold ends
    ("( ( HUP ) )", signal.SIGHUP, False),  # until the outermost hold ends
    ("( INT TERM", signal.SIGTERM, True),  # a second one while the first is held: at once, and forced
])
def test_a_signal_held_back_is_raised_once_no_hold_is_left(steps: str, signum: int, forced: bool) -> None:
    interrupts = writing.Interrupts()
    holds = {"(": interrupts.hold, ")": interrupts.release}
    with interrupts.installed(), pytest.raises(writing.Interrupted) as stop:
        for n, step in enumerate(steps.split()):
            holds[step]() if step in holds else signal.raise_signal(signal.Signals[f"SIG{step}"])
    assert (n, stop.value.signum, stop.value.forced) == (len(steps.split()) - 1, signum, forced)


def wait_until_blocked_writing(pid: int) -> None:
    """Until the process waits for its reader to take what it writes into a full pipe."""
    deadline = time.monotonic() + 60  # only a safety net: the signal goes anyway, and the checks still hold
    while time.monotonic() < deadline:
        with open(f"/proc/{pid}/wchan") as wchan:
            if wchan.read().endswith("pipe_write"):
                return
        time.sleep(0.01)


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("fmt, signum", [("text", signal.SIGINT), ("json", signal.SIGTERM)], ids=["text-INT", "json-TERM"])
@pytest.mark.parametrize("unbuffered", [False, True], ids=["buffered", "PYTHONUNBUFFERED"])
def test_a_signal_while_writing_into_a_pipe_leaves_each_verdict_once_whole_and_counted(
        tmp_path: Path, jobs: int, fmt: str, signum: int, unbuffered: bool) -> None:
    path = tmp_path / "many.jsonl"
    path.write_text(f"{GOOD}\n" * 3000)
    env = {key: value for key, value in os.environ.items() if key != "PYTHONUNBUFFERED"}
    with subprocess.Popen([*COMMAND, "verify", "--format", fmt, "--jobs", str(jobs), str(path)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env={**env, **({"PYTHONUNBUFFERED": "1"} if unbuffered else {})}) as proc:
        assert proc.stdout is not None
        try:
            assert select.select([proc.stdout], [], [], 60)[0]
            first = os.read(proc.stdout.fileno(), 100)  # the pipe fills behind it: the command blocks writing
            wait_until_blocked_writing(proc.pid)
            proc.send_signal(signum)
            out, err = proc.communicate(timeout=60)
        finally:
            proc.kill()
    *verdicts, summary = (first + out).decode().splitlines()
    assert proc.returncode == 128 + signum and err == b""
    if fmt == "json":
        objects = [json.loads(line) for line in verdicts]  # each one whole
        assert [o["line"] for o in objects] == list(range(1, len(objects) + 1))  # each once, in order
        assert json.loads(summary) == {"documents": len(objects), "ok": len(objects), "corrupt": 0, "invalid": 0,
                                       "inconsistent": 0, "interrupted": True}
    else:
        assert verdicts == [f"{path}:{n}: OK" for n in range(1, len(verdicts) + 1)]
        assert summary == f"interrupted after {len(verdicts)} documents: {len(verdicts)} ok, 0 corrupt, 0 invalid"


@pytest.mark.parametrize("call", [
    lambda: verify_sources("a.jsonl"),
    lambda: raw_verdicts(b"a.jsonl"),  # type: ignore[arg-type]
    lambda: next(raw_verdicts_in_processes("a.jsonl")),
], ids=["verify_sources", "raw_verdicts", "in processes"])
def test_the_library_refuses_a_bare_string_for_the_inputs(call: Any) -> None:
    with pytest.raises(TypeError, match="must be a list of inputs"):
        call()


@pytest.mark.parametrize("limit", [0, -5, True, 1.5])
def test_the_library_refuses_a_limit_that_is_not_a_positive_size(limit: Any) -> None:
    with pytest.raises(ValueError, match="max_document_bytes must be a positive number of bytes"):
        Options(max_document_bytes=limit)


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=["INT", "TERM", "HUP"])
def test_an_interrupt_stops_the_workers_quietly(tmp_path: Path, signum: int) -> None:
    # A compressed input is one long task: the stop ends it rather than
    # waiting for it, and leaves no worker behind.
    path = tmp_path / "many.jsonl"
    path.write_text(f"{GOOD}\n" * 6000)
    packed = tmp_path / "long.jsonl.gz"
    packed.write_bytes(gzip.compress(b"{}\n" * 3_000_000 + f"{GOOD}\n".encode() * 10, 1))
    with subprocess.Popen([*COMMAND, "verify", "--jobs", "2", str(packed), str(path)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, start_new_session=True) as proc:  # its own group: the signal reaches the workers too
        assert proc.stdout is not None
        try:
            # A whole verdict line has come (a read of a fixed size can end in mid-line).
            assert select.select([proc.stdout], [], [], 60)[0] and proc.stdout.readline().endswith(b"\n")
            os.killpg(proc.pid, signum)
            out, err = proc.communicate(timeout=60)
        finally:
            proc.kill()
    assert proc.returncode == 128 + signum and err == b""
    counts = re.fullmatch(rb"interrupted after (\d+) documents?: (\d+) ok, 0 corrupt, (\d+) invalid", out.splitlines()[-1])
    assert counts and int(counts[1]) == int(counts[2]) + int(counts[3])
    with pytest.raises(ProcessLookupError):  # no worker outlives the command
        for _ in range(600):
            os.killpg(proc.pid, 0)
            time.sleep(0.1)
