"""Decompressing an input as it is read, every compressed stream to its verified end.

gzip goes through ``gzip.GzipFile``, which already refuses data cut short and
bytes after a member that do not start another. bzip2, xz and zstd go
through ``Streams``: one stream after another (as ``cat a.xz b.xz`` makes
them), each read to its end marker; input that ends inside a stream, or goes
on with bytes that do not start another, is damage. (The standard library's
bzip2 and xz readers skip such trailing bytes, which may be a second stream
whose start was damaged, and zstandard's reader takes a cut frame for the
end of the input.) Every error of the data itself is an ``OSError`` that
names the format; an error reading the input is raised as it is.

A few bytes of xz or zstd can claim a dictionary or window of gigabytes,
which the decompressor would allocate: xz is held to ``XZ_MEMORY`` and zstd
to ``ZSTD_WINDOW``, above what any preset of either tool uses, and data
that asks for more is damage like any other.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, Protocol

RAW_BYTES = 64 << 10  # compressed bytes read at a time
XZ_MEMORY = 100 << 20  # xz -9 decompresses in 65 MiB
ZSTD_WINDOW = 64 << 20  # zstd -19 uses an 8 MiB window, --ultra -22 and --long 128 MiB
CUT_SHORT = "Compressed file ended before the end-of-stream marker was reached"  # the standard library's words


class UnsupportedCompression(ValueError):
    """An input compressed in a format that is not read here; the argument says which."""


class Stream(Protocol):
    """A decompressor of one stream, as the standard library's bzip2 and xz ones are."""

    @property
    def eof(self) -> bool: ...
    @property
    def needs_input(self) -> bool: ...
    @property
    def unused_data(self) -> bytes: ...

    def decompress(self, data: bytes, max_length: int = -1, /) -> bytes: ...


def decompressor(fmt: str, read_raw: Callable[[int], bytes], raw: Any) -> Any:
    """Something with ``read1(n)`` and ``close()`` that gives the decompressed bytes of ``raw``, read
    through ``read_raw`` (a file's ``read``, or what a stream has in)."""
    if fmt == "gzip":
        import gzip

        return gzip.GzipFile(fileobj=raw, mode="rb")
    if fmt == "bzip2":
        import bz2

        return Streams(read_raw, bz2.BZ2Decompressor)
    if fmt == "xz":
        import lzma

        return Streams(read_raw, lambda: lzma.LZMADecompressor(memlimit=XZ_MEMORY), padded=True)
    if fmt == "zstd":
        try:
            import zstandard
        except ImportError:
            raise UnsupportedCompression('compressed with zstd, which needs the zstandard package '
                                         '(pip install "brimwick-manifest[zstd]")') from None
        return Streams(read_raw, lambda: ZstdFrame(zstandard.ZstdDecompressor(max_window_size=ZSTD_WINDOW).decompressobj()))
    raise UnsupportedCompression(f"compressed with {fmt}, which is not read here (gzip, bzip2, xz and zstd are)")


class Streams:
    """The decompressed bytes of one compressed stream after another, each read to its end marker.
    ``padded``: streams may be followed by zero bytes in multiples of four, as xz's are."""

    def __init__(self, read_raw: Callable[[int], bytes], new_stream: Callable[[], Stream], padded: bool = False) -> None:
        self.read_raw, self.new_stream, self.padded = read_raw, new_stream, padded
        self.stream = new_stream()

    def read1(self, size: int) -> bytes:
        """Up to ``size`` bytes; b"" where the input ends where a stream does."""
        while True:
            stream = self.stream
            if stream.eof:
                data = self._after_stream(stream.unused_data)
                if not data:
                    return b""
                stream = self.stream = self.new_stream()  # what follows must be another stream
            elif stream.needs_input:
                data = self.read_raw(RAW_BYTES)
                if not data:
                    raise EOFError(CUT_SHORT)
            else:
                data = b""
            out = stream.decompress(data, size)
            if out:
                return out

    def _after_stream(self, data: bytes) -> bytes:
        """What follows an ended stream, its padding skipped: b"" where the input ends."""
        padding = 0
        while True:
            data = data or self.read_raw(RAW_BYTES)
            if not self.padded or not data:
                break
            rest = data.lstrip(b"\0")
            padding += len(data) - len(rest)
            if rest:
                data = rest
                break
            data = b""
        if padding % 4:
            raise EOFError(f"stream padding of {padding} bytes, not a multiple of 4")
        return data

    def close(self) -> None:
        """Nothing of its own to close: the input is its opener's."""


class ZstdFrame:
    """zstandard's decompressor of one frame, made to behave as the standard library's do. It gives all
    the output of what it is given at once, and a few bytes of zstd can stand for 128 KiB, so it is given
    ``FEED`` bytes at a time: no call makes more than 8 MiB, whatever the data."""

    FEED = 256

    def __init__(self, frame: Any) -> None:
        self.frame = frame
        self.input = memoryview(b"")  # given and not yet fed
        self.output = memoryview(b"")  # made and not yet returned

    @property
    def eof(self) -> bool:
        return bool(self.frame.eof) and not self.output

    @property
    def needs_input(self) -> bool:
        return not (self.input or self.output or self.frame.eof)

    @property
    def unused_data(self) -> bytes:
        return bytes(self.frame.unused_data) + bytes(self.input)

    def decompress(self, data: bytes, max_length: int = -1, /) -> bytes:
        if data:
            self.input = memoryview(data)
        parts, got = [], 0
        while got < max_length and (self.output or (self.input and not self.frame.eof)):
            if not self.output:
                piece, self.input = self.input[:self.FEED], self.input[self.FEED:]
                self.output = memoryview(self.frame.decompress(piece))
            part, self.output = self.output[:max_length - got], self.output[max_length - got:]
            parts.append(part)
            got += len(part)
        return b"".join(parts)


class Decompressed:
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
                # A failed read has its errno; the data's own faults (a gzip CRC, bzip2's "Invalid
                # data stream") have none.
                self.error = exc if exc.errno is not None else self._damaged(exc)
            except Exception as exc:  # EOFError, zlib.error, lzma.LZMAError, zstandard.ZstdError
                self.error = self._damaged(exc)
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

    def _damaged(self, exc: Exception) -> OSError:
        return OSError(f"damaged {self.fmt} data: {exc}")
