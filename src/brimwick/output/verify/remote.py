"""Reading an object in storage (an fsspec URL such as ``s3://bucket/scans.jsonl``) in few, large requests.

Each request to an object store costs tens of milliseconds whatever its
size, so a task reads its byte range in requests of ``REQUEST_BYTES``, the
next one under way while the current one is parsed. The object's size
travels with the task (looked up once, by the command that plans the tasks),
so a worker sends no request to learn it; requests stop at the end of the
task's range, and past it only the small ones that finish its last line.
"""

from __future__ import annotations

import errno
import os
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

REQUEST_BYTES = 8 << 20  # one ranged GET
TAIL_BYTES = 256 << 10  # one request past the range's end, for the end of its last line


class RemoteReader:
    """A readable, forward-only view of one object from ``seek``'s offset on; ``close`` when done."""

    def __init__(self, url: str, size: int | None = None, end: int | None = None) -> None:
        import fsspec.core

        self.fs, self.path = fsspec.core.url_to_fs(url)
        try:
            self.size = int(self.fs.size(self.path)) if size is None else size
        except FileNotFoundError as exc:  # said as a missing local file is
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), url) from exc
        self.end = self.size if end is None else min(end, self.size)  # where the range's requests stop
        self.position = 0  # of the next request
        self.block = memoryview(b"")
        self.next: Future[bytes] | None = None
        self.pool = ThreadPoolExecutor(1, thread_name_prefix="brimwick-remote-read")

    def seek(self, offset: int) -> None:
        """Where reading starts; before the first read only."""
        self.position = offset

    def read(self, size: int = -1) -> bytes:
        """Up to ``size`` bytes (never more than one request's worth), b"" at the end of the object."""
        if not self.block:
            self._fill()
        size = len(self.block) if size < 0 else size
        out, self.block = self.block[:size], self.block[size:]
        return bytes(out)

    def peek(self, size: int = 1) -> bytes:
        """The next bytes (up to ``size``), left to be read."""
        if not self.block:
            self._fill()
        return bytes(self.block[:size])

    def _fill(self) -> None:
        if self.next is None:  # the first read, or past the range's end: asked only when needed
            self._ask()
        if self.next is None:
            return
        self.block, self.next = memoryview(self._take(self.next)), None
        if self.position < self.end:  # ahead within the range
            self._ask()

    def _ask(self) -> None:
        """Start the next request, if any bytes are left: to the range's end in large requests, then small ones."""
        start = self.position
        if start >= self.size:
            return
        stop = min(self.size, start + (REQUEST_BYTES if start < self.end else TAIL_BYTES))
        if start < self.end < stop:
            stop = min(self.size, self.end + TAIL_BYTES)
        self.position = stop
        self.next = self.pool.submit(self.fs.cat_file, self.path, start=start, end=stop)

    @staticmethod
    def _take(request: Future[bytes]) -> bytes:
        try:
            return request.result()
        except OSError:
            raise
        except Exception as exc:  # the store's own errors: a verdict on what could not be read
            raise OSError(f"{type(exc).__name__}: {exc}") from exc

    def close(self) -> None:
        if self.next is not None:
            self.next.cancel()
        self.pool.shutdown(wait=True)

    def __enter__(self) -> RemoteReader:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()
