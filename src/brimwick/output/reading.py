"""Read stored scan documents from files and streams, in bounded memory.

Every document comes out as exactly the value ``json.loads`` gives for its
UTF-8 text. Parsing goes through msgspec, which gives the standard library's
values wherever it accepts the text (integers of any length up to the
interpreter's digit limit included), and falls back to ``json`` for what it
refuses (NaN and Infinity literals, numbers out of the double range, lone
surrogates, nesting past its depth limit, text that is not JSON at all).

Two layouts are read:

- JSON Lines (files named ``.jsonl`` or ``.ndjson``): every non-blank line is
  one document.
- Anything else: a stream of JSON values separated by whitespace, one per line
  as JSON Lines, pretty-printed one after another as ``jq`` writes them, or a
  single document. A value that does not parse is reported with the line it
  starts on; reading resumes at the next line that starts at its first column
  (a line that begins with whitespace or a closing bracket belongs to the
  value that failed), so one damaged record never hides the others.

Input is read in chunks; nothing larger than one document (and never more
than ``max_document_bytes`` of it) is held at a time.
"""

from __future__ import annotations

import json
import queue
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import IO, Any

import msgspec

DEFAULT_MAX_DOCUMENT_BYTES = 256 * 1024 * 1024
READ_BYTES = 1024 * 1024  # one read from an input
JSON_LINES_SUFFIXES = (".jsonl", ".ndjson")

_JSON_SPACE = b" \t\r\n"
_DECODER = json.JSONDecoder()
_FAST_DECODE = msgspec.json.Decoder().decode
# ValidationError (a number out of range) is a DecodeError too; nesting past
# the recursion limit raises RecursionError, which json then reports its way.
_FAST_REFUSED = (msgspec.DecodeError, RecursionError)
TOO_DEEP = "nested deeper than the reader's limit (about 1,000 levels)"


class Unreadable(Exception):
    """Text that is not one JSON value; the argument says why in plain words."""


@dataclass(frozen=True)
class Damaged:
    """Stands in for a value that could not be read."""

    reason: str


def too_large(limit: int) -> str:
    return f"larger than the {_size(limit)} limit for one document (--max-document-bytes)"


def _size(count: int) -> str:
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if count >= scale and count % scale == 0:
            return f"{count // scale} {unit}"
    return f"{count:,} bytes"


def parse_json(data: bytes) -> Any:
    """The value ``json.loads(data.decode("utf-8"))`` gives, or Unreadable with the reason."""
    try:
        return _FAST_DECODE(data)
    except _FAST_REFUSED:
        pass
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise Unreadable(f"not UTF-8 text: {exc.reason} at byte {exc.start}") from None
    try:
        return json.loads(text)
    except RecursionError:
        raise Unreadable(TOO_DEEP) from None
    except ValueError as exc:
        raise Unreadable(f"invalid JSON: {exc}") from None


class ReadAhead:
    """Reads the next blocks of a file in a thread of its own while the
    caller works on the current one, at most ``depth`` blocks ahead: the
    copying out of the page cache then overlaps the parsing. Meant for
    regular files, whose reads never block for long; ``close`` before
    closing the file."""

    def __init__(self, handle: IO[bytes], size: int = READ_BYTES, depth: int = 2) -> None:
        self._blocks: queue.Queue[bytes | BaseException] = queue.Queue(maxsize=depth)
        self._stop = threading.Event()
        self._ended = False
        self._thread = threading.Thread(target=self._run, args=(handle, size), name="brimwick-read-ahead", daemon=True)
        self._thread.start()

    def _run(self, handle: IO[bytes], size: int) -> None:
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


def is_json_lines(name: str) -> bool:
    return name.lower().endswith(JSON_LINES_SUFFIXES)


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


