"""`verify --scheduler` on a real Dask cluster: a scheduler and two worker processes on 127.0.0.1."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

pytest.importorskip("distributed", reason='needs the dask extra: pip install "brimwick-manifest[dask]"')

from distributed import Client  # noqa: E402

from brimwick.output import cli, verification  # noqa: E402
from brimwick.output.verify import tasks  # noqa: E402

DOC = json.loads(json.dumps(cli.demo_envelope().to_dict()))
BAD = {**DOC, "findings": DOC["findings"][1:]}
START_SECONDS = 60


@pytest.fixture(scope="module")
def scheduler(tmp_path_factory: pytest.TempPathFactory) -> Iterator[str]:
    where = tmp_path_factory.mktemp("dask")
    dask = str(Path(sys.executable).parent / "dask")
    env = dict(os.environ)
    procs = [subprocess.Popen([dask, "scheduler", "--host", "127.0.0.1", "--port", "0", "--dashboard-address", "127.0.0.1:0",
                               "--scheduler-file", str(where / "scheduler.json")],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)]
    try:
        deadline = time.monotonic() + START_SECONDS
        while not (where / "scheduler.json").exists():
            assert time.monotonic() < deadline and procs[0].poll() is None, "the scheduler did not start"
            time.sleep(0.1)
        address = json.loads((where / "scheduler.json").read_text())["address"]
        assert address.startswith("tcp://127.0.0.1:")
        procs += [subprocess.Popen([dask, "worker", address, "--nthreads", "1", "--host", "127.0.0.1",
                                    "--dashboard-address", "127.0.0.1:0", "--no-nanny", "--memory-limit", "0"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env) for _ in range(2)]
        with Client(address, timeout=START_SECONDS) as client:
            client.wait_for_workers(2, timeout=START_SECONDS)
            assert all(worker.startswith("tcp://127.0.0.1:") for worker in client.scheduler_info()["workers"])
        yield address
    finally:
        for proc in reversed(procs):
            proc.terminate()
        for proc in procs:
            try:
                proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=15)


def test_verdicts_and_exit_code_match_the_local_run(scheduler: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                    capsys: pytest.CaptureFixture[str]) -> None:
    monkeypatch.setattr(tasks, "MIN_RANGE_BYTES", 16 * 1024)  # several byte-range tasks per file
    lines = [json.dumps(DOC)] * 12 + [json.dumps(BAD), '{"tenant_id": "cut'] + [json.dumps(DOC)] * 12
    (tmp_path / "scans.jsonl").write_text("\n".join(lines) + "\n")
    (tmp_path / "pretty.json").write_text(json.dumps(DOC, indent=2) + "\n" + json.dumps(BAD, indent=2))
    files = [str(tmp_path / name) for name in ("scans.jsonl", "pretty.json", "absent.json")]
    outputs = []
    for extra in ([], ["--jobs", "2"], ["--scheduler", scheduler], ["--scheduler", scheduler, "--strict", "-q"], ["--strict", "-q"]):
        code = cli.main(["verify", *extra, *files])
        outputs.append((code, capsys.readouterr().out))
    assert outputs[0] == outputs[1] == outputs[2] and outputs[3] == outputs[4]
    code, out = outputs[0]
    assert code == 1 and out.count(": OK\n") == 25 and "scans.jsonl:13: CORRUPT" in out and "scans.jsonl:14: INVALID" in out
    assert f"{tmp_path / 'pretty.json'}:{json.dumps(DOC, indent=2).count(chr(10)) + 2}: CORRUPT" in out
    assert out.endswith("29 documents: 25 ok, 2 corrupt, 2 invalid\n")
    with Client(scheduler, timeout=START_SECONDS) as client:  # the library entry point, with the caller's client
        verdicts = list(verification.verify_on_dask(client, files[:1]))
    assert [v.status for v in verdicts] == ["OK"] * 12 + ["CORRUPT", "INVALID"] + ["OK"] * 12


def test_an_unreachable_scheduler_is_one_line_and_exit_2(tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                         capsys: pytest.CaptureFixture[str]) -> None:
    (tmp_path / "a.json").write_text(json.dumps(DOC))
    from brimwick.output import distributed

    monkeypatch.setattr(distributed, "CONNECT_SECONDS", 2)
    assert cli.main(["verify", "--scheduler", "tcp://127.0.0.1:9", str(tmp_path / "a.json")]) == 2
    assert capsys.readouterr().err.startswith("brimwick-manifest: cannot reach the Dask scheduler at tcp://127.0.0.1:9")
