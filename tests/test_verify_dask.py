"""`verify --scheduler` on a real Dask cluster: a scheduler and two worker processes on 127.0.0.1."""

from __future__ import annotations

import json
import re
import sys
from collections.abc import Iterator
from pathlib import Path

import pytest

pytest.importorskip("distributed", reason='needs the dask extra: pip install "brimwick-manifest[dask]"')

from distributed import Client  # noqa: E402
from loopback import START_SECONDS, DaskCluster  # noqa: E402

from brimwick.output import cli, verification  # noqa: E402
from brimwick.output.verify import tasks  # noqa: E402

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


def test_the_benchmark_measures_the_cluster_costs_it_reports(cluster: DaskCluster, tmp_path: Path,
                                                             monkeypatch: pytest.MonkeyPatch,
                                                             capsys: pytest.CaptureFixture[str]) -> None:
    """No run of the suite runs the benchmark otherwise: its cluster rows and its measure of printing, on small
    inputs, each print a figure and leave no file behind."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "benchmarks"))
    import scaling
    import verify as benchmark

    path, tiny = tmp_path / "scans.jsonl", tmp_path / "tiny.jsonl"
    benchmark.generate(path, 200)
    benchmark.generate(tiny, 20)
    monkeypatch.setattr(scaling, "MEASURED_TASKS", 10)
    assert scaling.per_task_cpu(path, cluster, 2, idle=True)
    assert not scaling.per_task_cpu(tiny, cluster, 1)
    monkeypatch.setattr(tasks, "MAX_RANGE_BYTES", 64 << 10)  # several ranges, as many for either file
    scaling.ok_verdict_cpu(tmp_path, cluster.address, 1, documents=200)
    printing = benchmark.printing_in_whole_runs([sys.executable, "-m", "brimwick.output.cli", "verify", "-q"],
                                                tmp_path, 2, documents=200)
    out = capsys.readouterr().out
    assert re.search(r"on 2 workers, sent 16 at a time \(\d+ tasks of 64 KiB against 1 of 16 MiB.*command \+ scheduler "
                     r"\d+\.\d\d ms", out)
    assert "(no CPU per task: " in out and out.count("the same tasks doing nothing") == 1
    assert re.search(r"the same tasks doing nothing, .*together \d+\.\d\d ms a task", out)
    ranges = re.search(r"at most \(200 and 800 OK verdicts, in (\d+) and \1 ranges of up to 0 MiB.*\): -?\d", out)
    assert ranges and int(ranges[1]) > 1
    assert len(printing) == 2 and printing == sorted(printing)
    assert sorted(file.name for file in tmp_path.iterdir()) == ["scans.jsonl", "tiny.jsonl"]