def json_lines_values(lines: Iterator[bytes | memoryview | None], limit: int) -> Iterator[tuple[int, Any]]:
    """(line number from 1, value or Damaged) for every non-blank line."""
    number = 0
    for line in lines:
        number += 1
        if line is None:
            yield number, Damaged(too_large(limit))
            continue
        try:
            value = _FAST_DECODE(line)
        except _FAST_REFUSED:
            data = bytes(line)
            if not data.strip(_JSON_SPACE):
                continue
            try:
                value = parse_json(data)
            except Unreadable as exc:
                value = Damaged(str(exc))
        yield number, value


_CONTINUATION = tuple(b" \t}],:")  # first bytes of lines inside a value, never of a new one


def stream_values(lines: Iterator[bytes | memoryview | None], limit: int) -> Iterator[tuple[int, Any]]:
    """(line number from 1 where it starts, value or Damaged) for a whitespace-separated stream of JSON values."""
    back: list[tuple[int, bytes | None]] = []  # lines to read again, last first
    number = 0
    resync = False

    def pull() -> tuple[int, bytes | None] | None:
        nonlocal number
        if back:
            return back.pop()
        line = next(lines, _END)
        if line is _END:
            return None
        number += 1
        return number, bytes(line) if type(line) is memoryview else line  # type: ignore[return-value]

    while (item := pull()) is not None:
        at, line = item
        if line is None:
            yield at, Damaged(too_large(limit))
            resync = True
            continue
        body = line.strip(_JSON_SPACE)
        if not body:
            continue
        if resync and line[0] in _CONTINUATION:
            continue
        resync = False
        try:
            yield at, _FAST_DECODE(body)
            continue
        except _FAST_REFUSED:
            pass
        # A value that is not one whole line: let the standard decoder find
        # where it ends, taking more lines while it runs out of text.
        block: list[tuple[int, bytes]] = [(at, line)]
        size, tried, exhausted = len(line), 0, False
        while True:
            if size >= 2 * tried or exhausted:
                tried = size
                outcome = _decode_block(block, exhausted)
                if outcome is not None:
                    break
            if size > limit:  # the value may still end inside what is held
                outcome = _decode_block(block, False) or (Damaged(too_large(limit)), None)
                break
            more = pull()
            if more is None:
                exhausted = True
            elif more[1] is None:
                back.append(more)
                exhausted = True
            else:
                block.append((more[0], more[1]))
                size += len(more[1]) + 1
        value, used = outcome
        yield at, value
        if isinstance(value, Damaged):
            resync = True
            back.extend(reversed(block[1:]))
        else:
            # The value ended inside line `used` of the block: what follows
            # it on that line is read again, then the rest of the block.
            rest_lines = block[used[0] + 1 :]
            back.extend(reversed(rest_lines))
            if used[1]:
                back.append((block[used[0]][0], used[1]))


_END = object()


def _decode_block(block: list[tuple[int, bytes]], final: bool) -> tuple[Any, Any] | None:
    """Decode the value at the start of ``block``.

    Returns (value, (index of the line it ends in, the rest of that line)),
    (Damaged, None) when it cannot be read, or None when the text ran out
    before the value ended and more lines may follow.
    """
    data = b"\n".join(line for _, line in block)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        if exc.start > len(block[0][1]) and not final:
            text = data[: exc.start].decode("utf-8")
        else:
            return Damaged(f"not UTF-8 text: {exc.reason} at byte {exc.start}"), None
    begin = len(text) - len(text.lstrip(" \t\r\n"))
    try:
        value, end = _DECODER.raw_decode(text, begin)
    except RecursionError:
        return Damaged(TOO_DEEP), None
    except json.JSONDecodeError as exc:
        if not final and exc.pos >= len(text.rstrip(" \t\r\n")):
            return None
        return Damaged(f"invalid JSON: {exc}"), None
    consumed = len(text[:end].encode("utf-8"))
    for index, (_, line) in enumerate(block):
        if consumed <= len(line):
            rest = line[consumed:]
            return value, (index, rest if rest.strip(_JSON_SPACE) else b"")
        consumed -= len(line) + 1
    return value, (len(block) - 1, b"")  # pragma: no cover - the value ends inside the block
