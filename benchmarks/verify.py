"""Throughput of `brimwick-manifest verify` against the loop a user would write, in one run.

    python benchmarks/verify.py                      # 20,000 envelopes (~100 MB), jobs 1 and 2, Dask if installed
    python benchmarks/verify.py --documents 5000 --jobs 2 4 --no-dask
    python benchmarks/verify.py --memory-mb 500      # also: peak memory of --jobs 1 on a 500 MB file
    python benchmarks/verify.py --scaling-mb 0 --no-s3   # without the 500 MB scaling rows and the s3:// ones

Every run is a fresh process on the same generated JSON Lines file, with and
without --strict (the line under the table gives what --strict costs a
document); the table
gives documents/s, MB/s, the speed-up over the bare loop and the peak resident
memory of the largest process of the run (workers included). The command runs
as users run it, through its installed `brimwick-manifest` script, and the
package's bytecode is compiled first, as `pip install` does: neither side
compiles Python sources on the clock. The local rows take turns, trial by
trial, so that a machine that drifts slower or faster affects them alike. The
Dask row runs against a local cluster (a scheduler and one single-threaded
worker process per job, on 127.0.0.1, dashboards too), started before its
clock starts. With Dask installed, `scaling.py`'s rows follow: the first
verdict's delay, the per-task cost, requests per 100 MB of an s3:// input,
and `--jobs 1`, `--jobs 2` and `--scheduler` on a 500 MB file beside the
machine's own two-process ceiling.

What it is doing goes to standard error as it goes (each trial with its
time), the table to standard output. Ctrl-C, SIGTERM or SIGHUP ends it with
its temporary folder removed and the commands it started stopped.
"""

from __future__ import annotations

import argparse
import compileall
import json
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import scaling  # noqa: E402

BARE_LOOP = """
import json, sys
from brimwick.output.manifest import ScanEnvelope
with open(sys.argv[1], "rb") as f:
    for line in f:
        ScanEnvelope.from_dict(json.loads(line))
"""

# Runs a command, its output to a file, and reports its wall time, the largest resident set of it and its
# children, its exit status and the CPU time (user and system) of it and its children.
MEASURE = """
import os, resource, subprocess, sys, tempfile, time
with tempfile.TemporaryFile() as out:
    start = time.perf_counter()
    code = subprocess.run(sys.argv[1:], stdout=out).returncode
    elapsed = time.perf_counter() - start
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
print(elapsed, usage.ru_maxrss, code, usage.ru_utime + usage.ru_stime)
"""


def make_document(rng: random.Random, index: int) -> str:
    from brimwick.core.schemas import Finding
    from brimwick.output.manifest import ScanEnvelope

    findings = [
        Finding(f"i-{index:07d}-{k:03d}-{rng.getrandbits(32):08x}", rng.choice(["vm", "disk", "snapshot", "ip"]),
                rng.choice(["idle-instance", "unattached-volume", "old-snapshot"]), "aws",
                rng.choice(["us-east-1", "eu-west-1", "ap-south-1"]), title="Idle resource with a descriptive title",
                estimated_monthly_waste_usd=round(rng.uniform(1, 900), 2),
                adjusted_monthly_waste_usd=round(rng.uniform(1, 600), 2),
                remediation={"action": "stop", "risk": "low", "command": "aws ec2 stop-instances --instance-ids i-0abc"})
        for k in range(9)
    ]
    envelope = ScanEnvelope(f"tenant-{index % 97:04d}", "aws", ["us-east-1", "eu-west-1"], "standard", findings,
                            discount_factor=0.72, account_summaries=[{"account_id": "123456789012", "finding_count": 9}])
    return json.dumps(envelope.to_dict())


def generate(path: Path, documents: int) -> None:
    rng = random.Random(20261208)
    with open(path, "w", encoding="utf-8") as out:
        for i in range(documents):
            out.write(make_document(rng, i) + "\n")


STARTED = time.monotonic()


def say(text: str) -> None:
    """Progress, on standard error: a run on a busy machine takes many minutes."""
    sys.stderr.write(f"[{time.monotonic() - STARTED:6.0f} s] {text}\n")
    sys.stderr.flush()


def measure(argv: list[str]) -> tuple[float, int, int, float]:
    # A session of its own, so that what it started (the command and its workers) is stopped with it
    # when the benchmark is.
    with subprocess.Popen([sys.executable, "-c", MEASURE, *argv], stdout=subprocess.PIPE, text=True,
                          start_new_session=True) as proc:
        try:
            out, _ = proc.communicate()
        except BaseException:
            os.killpg(proc.pid, signal.SIGKILL)
            raise
    if proc.returncode:
        raise subprocess.CalledProcessError(proc.returncode, argv)
    seconds, rss, code, cpu = out.split()
    return float(seconds), int(rss) * 1024, int(code), float(cpu)


