"""Opening an input: a file here, an fsspec URL or standard input, compressed or not, read as its bytes arrive.

``open_input`` gives an ``Input`` whose ``read(n)`` returns the input's
(decompressed) bytes. A regular file is read in full blocks, the fastest way
through it; anything else (standard input, a pipe, a FIFO, a terminal, a
device) is read for whatever has arrived, up to ``n`` bytes, so that a
document is judged as soon as its last byte is in, not when a block fills.

Compression is recognised by the first bytes (as many as a signature
needs, however few each read from a pipe brings; by the name's suffix where
they cannot be looked at before reading): gzip, bzip2 and xz through the
standard library, zstd through the ``zstandard`` package (the ``zstd``
extra). Another known compression (zip, lz4, zstd without the package) is
refused with one reason, rather than read as text that is not UTF-8.
Decompressing, every stream to its verified end, is ``compressed``'s; damaged
or cut compressed data is an ``OSError`` like any failed read. Cutting a
file into byte ranges is only ever done to plain files: a compressed one
cannot be entered in the middle.
"""

from __future__ import annotations

import io
import os
import stat
import sys
from collections.abc import Callable
from typing import IO, Any

from brimwick.output.verify.compressed import Decompressed, decompressor
from brimwick.output.verify.compressed import UnsupportedCompression as UnsupportedCompression  # where it was
from brimwick.output.verify.wakeup import signals_wake_readers_now, wait_readable

STDIN = "-"
# name, first bytes, suffixes; zip and lz4 are known only to be refused
_FORMATS: tuple[tuple[str, bytes, tuple[str, ...]], ...] = (
    ("gzip", b"\x1f\x8b", (".gz", ".gzip")),
    ("bzip2", b"BZh", (".bz2",)),
    ("xz", b"\xfd7zXZ\x00", (".xz",)),
    ("zstd", b"\x28\xb5\x2f\xfd", (".zst", ".zstd")),
    ("zip", b"PK\x03\x04", (".zip",)),
    ("zip", b"PK\x05\x06", ()),  # an empty archive
    ("lz4", b"\x04\x22\x4d\x18", (".lz4",)),
)
_HEAD_BYTES = 6  # enough for every signature above


def is_remote(source: str) -> bool:
    """An fsspec URL (``s3://...``), opened through fsspec."""
    return "://" in source


def compression_by_name(name: str) -> str | None:
    lowered = name.lower()
    return next((fmt for fmt, _, suffixes in _FORMATS if lowered.endswith(suffixes)), None)


def compression_by_head(head: bytes) -> str | None:
    return next((fmt for fmt, magic, _ in _FORMATS if head.startswith(magic)), None)


def plain_name(name: str) -> str:
    """The name without its compression suffix: ``scans.jsonl.gz`` is JSON Lines as ``scans.jsonl`` is."""
    fmt = compression_by_name(name)
    if fmt is None:
        return name
    suffix = next(s for f, _, suffixes in _FORMATS if f == fmt for s in suffixes if name.lower().endswith(s))
    return name[: -len(suffix)]


def is_compressed(source: str) -> bool:
    """Compressed, judged from the first bytes of a file here, or from the name of anything else."""
    if source == STDIN:
        return False
    if not is_remote(source):
        try:
            with open(source, "rb") as handle:
                return compression_by_head(handle.read(_HEAD_BYTES)) is not None
        except OSError:
            return False
    return compression_by_name(source) is not None


def is_stream(source: str) -> bool:
    """Read as its bytes arrive: standard input, a pipe, a FIFO, a terminal or a device, but not a regular
    file (standard input redirected from one included) nor an fsspec URL."""
    if source == STDIN:
        return sys.stdin is None or not _is_regular(sys.stdin.buffer)
    if is_remote(source):
        return False
    try:
        return not stat.S_ISREG(os.stat(source).st_mode)
    except (OSError, ValueError):
        return False


class Input:
    """An opened input: ``read(n)`` gives up to ``n`` bytes (b"" at the end); ``close`` when done."""

    def __init__(self, raw: Any, owned: bool, streaming: bool) -> None:
        self.raw, self.owned, self.streaming = raw, owned, streaming
        self.handle: Any = raw
        self.read: Callable[[int], bytes] = raw.read1 if streaming and hasattr(raw, "read1") else raw.read

    def decompress(self, fmt: str) -> None:
        read_raw = self.raw.read1 if self.streaming and hasattr(self.raw, "read1") else self.raw.read
        self.handle = decompressor(fmt, read_raw, _Available(read_raw) if self.streaming else self.raw)
        self.read = Decompressed(self.handle.read1, fmt, self.streaming).read

    def close(self) -> None:
        if self.handle is not self.raw:
            self.handle.close()
        if self.owned:
            self.raw.close()


