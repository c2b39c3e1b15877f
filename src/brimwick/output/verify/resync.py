"""Where reading resumes after a damaged value in a stream: never past a value glued to it.

After a value that cannot be read, the lines that belong to it (they begin
with anything that cannot begin a JSON value, ``VALUE_START``: whitespace, a
closing bracket, text that is not JSON, UTF-16's zero bytes) are skipped. But a
new value may begin on one of those lines, glued to the damaged one (a write
cut short and the next one appended to it, or damage that took the line
break away): ``glued_value`` finds it, so that it gets a verdict of its own.

Each bracket of a line is a candidate at most once and is read from the
line's own text (``LineText``), never from a copy of the rest of the line.
A candidate inside a string of another candidate reads that string's text as
structure and its structure as strings, so no more than two candidates read
any stretch of a line: the search is linear in the line.

Lines that begin a value inside a damaged one spanning several lines are
judged by what was read of the damaged one (``Stretch``): such a value is the
damaged one's own part from there on, so while it is still open where that one
failed, it fails there too, for the same reason; it is never read again.
"""

from __future__ import annotations

import json
import re
from array import array
from bisect import bisect_left, bisect_right
from collections.abc import Callable
from typing import NamedTuple

from brimwick.output.verify.nesting import MAX_DEPTH, TOO_DEEP, TooDeep, within_limit
from brimwick.output.verify.positions import LineText, skip_space

VALUE_START = frozenset(b'{["-0123456789tfnNI')  # first bytes of a line that can begin a new value
EARLY_TRIES = 4  # tries a value running past its line gets on lines that start with a closing bracket
_CLOSING = (b"}", b"]")
_SPACE = frozenset(b" \t\r\n")
_INSIDE = frozenset(b":,[")  # what comes before a value that is part of a larger one
_OPENING = re.compile(rb"[\[{]")
_DECODE = json.JSONDecoder().raw_decode
_TEXT_SPACE = re.compile(r"[ \t\r\n]*")
# A bracket followed by what can go on neither an object (a key, its end) nor an array (a value, its end).
_CANNOT_GO_ON = re.compile(r'\{[ \t\r\n]*+[^"} \t\r\n]|\[[ \t\r\n]*+[^\]{\["\-0-9tfnNI \t\r\n]')
_IN_STRING = ("Unterminated string", "Invalid control character", "Invalid \\escape", "Invalid \\uXXXX escape")
_TEXT_STRING = re.compile(r'"(?:[^"\\]|\\.)*+("?)')  # a string, its closing quote in group 1 if it has one
# Brackets, line breaks and (to pass over them) strings; a string left open runs to the end of its line.
_TOKEN = re.compile(rb'"(?:[^"\\\n]|\\[^\n])*+"?|[\[\]{}\n]')


def glued_value(line: LineText, start: int, before: bytes) -> int | None:
    """Where in ``line``, from byte ``start`` on, a new value begins that was glued to a damaged one, or None.

    A bracket opens a new value when what comes before it (on this line, or
    ``before`` from the lines above) cannot come before a value inside a
    larger one, and when the text from it reads as a value followed by
    nothing or by another value, or runs out before the value ends.
    """
    data, text, end = line.data, line.text, line.end
    for match in _OPENING.finditer(data, start):
        i = match.start()
        j = i - 1
        while j >= 0 and data[j] in _SPACE:
            j -= 1
        prior = data[j] if j >= 0 else (before[0] if before else None)
        if prior in _INSIDE:
            continue
        if _reads_as_glued(text, line.char(i), end):
            return i
    return None


def _reads_as_glued(text: str, at: int, end: int) -> bool:
    if _CANNOT_GO_ON.match(text, at):  # as json would find at once, and cheaper
        return False
    stop: list[int] = []

    def decode() -> object:
        value, after = _DECODE(text, at)
        stop.append(after)
        return value

    try:
        # By the reader's own nesting limit, not the stack left here, so
        # that every process resumes at the same place.
        within_limit(decode, lambda: text[at:stop[-1]].encode("utf-8", "surrogatepass"))
    except TooDeep:
        return True
    except json.JSONDecodeError as exc:
        # Running out of the line's text (its trailing space left out) reads as glued; a string that
        # runs into that space is one that never ends on this line, like one running out of text.
        return exc.pos >= end and not exc.msg.startswith("Invalid control character")
    except ValueError:
        return False
    rest = _TEXT_SPACE.match(text, stop[-1]).end()  # type: ignore[union-attr]  # matches the empty run too
    return rest >= end or text[rest] in "{["