def timed(name: str, argv: list[str], trial: str) -> tuple[float, int, int, float]:
    measured = measure(argv)
    say(f"trial {trial}: {name}: {measured[0]:.2f} s")
    return measured


def _stop_on(signum: int, frame: object) -> None:
    raise SystemExit(128 + signum)  # unwinds, so the temporary folder is removed


PRINTED = "verify --jobs 1 (every verdict printed)"


def extra_runs(path: Path, cli: list[str]) -> list[tuple[str, list[str] | None]]:
    """Rows beside the -q ones: the cost of printing every verdict, and a gzip'd copy of the file."""
    import gzip

    packed = path.with_name(path.name + ".gz")
    with open(path, "rb") as plain, gzip.open(packed, "wb", compresslevel=6) as out:
        shutil.copyfileobj(plain, out)
    default = [arg for arg in cli if arg != "-q"]
    return [(PRINTED, [*default, str(path)]),
            (f"verify -q --jobs 1 on .jsonl.gz ({packed.stat().st_size / 1e6:.0f} MB)", [*cli, str(packed)])]


SMALL_DOCUMENTS = 300_000  # for printing's cost in whole runs


def printing_in_whole_runs(cli: list[str], work: Path, repeat: int, documents: int = SMALL_DOCUMENTS) -> list[float]:
    """CPU time a verdict of printing every verdict over -q, in whole runs of the command on many small
    documents (envelopes without findings, so that a verdict costs little else): in each trial a -q run
    and a printing run, one after the other; the differences of the trials, least first."""
    small = work / "small-documents.jsonl"
    quiet = [*cli, str(small)]
    printed = [arg for arg in quiet if arg != "-q"]
    differences = []
    try:
        scaling.small_documents(small, documents)
        for trial in range(1, repeat + 1):
            cpu = []
            for name, argv in (("-q", quiet), ("printing", printed)):
                _, _, code, seconds = timed(f"verify {name} on {documents:,} small documents", argv, f"{trial}/{repeat}")
                if code != 0:
                    raise RuntimeError(f"{argv} failed: exit status {code}")
                cpu.append(seconds)
            differences.append((cpu[1] - cpu[0]) / documents)
    finally:
        small.unlink(missing_ok=True)
    return sorted(differences)


