"""Lines out of bytes: an input cut into lines, in bounded memory, from any byte offset on.

An input is read in blocks of ``READ_BYTES``; a line longer than the limit
comes out as None without being held whole, so nothing larger than one line
(and never more than the limit of it) is kept at a time. A reader given a
byte range owns exactly the lines that start inside it, so that ranges read
apart from each other see every line once. ``ReadAhead`` fetches the next
blocks of a file in a thread of its own. What a line holds is not looked at
here: ``documents`` parses lines into values.
"""

from __future__ import annotations

import queue
import threading
from collections.abc import Callable, Iterator
from typing import Protocol

READ_BYTES = 1024 * 1024  # one read from an input


class Readable(Protocol):
    def read(self, size: int, /) -> bytes: ...


class ReadAhead:
    """Reads the next blocks of a file in a thread of its own while the
    caller works on the current one, at most ``depth`` blocks ahead: the
    copying out of the page cache then overlaps the parsing. Meant for
    regular files, whose reads never block for long; ``close`` before
    closing the file."""

    def __init__(self, handle: Readable, size: int = READ_BYTES, depth: int = 2) -> None:
        self._blocks: queue.Queue[bytes | BaseException] = queue.Queue(maxsize=depth)
        self._stop = threading.Event()
        self._ended = False
        self._thread = threading.Thread(target=self._run, args=(handle, size), name="brimwick-read-ahead", daemon=True)
        self._thread.start()

    def _run(self, handle: Readable, size: int) -> None:
        try:
            while not self._stop.is_set():
                block = handle.read(size)
                self._hand_over(block)
                if not block:
                    return
        except BaseException as exc:  # raised again by read(), in the reader's turn
            self._hand_over(exc)

    def _hand_over(self, item: bytes | BaseException) -> None:
        while not self._stop.is_set():
            try:
                self._blocks.put(item, timeout=0.1)
                return
            except queue.Full:
                continue

    def read(self, size: int = READ_BYTES) -> bytes:
        """The next block (of the size given at construction); b"" at the end."""
        if self._ended:
            return b""
        item = self._blocks.get()
        if isinstance(item, BaseException):
            self._ended = True
            raise item
        self._ended = not item
        return item

    def close(self) -> None:
        self._stop.set()
        self._thread.join()


def iter_lines(read: Callable[[int], bytes], *, skip_first: bool, end: int | None, limit: int,
               counter: list[int]) -> Iterator[bytes | memoryview | None]:
    """The lines of a byte stream (without their line breaks), None for a line longer than ``limit``.

    A line that lies within one read comes as a memoryview of it, so that
    nothing is copied before it is parsed; one that spans reads comes as
    bytes. ``read`` starts at offset ``start - 1`` when ``skip_first`` is
    true: the text up to the first line break belongs to the previous range,
    and the lines this reader owns are those that start before ``end`` bytes
    past ``start`` (or all of them when ``end`` is None). ``counter[0]``
    counts the lines owned so far, blank or not.
    """
    offset = -1 if skip_first else 0  # offset of the current line's start, relative to start
    parts: list[bytes] = []  # the current line so far, when it spans reads
    held = 0  # bytes of the current line so far
    oversize = skip_first  # the current line is being skipped (reported already, or not ours)
    while True:
        block = read(READ_BYTES)
        if not block:
            break
        cut = block.find(b"\n")
        if cut < 0:
            held += len(block)
            if not oversize:
                if held > limit:  # report it now: the line may never end
                    parts, oversize = [], True
                    counter[0] += 1
                    yield None
                else:
                    parts.append(block)
            continue
        view = memoryview(block)
        if not oversize:  # finish the line that spans from earlier reads
            line = b"".join((*parts, block[:cut])) if parts else view[:cut]
            counter[0] += 1
            yield line if len(line) <= limit else None
        offset += held + cut + 1
        if end is not None and offset >= end:
            return
        parts, held, oversize = [], 0, False
        find = block.find
        begin = cut + 1
        while (stop := find(b"\n", begin)) >= 0:
            counter[0] += 1
            yield view[begin:stop] if stop - begin <= limit else None
            offset += stop - begin + 1
            if end is not None and offset >= end:
                return
            begin = stop + 1
        held = len(block) - begin
        if held > limit:
            oversize = True
            counter[0] += 1
            yield None
        elif held:
            parts.append(block[begin:])
    if parts and not oversize:
        counter[0] += 1
        yield b"".join(parts)