class Stop(NamedTuple):
    """Where reading a damaged value stopped (bytes into its text), and what a value that starts inside it,
    at the start of a line, and is still open there is told, when that is not the damaged value's reason."""

    offset: int
    undecodable: tuple[int, str] | None = None  # a byte that is not UTF-8 (its offset, why) ends the text
    # A string runs to the end of its line (the line `offset` is on): what json says when the try that
    # finds it takes no line after it (None when that reads as text running out), and when a later
    # try does (`otherwise`; None when that one runs into the byte that is not UTF-8 after it).
    unterminated: str | None = None
    otherwise: str | None = None
    # The JSON error found before a byte that is not UTF-8, near the end of the input: the reason when
    # a try finds it before the input ends; after that only the byte that is not UTF-8 counts.
    if_tried: str | None = None


def stop_at(text: str, exc: ValueError, number: int, cut: UnicodeDecodeError | None = None) -> Stop | None:
    """Where json stopped reading a damaged value's ``text`` (lines from line ``number``, ``cut`` short
    before a byte that is not UTF-8); None for an error with no place (an integer past the digit limit).

    An error inside a string that runs to the end of its line depends on whether the text held ends
    with that line: what json says in either case is read off that line alone.
    """
    if not isinstance(exc, json.JSONDecodeError):
        return None
    pos = exc.pos
    begins = text.rfind("\n", 0, pos) + 1
    ends = text.find("\n", begins)
    if ends < 0:
        if cut is not None:  # the line runs into the byte that is not UTF-8: any reading of it does
            return Stop(_offset(text, pos))
        ends = len(text)
    opened = -1
    for string in _TEXT_STRING.finditer(text, begins, ends):
        opened = -1 if string.group(1) else string.start()
    if opened < 0 or pos < opened or not exc.msg.startswith(_IN_STRING):
        return Stop(_offset(text, pos))
    line, held = number + text.count("\n", 0, pos), text[begins:ends]
    content = len(held.rstrip(" \t\r\n"))
    here, here_at = _in_string(held, opened - begins, line)  # the text held ends with the line
    later, later_at = _in_string(held + "\n", opened - begins, line)  # a line follows
    # Found where only space follows in what is held, it reads as text running out: reading goes on,
    # and runs into the byte that is not UTF-8 when nothing but space comes before it.
    unterminated = here if here_at < content else None
    if later_at >= content and cut is not None and not text[ends:].strip(" \t\r\n"):
        return Stop(_offset(text, opened), unterminated=unterminated, undecodable=(cut.start, cut.reason))
    return Stop(_offset(text, opened), unterminated=unterminated, otherwise=later)


def _in_string(line: str, opened: int, number: int) -> tuple[str, int]:
    """Why json cannot read the string opened at ``opened`` of ``line`` (line ``number``), and where."""
    try:
        json.decoder.scanstring(line, opened + 1)  # type: ignore[attr-defined]  # json's own, as its reader calls it
    except json.JSONDecodeError as exc:
        return f"invalid JSON: {exc.msg}: line {number} column {exc.pos + 1}", exc.pos
    raise AssertionError("a string that runs to the end of its line ends")


def _offset(text: str, char: int) -> int:
    """Bytes of ``text`` up to character ``char``."""
    return len(text[:char].encode("utf-8"))


