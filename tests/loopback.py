"""Servers on 127.0.0.1 that tests and benchmarks start and always stop: a Dask cluster and an S3 API.

``DaskCluster`` runs ``dask scheduler`` and ``dask worker`` processes (single
threaded, no nanny, dashboards on loopback, working in a directory of their
own); each can be killed on its own. A cluster is handed over only once its
scheduler answers and its workers have joined: a busy machine makes it
slower to start, never half started.
``S3Server`` serves moto's S3 in a thread of this process, counting the
requests by method. Both stop within bounded timeouts, killing what does not.
The bounds only catch a hang: they are minutes, not a measure of speed.
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from pathlib import Path
from typing import Any

START_SECONDS = 300
STOP_SECONDS = 30
ORPHAN_SECONDS = 900  # longer than any test module leaves a cluster idle, on however busy a machine
S3_REGION = "us-east-1"
S3_CREDENTIALS = {"AWS_ACCESS_KEY_ID": "testing", "AWS_SECRET_ACCESS_KEY": "testing", "AWS_SESSION_TOKEN": "testing",
                  "AWS_DEFAULT_REGION": S3_REGION}


def stop(procs: list[subprocess.Popen[bytes]]) -> None:
    """Terminate, then kill what is still running after STOP_SECONDS."""
    for proc in procs:
        if proc.poll() is None:
            proc.terminate()
    for proc in procs:
        try:
            proc.wait(timeout=STOP_SECONDS)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=STOP_SECONDS)


class DaskCluster:
    """A scheduler and ``workers`` single-threaded worker processes on 127.0.0.1."""

    def __init__(self, workers: int, env: dict[str, str] | None = None, preload: str | None = None) -> None:
        self.dir = tempfile.mkdtemp(prefix="loopback-dask-")
        self.env = {**os.environ, **(env or {})}
        self.preload = ["--preload", preload] if preload else []
        self.dask = str(Path(sys.executable).parent / "dask")
        # Should this process die without stopping them, they stop themselves: the scheduler when
        # idle for ORPHAN_SECONDS, a worker when its scheduler has been gone that long.
        self.scheduler = self._spawn("scheduler", "--host", "127.0.0.1", "--port", "0", "--idle-timeout",
                                     f"{ORPHAN_SECONDS}s", "--dashboard-address", "127.0.0.1:0",
                                     "--scheduler-file", f"{self.dir}/scheduler.json")
        self.workers: list[subprocess.Popen[bytes]] = []
        try:
            self.address = self._address()
            self.add_workers(workers)
        except BaseException:
            self.close()
            raise

    def _spawn(self, *argv: str) -> subprocess.Popen[bytes]:
        return subprocess.Popen([self.dask, *argv], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                env=self.env, cwd=self.dir)  # not the command's working directory

    def _address(self) -> str:
        """The address the scheduler wrote to its file, once the file reads whole."""
        deadline = time.monotonic() + START_SECONDS
        path = Path(self.dir) / "scheduler.json"
        while True:
            try:
                address: str = json.loads(path.read_text())["address"]
                break
            except (OSError, ValueError, KeyError):  # not written yet, or not whole
                if time.monotonic() > deadline or self.scheduler.poll() is not None:
                    raise RuntimeError("the Dask scheduler did not start") from None
                time.sleep(0.05)
        assert address.startswith("tcp://127.0.0.1:")
        return address

    def _wait_for(self, workers: int) -> None:
        """Until the scheduler answers with ``workers`` workers joined (a client retries while it refuses)."""
        from distributed import Client

        with Client(self.address, timeout=START_SECONDS, set_as_default=False) as client:
            if workers:
                client.wait_for_workers(workers, timeout=START_SECONDS)
            else:
                client.scheduler_info()

    def add_workers(self, count: int) -> list[subprocess.Popen[bytes]]:
        """Start ``count`` more workers and wait until all of them have joined (with none, until the
        scheduler answers)."""
        new = [self._spawn("worker", self.address, "--nthreads", "1", "--host", "127.0.0.1",
                           "--dashboard-address", "127.0.0.1:0", "--no-nanny", "--memory-limit", "0",
                           "--death-timeout", f"{ORPHAN_SECONDS}s", *self.preload)
               for _ in range(count)]
        self.workers += new
        self._wait_for(len([w for w in self.workers if w.poll() is None]))
        return new

    @staticmethod
    def kill(proc: subprocess.Popen[bytes]) -> None:
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait(timeout=STOP_SECONDS)

    def close(self) -> None:
        stop(self.workers)  # before the scheduler, so that they need not wait to say goodbye
        stop([self.scheduler])
        shutil.rmtree(self.dir, ignore_errors=True)


class S3Server:
    """moto's S3 API on 127.0.0.1 in a thread of this process, with fake credentials in the environment
    of whoever is handed ``env``; ``requests`` counts what it served, by method."""

    def __init__(self) -> None:
        from moto.server import DomainDispatcherApplication, create_backend_app
        from werkzeug.serving import WSGIRequestHandler, make_server

        class Quiet(WSGIRequestHandler):
            def log_request(self, *args: Any) -> None:
                pass

        self.requests: Counter[str] = Counter()
        app = DomainDispatcherApplication(create_backend_app)  # what moto_server serves

        def counted(environ: dict[str, Any], start_response: Any) -> Any:
            self.requests[environ["REQUEST_METHOD"]] += 1
            return app(environ, start_response)

        self.server = make_server("127.0.0.1", 0, counted, threaded=True, request_handler=Quiet)
        self.endpoint = f"http://127.0.0.1:{self.server.server_port}"
        self.env = {**S3_CREDENTIALS, "AWS_ENDPOINT_URL": self.endpoint}
        self.thread = threading.Thread(target=self.server.serve_forever, name="loopback-s3", daemon=True)
        self.thread.start()

    def put(self, bucket: str, key: str, data: bytes) -> str:
        """Store ``data`` and give its s3:// URL."""
        import boto3

        s3 = boto3.client("s3", endpoint_url=self.endpoint, region_name=S3_REGION,
                          aws_access_key_id="testing", aws_secret_access_key="testing")
        if bucket not in [b["Name"] for b in s3.list_buckets().get("Buckets", [])]:
            s3.create_bucket(Bucket=bucket)
        s3.put_object(Bucket=bucket, Key=key, Body=data)
        return f"s3://{bucket}/{key}"

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(timeout=STOP_SECONDS)