def printing_cpu(path: Path, verdicts: int, repeat: int) -> float:
    """CPU time a verdict of counting, rendering and writing every verdict to a file, over counting it
    with -q: the command's printing on its own, without the noise of whole runs on a shared machine."""
    from brimwick.output.verify.progress import Progress
    from brimwick.output.verify.report import Report
    from brimwick.output.verify.writing import VerdictWriter

    raw = [(str(path), line, "OK", "") for line in range(1, verdicts + 1)]

    def cpu(quiet: bool) -> float:
        with open(path.with_suffix(".printed"), "w") as out:
            writer = VerdictWriter(Report(quiet=quiet), out, Progress(0, out), live=False)
            start = time.process_time()
            writer.write_all(iter(raw))
            return time.process_time() - start

    return (min(cpu(False) for _ in range(repeat)) - min(cpu(True) for _ in range(repeat))) / verdicts


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--documents", type=int, default=20000)
    parser.add_argument("--jobs", type=int, nargs="+", default=[2])
    parser.add_argument("--no-dask", action="store_true")
    parser.add_argument("--repeat", type=int, default=5, help="runs of each command; the fastest counts")
    parser.add_argument("--memory-mb", type=int, default=0, help="also measure --jobs 1 on a file of this size")
    parser.add_argument("--scaling-mb", type=int, default=500, help="size of the scaling rows' file; 0: none")
    parser.add_argument("--no-s3", action="store_true", help="no s3:// rows (they need the test extra's s3fs and moto)")
    args = parser.parse_args()
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _stop_on)
    work = Path(tempfile.mkdtemp(prefix="bench-verify-"))
    try:
        path = work / "scans.jsonl"
        say(f"generating {args.documents:,} envelopes in {work}")
        generate(path, args.documents)
        size = path.stat().st_size
        import brimwick

        say("compiling the package's bytecode")
        compileall.compile_dir(str(Path(brimwick.__file__).parent), quiet=1)
        script = Path(sys.executable).parent / "brimwick-manifest"
        cli = [sys.executable, *([str(script)] if script.exists() else ["-m", "brimwick.output.cli"]), "verify", "-q"]
        runs: list[tuple[str, list[str] | None]] = [("bare loop: json.loads + from_dict", [sys.executable, "-c", BARE_LOOP, str(path)]),
                                                    ("verify -q --jobs 1", [*cli, str(path)]),
                                                    ("verify -q --strict --jobs 1", [*cli, "--strict", str(path)])]
        runs += [(f"verify -q --jobs {n}", [*cli, "--jobs", str(n), str(path)]) for n in args.jobs]
        runs += extra_runs(path, cli)
        if not args.no_dask:
            runs.append((f"verify -q --scheduler ({max(args.jobs)} workers)", None))  # the cluster starts only then
        print(f"{args.documents:,} envelopes, {size / 1e6:.1f} MB, {size / args.documents / 1e3:.1f} kB each; "
              f"{os.cpu_count()} CPUs; Python {sys.version.split()[0]}; best of {args.repeat}")
        # Best of several runs: one run on a shared machine is noise.
        local = [(name, argv) for name, argv in runs if argv is not None]
        trials: dict[str, list[tuple[float, int, int, float]]] = {name: [] for name, _ in local}
        for trial in range(1, args.repeat + 1):
            for name, argv in local:
                trials[name].append(timed(name, argv, f"{trial}/{args.repeat}"))
        cluster = None
        try:
            if len(local) < len(runs):
                try:
                    say("starting a local Dask cluster")
                    cluster = scaling.DaskCluster(max(args.jobs))
                except ImportError:
                    print("(no Dask row: the dask extra is not installed)")
                else:
                    name = runs[-1][0]
                    argv = [*cli, "--scheduler", cluster.address, str(path)]
                    trials[name] = [timed(name, argv, f"{trial}/{args.repeat}") for trial in range(1, args.repeat + 1)]
        finally:
            if cluster:
                cluster.close()
        results = []
        for name, runs_of_name in trials.items():
            assert all(code == 0 for _, _, code, _ in runs_of_name), f"{name} failed"
            results.append((name, min(t[0] for t in runs_of_name), max(t[1] for t in runs_of_name)))
        bare = results[0][1]
        jobs1 = results[1][1]
        printed = dict((name, seconds) for name, seconds, _ in results)[PRINTED]
        # CPU time, not wall time: on a shared machine the wall hides work done on the other core.
        cpu = {name: min(t[3] for t in runs_of_name) for name, runs_of_name in trials.items()}
        whole = (cpu[PRINTED] - cpu[results[1][0]]) / args.documents
        printing = printing_in_whole_runs(cli, work, args.repeat)
        print(f"printing every verdict to a file costs {statistics.median(printing) * 1e6:.2f} µs of CPU a verdict over "
              f"-q in whole runs on {SMALL_DOCUMENTS:,} small documents (the median of {len(printing)} trials, each a -q run and a "
              f"printing one; from {printing[0] * 1e6:.2f} to {printing[-1] * 1e6:.2f} µs); on the "
              f"{args.documents:,} above, where the verdicts are a smaller share of the runs than their noise: "
              f"{whole * 1e6:.2f} µs of CPU, {(printed - jobs1) / args.documents * 1e6:.2f} µs wall; printing on its "
              f"own: {printing_cpu(path, args.documents, args.repeat) * 1e6:.2f} µs of CPU a verdict")
        print(f"{'run':44} {'s':>7} {'docs/s':>9} {'MB/s':>7} {'x bare':>7} {'x jobs 1':>8} {'peak RSS MB':>11}")
        for name, seconds, rss in results:
            print(f"{name:44} {seconds:7.2f} {args.documents / seconds:9.0f} {size / 1e6 / seconds:7.1f} "
                  f"{bare / seconds:7.2f} {jobs1 / seconds:8.2f} {rss / 1e6:11.0f}")
        strict = results[2][1]
        print(f"--strict costs {strict / args.documents * 1e6:.0f} µs a document, {strict / jobs1:.1f}x the default "
              f"run's {jobs1 / args.documents * 1e6:.0f} µs")
        if cluster:  # Dask is installed
            say(f"scaling rows on {args.scaling_mb} MB, the first verdict's delay, per-task cost and s3:// requests")
            scaling.run(cli, path, work, args.scaling_mb, args.repeat, s3=not args.no_s3)
        if args.memory_mb:
            say(f"peak memory of --jobs 1 on {args.memory_mb} MB")
            big = scaling.grow(path, work / "big.jsonl", args.memory_mb)
            path.unlink()
            for name, extra in [("verify -q --jobs 1", [])]:
                seconds, rss, code, _ = measure([*cli, *extra, str(big)])
                print(f"{name} on {big.stat().st_size / 1e6:.0f} MB: {seconds:.1f} s, peak RSS {rss / 1e6:.0f} MB")
    finally:
        shutil.rmtree(work, ignore_errors=True)
        say(f"removed {work}")


if __name__ == "__main__":
    main()