class Stretch:
    """What was read of a damaged value that spans lines: ``buffer`` holds its text from where it starts,
    on line ``number``; reading it stopped at ``stop`` for ``reason``; ``ends_input()`` says whether the
    input ends with the buffer, asked only when that decides a reason.

    A value that opens a later line of it (in an array of it) is its own part from there on: one that
    closes before ``stop`` is read as any other value, one still open at ``stop`` fails there too.
    Its reason is the same, but where the reason depends on how far the reading had got when it was
    found (see ``Stop``): the tries that reader would have made are worked out from the lines' lengths.
    """

    def __init__(self, buffer: bytes, number: int, reason: str, stop: Stop, ends_input: Callable[[], bool]) -> None:
        self._buffer, self._number, self._reason, self._stop = buffer, number, reason, stop
        self._ends_input = ends_input
        self.last_line = number + buffer.count(b"\n", 0, stop.offset)
        self._last_offset = stop.offset - buffer.rfind(b"\n", 0, stop.offset) - 1  # where on its line
        self._openers: dict[int, tuple[int, int, bool]] | None = None
        self._ends = array("q")  # where each line of the buffer ends
        self._closing = array("q")  # the lines that start with a closing bracket

    def holds(self, line: int) -> bool:
        """Whether line ``line`` starts before reading the damaged value stopped."""
        return line < self.last_line or (line == self.last_line and self._last_offset > 0)

    def verdict(self, line: int) -> str | None:
        """The reason a value that opens line ``line`` (inside) and runs past it cannot be read: the damaged
        value's while it is still open where that one stopped, the nesting limit's when it nests deeper;
        None when it closes inside, to be read as any other."""
        if self._openers is None:
            self._openers = _openers(self._buffer, self._number, self._stop.offset)
        found = self._openers.get(line)
        if found is None:
            return None
        begins, deepest, still_open = found
        if deepest > MAX_DEPTH:
            return TOO_DEEP
        return self._reason_from(line - self._number, begins) if still_open else None

    def _reason_from(self, first: int, begins: int) -> str:
        stop = self._stop
        target = self.last_line - self._number
        if stop.unterminated is not None:
            tried = self._tried(first, begins, target)
            if tried is None and self._ends_input():
                tried = len(self._ends) - 1  # the try at the end of the input holds every line
            if tried == target:
                return stop.unterminated
        if stop.if_tried is not None and self._tried(first, begins, target) is not None:
            return stop.if_tried
        if stop.undecodable is not None:
            bad, why = stop.undecodable
            return f"not UTF-8 text: {why} at byte {bad - begins}"
        return stop.otherwise or self._reason

    def _tried(self, first: int, begins: int, target: int) -> int | None:
        """The first line from ``target`` on at which a value starting on line ``first`` (at byte ``begins``)
        is read again, as ``streams`` tries one: each time it has doubled, and on its first lines that
        start with a closing bracket; None past the buffer's end."""
        if not self._ends:
            self._lines()
        ends, closing = self._ends, self._closing
        tried, early, at = ends[first] - begins, EARLY_TRIES, first
        while True:
            by_size = bisect_left(ends, begins + 2 * tried, at + 1)
            after = bisect_right(closing, at)
            by_closing = closing[after] if early > 0 and after < len(closing) else len(ends)
            at = min(by_size, by_closing)
            if at >= len(ends) or at >= target:
                return at if at < len(ends) else None
            early -= at == by_closing
            tried = ends[at] - begins

    def _lines(self) -> None:
        buffer, begins = self._buffer, 0
        while True:
            if buffer[begins:begins + 1] in _CLOSING:
                self._closing.append(len(self._ends))
            cut = buffer.find(b"\n", begins)
            self._ends.append(len(buffer) if cut < 0 else cut)
            if cut < 0:
                return
            begins = cut + 1


def _openers(buffer: bytes, number: int, stop: int) -> dict[int, tuple[int, int, bool]]:
    """For each line after the first whose first byte (past spaces) opens an array or object that is still
    open at ``stop``, or nests deeper than the limit: (where the line begins, its deepest level, whether
    it is still open). Only these: any other closes inside, to be read as any other value."""
    found: dict[int, tuple[int, int, bool]] = {}
    frames: list[list[int]] = []  # open brackets: [line it opens (or -1), where that line begins, deepest level]
    line, begins = number, 0
    for token in _TOKEN.finditer(buffer, 0, stop):
        kind = buffer[token.start()]
        if kind == 0x0A:
            line, begins = line + 1, token.end()
        elif kind in b"[{":
            first = line > number and skip_space(buffer, begins) == token.start()
            frames.append([line if first else -1, begins, len(frames) + 1])
        elif kind in b"]}" and frames:
            opened, at, deepest = frames.pop()
            if frames:
                frames[-1][2] = max(frames[-1][2], deepest)
            if opened >= 0 and deepest - len(frames) > MAX_DEPTH:
                found[opened] = (at, deepest - len(frames), False)
    for depth in range(len(frames) - 1, -1, -1):  # still open where reading stopped: deepest first
        opened, at, deepest = frames[depth]
        if depth:
            frames[depth - 1][2] = max(frames[depth - 1][2], deepest)
        if opened >= 0:
            found[opened] = (at, deepest - depth, True)
    return found
