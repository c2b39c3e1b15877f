"""Lines out of bytes: an input cut into lines, in bounded memory, from any byte offset on.

An input is read in blocks of ``READ_BYTES``; a line longer than the limit
comes out as None without being held whole, so nothing larger than one line
(and never more than the limit of it) is kept at a time. A reader given a
byte range owns exactly the lines that start inside it, so that ranges read
apart from each other see every line once. ``ReadAhead`` fetches the next
blocks of a file in a thread of its own. What a line holds is not looked at
here: ``documents`` parses lines into values. ``Rereading`` numbers the lines
of a stream and gives back first what its reader handed back to read again.
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
            parts = []  # the line holds them now: not twice while it is read
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
        line, parts = b"".join(parts), []
        yield line


# A line to read: (where it starts, the whole line or None for one over the
# limit, the offset in it where reading starts). Where it starts is the line's
# number, or a positions.Position for what follows a value on the same line.
Piece = tuple[int, bytes | None, int]


class Rereading:
    """The lines of a stream, numbered from 1, with what the reader hands back read again first, last
    handed back first: the rest of a line (a ``Piece``), or lines it took more of than a value needed,
    as one buffer holding them (``give_back_lines``), so that handing back many lines costs no more
    than the buffer they already are."""

    def __init__(self, lines: Iterator[bytes | memoryview | None]) -> None:
        self._lines = lines
        self._number = 0
        self._back: list[Piece | _Held] = []

    def pull(self) -> Piece | None:
        """The next piece to read, or None at the end of the stream."""
        back = self._back
        if back:
            top = back[-1]
            if isinstance(top, _Held):
                return self._next_held(top)
            back.pop()
            return top
        line = next(self._lines, _END)
        if line is _END:
            return None
        self._number += 1
        return self._number, bytes(line) if type(line) is memoryview else line, 0  # type: ignore[return-value]

    def nothing_after(self, buffer: bytes) -> bool:
        """Whether the input ends with the lines of ``buffer`` (handed back and being read again): nothing
        else is held to read after them, and no line follows (one is read ahead to know, and held)."""
        for below, held in enumerate(self._back):
            if isinstance(held, _Held) and held.buffer is buffer:
                if below:
                    return False
                break
        line = next(self._lines, _END)
        if line is _END:
            return True
        self._number += 1
        self._back.insert(0, (self._number, bytes(line) if type(line) is memoryview else line, 0))  # type: ignore[arg-type]
        return False

    def give_back(self, piece: Piece) -> None:
        self._back.append(piece)

    def give_back_lines(self, buffer: bytes, offset: int, number: int) -> None:
        """The lines of ``buffer`` from ``offset`` on (split at "\\n"), the first of them line ``number``."""
        self._back.append(_Held(buffer, offset, number))

    def _next_held(self, held: _Held) -> Piece:
        buffer, offset, number = held.buffer, held.offset, held.number
        cut = buffer.find(b"\n", offset)
        if cut < 0:
            self._back.pop()
            return number, buffer[offset:], 0
        held.offset, held.number = cut + 1, number + 1
        return number, buffer[offset:cut], 0


class _Held:
    __slots__ = ("buffer", "offset", "number")

    def __init__(self, buffer: bytes, offset: int, number: int) -> None:
        self.buffer, self.offset, self.number = buffer, offset, number


_END = object()
