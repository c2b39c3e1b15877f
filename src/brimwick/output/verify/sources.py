"""Opening an input: a file here, an fsspec URL or standard input, compressed or not, read as its bytes arrive.

``open_input`` gives an ``Input`` whose ``read(n)`` returns the input's
(decompressed) bytes. A regular file is read in full blocks, the fastest way
through it; anything else (standard input, a pipe, a FIFO, a terminal, a
device) is read for whatever has arrived, up to ``n`` bytes, so that a
document is judged as soon as its last byte is in, not when a block fills.

Compression is recognised by the first bytes (by the name's suffix where
they cannot be looked at before reading): gzip, bzip2 and xz through the
standard library, zstd through the ``zstandard`` package (the ``zstd``
extra). Another known compression (zip, lz4, zstd without the package) is
refused with one reason, rather than read as text that is not UTF-8.
Damaged compressed data is an ``OSError`` like any failed read. Cutting a
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


class UnsupportedCompression(ValueError):
    """An input compressed in a format that is not read here; the argument says which."""


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

    def __init__(self, raw: IO[bytes], owned: bool, streaming: bool) -> None:
        self.raw, self.owned, self.streaming = raw, owned, streaming
        self.handle: Any = raw
        self.read: Callable[[int], bytes] = raw.read1 if streaming and hasattr(raw, "read1") else raw.read

    def decompress(self, fmt: str) -> None:
        self.handle = _decompressor(fmt, _Available(self.raw) if self.streaming else self.raw)
        self.read = _Decompressed(self.handle.read1, fmt, self.streaming).read

    def close(self) -> None:
        if self.handle is not self.raw:
            self.handle.close()
        if self.owned:
            self.raw.close()


def open_input(source: str, start: int = 0, *, size: int | None = None, end: int | None = None) -> Input:
    """An input opened for reading, from byte ``start - 1`` of a plain file when ``start`` is past 0 (where
    the line before the range ends); decompressed where its first bytes say it is compressed. An fsspec
    URL is read in few, large requests up to ``end`` (where its range ends), knowing its ``size`` where
    the caller does."""
    if source == STDIN:
        if sys.stdin is None:
            raise OSError("standard input is closed")
        opened = Input(sys.stdin.buffer, False, not _is_regular(sys.stdin.buffer))
    elif is_remote(source):
        from brimwick.output.verify.remote import RemoteReader

        opened = Input(RemoteReader(source, size, end), True, False)  # type: ignore[arg-type]
    else:
        handle = open(source, "rb")
        opened = Input(handle, True, not _is_regular(handle))
    try:
        if start > 0:
            opened.raw.seek(start - 1)
            return opened
        fmt = compression_by_head(_head(opened.raw))
        if fmt is None and is_remote(source):
            fmt = compression_by_name(source)
        if fmt is not None:
            opened.decompress(fmt)
    except BaseException:
        opened.close()
        raise
    return opened


def _is_regular(handle: IO[bytes]) -> bool:
    try:
        return stat.S_ISREG(os.fstat(handle.fileno()).st_mode)
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        return False


def _head(raw: Any) -> bytes:
    """The first bytes, left to be read again."""
    if hasattr(raw, "peek"):
        return bytes(raw.peek(_HEAD_BYTES)[:_HEAD_BYTES])
    if raw.seekable():
        head = raw.read(_HEAD_BYTES)
        raw.seek(0)
        return bytes(head)
    return b""


class _Available:
    """A stream whose ``read(n)`` returns what has arrived, for a decompressor that reads in blocks."""

    def __init__(self, raw: IO[bytes]) -> None:
        self.read = raw.read1 if hasattr(raw, "read1") else raw.read


def _decompressor(fmt: str, raw: Any) -> Any:
    if fmt == "gzip":
        import gzip

        return gzip.GzipFile(fileobj=raw, mode="rb")
    if fmt == "bzip2":
        import bz2

        return bz2.BZ2File(raw, "rb")
    if fmt == "xz":
        import lzma

        return lzma.LZMAFile(raw, "rb")
    if fmt == "zstd":
        try:
            import zstandard
        except ImportError:
            raise UnsupportedCompression('compressed with zstd, which needs the zstandard package '
                                         '(pip install "brimwick-manifest[zstd]")') from None
        return zstandard.ZstdDecompressor().stream_reader(raw, read_across_frames=True)
    raise UnsupportedCompression(f"compressed with {fmt}, which is not read here (gzip, bzip2, xz and zstd are)")


class _Decompressed:
    """Reads of decompressed bytes: a whole block from a file, what has arrived from a stream. Where the
    data turns out damaged, what came before the damage is given first and the error at the next read."""

    def __init__(self, read1: Callable[[int], bytes], fmt: str, streaming: bool) -> None:
        self.read1, self.fmt, self.streaming = read1, fmt, streaming
        self.error: OSError | None = None

    def read(self, size: int) -> bytes:
        parts: list[bytes] = []
        got = 0
        while got < size and self.error is None:
            try:
                part = self.read1(size - got)
            except OSError as exc:
                self.error = exc
            except Exception as exc:  # EOFError, zlib.error, lzma.LZMAError, zstandard.ZstdError
                self.error = OSError(f"damaged {self.fmt} data: {exc}")
            else:
                if not part:
                    break
                parts.append(part)
                got += len(part)
                if self.streaming:
                    break
        if not parts and self.error is not None:
            raise self.error
        return parts[0] if len(parts) == 1 else b"".join(parts)
