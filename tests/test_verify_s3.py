"""`verify` on s3:// URLs against moto's S3 API on 127.0.0.1 (fake credentials): the verdicts of the same
file read locally, here, in worker processes and on a loopback Dask cluster, in few, large requests."""

from __future__ import annotations

import json
from collections.abc import Iterator
from pathlib import Path

import pytest

pytest.importorskip("s3fs", reason="needs s3fs")
pytest.importorskip("moto.server", reason="needs moto's S3 and flask (the test extra)")

from loopback import S3_REGION, DaskCluster, S3Server  # noqa: E402

from brimwick.output import cli  # noqa: E402
from brimwick.output.verify import planning, remote  # noqa: E402

DOC = json.dumps(cli.demo_envelope().to_dict())
BAD = json.dumps({**json.loads(DOC), "findings": json.loads(DOC)["findings"][1:]})
LINES = [DOC] * 150 + [BAD, '{"tenant_id": "cut'] + [DOC] * 150 + ["x" * 300_000] + [DOC] * 20


@pytest.fixture(scope="module")
def s3() -> Iterator[S3Server]:
    import s3fs

    server = S3Server()
    try:
        with pytest.MonkeyPatch.context() as env:
            for name, value in server.env.items():
                env.setenv(name, value)
            s3fs.S3FileSystem.clear_instance_cache()
            yield server
    finally:
        s3fs.S3FileSystem.clear_instance_cache()
        server.close()


@pytest.fixture(scope="module")
def stored(s3: S3Server, tmp_path_factory: pytest.TempPathFactory) -> tuple[str, str]:
    """The same JSON Lines, as a local file and as an object."""
    data = ("\n".join(LINES) + "\n").encode()
    path = tmp_path_factory.mktemp("local") / "scans.jsonl"
    path.write_bytes(data)
    return str(path), s3.put("scans", "nightly/scans.jsonl", data)


@pytest.fixture(scope="module")
def cluster(s3: S3Server) -> Iterator[DaskCluster]:
    pytest.importorskip("distributed", reason='needs the dask extra: pip install "brimwick-manifest[dask]"')
    cluster = DaskCluster(2, env=s3.env)
    try:
        yield cluster
    finally:
        cluster.close()


@pytest.mark.parametrize("where", ["here", "jobs", "scheduler"])
def test_an_object_gets_the_verdicts_of_the_same_local_file(where: str, stored: tuple[str, str], s3: S3Server,
                                                            request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch,
                                                            capsys: pytest.CaptureFixture[str]) -> None:
    local, url = stored
    # Ranges of 128 KiB read in requests of 48 KiB: a range takes several, and lines cross them.
    monkeypatch.setattr(planning, "range_bytes_for", lambda total, workers: 128 * 1024)
    monkeypatch.setattr(remote, "REQUEST_BYTES", 48 * 1024)
    monkeypatch.setattr(remote, "TAIL_BYTES", 16 * 1024)
    extra = {"here": [], "jobs": ["--jobs", "2"],
             "scheduler": ["--scheduler", request.getfixturevalue("cluster").address]}[where]
    missing = url.replace("scans.jsonl", "absent.jsonl")
    assert cli.main(["verify", local, local.replace("scans", "absent")]) == 1
    expected = capsys.readouterr().out.replace(local.replace("scans", "absent"), missing).replace(local, url)
    assert cli.main(["verify", *extra, url, missing]) == 1
    assert capsys.readouterr().out == expected
    assert f"{url}:151: CORRUPT" in expected and f"{url}:152: INVALID" in expected and f"{missing}: INVALID" in expected