def open_input(source: str, start: int = 0, *, size: int | None = None, end: int | None = None) -> Input:
    """An input opened for reading, from byte ``start - 1`` of a plain file when ``start`` is past 0 (where
    the line before the range ends); decompressed where its first bytes say it is compressed. An fsspec
    URL is read in few, large requests up to ``end`` (where its range ends), knowing its size where the
    caller does."""
    raw: Any
    if source == STDIN:
        if sys.stdin is None:
            raise OSError("standard input is closed")
        raw, owned, streaming = sys.stdin.buffer, False, not _is_regular(sys.stdin.buffer)
    elif is_remote(source):
        from brimwick.output.verify.remote import RemoteReader

        raw, owned, streaming = RemoteReader(source, size, end), True, False
    else:
        raw = _open_local(source)
        owned, streaming = True, not _is_regular(raw)
    if streaming:
        raw = _Arriving.over(raw)
    try:
        if start > 0:
            raw.seek(start - 1)
            return Input(raw, owned, streaming)
        head, raw = _head(raw)
        opened = Input(raw, owned, streaming)
        fmt = compression_by_head(head)
        if fmt is None and is_remote(source):
            fmt = compression_by_name(source)
        if fmt is not None:
            opened.decompress(fmt)
    except BaseException:
        if owned:
            raw.close()
        raise
    return opened


def _open_local(source: str) -> IO[bytes]:
    """A file here, opened for reading without waiting: a FIFO's open waits for a writer, and would go on
    waiting past a signal that lands just before it; its reads wait instead, as any stream's do."""
    fd = os.open(source, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        os.set_blocking(fd, True)
        return open(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def _is_regular(handle: IO[bytes]) -> bool:
    try:
        return stat.S_ISREG(os.fstat(handle.fileno()).st_mode)
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        return False


def _head(raw: Any) -> tuple[bytes, Any]:
    """The first bytes, left to be read again (by what is returned with them): enough to tell a
    signature, however few bytes each read from a pipe brings."""
    if hasattr(raw, "peek"):
        head = bytes(raw.peek(_HEAD_BYTES)[:_HEAD_BYTES])
        if not _wants_more(head):
            return head, raw
    elif raw.seekable():
        head = raw.read(_HEAD_BYTES)
        raw.seek(0)
        return bytes(head), raw
    elif not hasattr(raw, "read1"):
        return b"", raw
    read = getattr(raw, "read1", raw.read)  # an object in storage peeks, but has no read1
    head = read(_HEAD_BYTES)  # a signature's first bytes, or a very short input, or a stream's first
    while _wants_more(head):
        more = read(_HEAD_BYTES - len(head))
        if not more:
            break
        head += more
    return head, _Prefixed(head, raw)


def _wants_more(head: bytes) -> bool:
    """Whether ``head`` is the start of a signature, cut short."""
    return 0 < len(head) and any(len(magic) > len(head) and magic.startswith(head) for _, magic, _ in _FORMATS)


class _Prefixed:
    """A stream whose first bytes were taken out to be looked at: they are read again first."""

    def __init__(self, head: bytes, raw: Any) -> None:
        self.head, self.raw = head, raw

    def read(self, size: int = -1) -> bytes:
        return self._given(size) or self.raw.read(size)

    def read1(self, size: int = -1) -> bytes:
        return self._given(size) or self.raw.read1(size)

    def _given(self, size: int) -> bytes:
        head = self.head
        if size < 0 or size >= len(head):
            self.head = b""
            return head
        self.head = head[size:]
        return head[:size]

    def close(self) -> None:
        self.raw.close()


class _Arriving:
    """A stream read straight from its descriptor for whatever has arrived, each read waiting first for
    bytes or a signal (``wakeup``): a Ctrl-C while the writer pauses ends the run, however it falls
    against the read. ``handle``, the buffered file it came as, is what ``close`` closes. Never seeks:
    whatever reaches a stream in the middle gets a stream's refusal, as the verdict on that input."""

    def __init__(self, handle: Any, raw: io.FileIO) -> None:
        self.handle, self.raw, self.fd = handle, raw, raw.fileno()

    @classmethod
    def over(cls, handle: Any) -> Any:
        """``handle`` read this way while the command's signals wake readers, when it is the interpreter's
        own buffered file over a descriptor open for reading (a file just opened, or standard input,
        which nothing else in the command reads: its buffer is empty); otherwise ``handle`` itself,
        read through its own ``read1``, as a library caller's standard input is (its buffer may hold
        bytes already)."""
        raw = getattr(handle, "raw", None)
        if (type(handle) is io.BufferedReader and type(raw) is io.FileIO and signals_wake_readers_now()
                and _open_for_reading(raw.fileno())):  # a write-only one is left to fail its read at once
            return cls(handle, raw)
        return handle

    def read1(self, size: int = -1) -> bytes:
        if size == 0:
            return b""
        while True:
            wait_readable(self.fd)
            data = self.raw.read(size if size > 0 else io.DEFAULT_BUFFER_SIZE)
            if data is not None:  # None: a descriptor someone left non-blocking had nothing after all
                return data

    read = read1

    def seekable(self) -> bool:
        return False

    def seek(self, offset: int, whence: int = 0) -> int:
        raise io.UnsupportedOperation("File or stream is not seekable.")

    def close(self) -> None:
        self.handle.close()


def _open_for_reading(fd: int) -> bool:
    """What the descriptor itself allows (a ``FileIO`` over a descriptor it did not open says what it was
    told): ``poll`` would wait for ever on one open for writing only."""
    try:
        import fcntl
    except ImportError:
        return True
    try:
        return fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_ACCMODE != os.O_WRONLY
    except OSError:  # closed: the read fails as it should
        return False


class _Available:
    """A stream whose ``read(n)`` returns what has arrived, for a decompressor that reads in blocks."""

    def __init__(self, read1: Callable[[int], bytes]) -> None:
        self.read = read1