@pytest.mark.parametrize("where", ["here", "jobs", "scheduler"])
def test_an_object_is_read_in_large_requests_and_its_size_asked_once(where: str, stored: tuple[str, str], s3: S3Server,
                                                                     request: pytest.FixtureRequest,
                                                                     monkeypatch: pytest.MonkeyPatch,
                                                                     capsys: pytest.CaptureFixture[str]) -> None:
    _, url = stored
    monkeypatch.setattr(planning, "range_bytes_for", lambda total, workers: 512 * 1024)  # four ranges
    extra = {"here": [], "jobs": ["--jobs", "2"],
             "scheduler": ["--scheduler", request.getfixturevalue("cluster").address]}[where]
    s3.requests.clear()
    assert cli.main(["verify", "-q", *extra, url]) == 1
    assert capsys.readouterr().out.count("\n") == 3  # the documents that fail, only
    # One HEAD for the size, by the command's plan, whoever reads the ranges; each range in one GET
    # (ranges are smaller than a request), and one more at most for the end of a line that crosses a
    # range's end.
    assert s3.requests["HEAD"] == 1 and s3.requests["GET"] <= 4 + 1, s3.requests


def test_a_range_s_requests_stop_just_past_its_end(monkeypatch: pytest.MonkeyPatch) -> None:
    import fsspec

    memory = fsspec.filesystem("memory")
    memory.pipe("/big.jsonl", b"x" * (20 << 20))
    asked: list[tuple[int, int]] = []
    plain = type(memory).cat_file
    monkeypatch.setattr(type(memory), "cat_file", lambda fs, path, start=None, end=None, **kwargs: asked.append(
        (start, end)) or plain(fs, path, start=start, end=end, **kwargs))
    try:
        with remote.RemoteReader("memory://big.jsonl", end=10 << 20) as reader:
            read = 0
            while read <= 10 << 20:  # the range, and the first byte past it (its last line goes on)
                read += len(reader.read())
    finally:
        memory.rm("/big.jsonl")
    # Whole requests up to the range's end, the last one cut just past it: not a whole request more.
    assert asked == [(0, 8 << 20), (8 << 20, (10 << 20) + remote.TAIL_BYTES)]


@pytest.mark.parametrize("url, fault", [
    ("file://{tmp}/here.json", True),  # the workers see another filesystem
    ("file://{tmp}/a-directory", False),
    ("nosuchprotocol://bucket/a.json", False),  # this process cannot even ask
    ("s3://seen/here.json", True),
    ("s3://seen/removed.json", False),  # listed here, then removed: the listing this process keeps is stale
    ("s3://seen/empty.json", False),  # so stale that no byte is asked for
], ids=["file here", "a directory", "cannot ask", "object here", "object listed, then removed", "empty, removed"])
def test_a_url_the_workers_cannot_read_is_the_cluster_s_fault_only_where_this_process_reads_it(
        url: str, fault: bool, s3: S3Server, tmp_path: Path) -> None:
    import boto3
    import fsspec.core

    from brimwick.output.distributed import ClusterFault
    from brimwick.output.verify import cluster
    from brimwick.output.verify.tasks import Options, Task, TaskResult

    (tmp_path / "here.json").write_text(DOC)
    (tmp_path / "a-directory").mkdir()
    for name in ("here.json", "removed.json", "empty.json"):
        s3.put("seen", name, b"" if name == "empty.json" else DOC.encode())
    fs, _ = fsspec.core.url_to_fs("s3://seen/")
    assert sorted(fs.ls("seen")) == ["seen/empty.json", "seen/here.json", "seen/removed.json"]
    for name in ("removed.json", "empty.json"):
        boto3.client("s3", endpoint_url=s3.endpoint, region_name=S3_REGION, aws_access_key_id="testing",
                     aws_secret_access_key="testing").delete_object(Bucket="seen", Key=name)
    url = url.format(tmp=tmp_path)
    unreadable = TaskResult.of([(0, "INVALID", "cannot read: No such file or directory")], 0)
    checked = cluster._Cluster(None, Options(), 2)._checked(Task(0, url, size=2, total=2), unreadable)
    assert (str(checked) if fault else checked) == \
        (f"the workers cannot read {url} (No such file or directory)" if fault else unreadable)
