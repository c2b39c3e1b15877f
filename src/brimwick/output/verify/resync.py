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

from brimwick.output.verify.nesting import MAX_DEPTH, TOO_DEEP, TooDeep, within_limit
from brimwick.output.verify.positions import LineText, skip_space

VALUE_START = frozenset(b'{["-0123456789tfnNI')  # first bytes of a line that can begin a new value
_SPACE = frozenset(b" \t\r\n")
_INSIDE = frozenset(b":,[")  # what comes before a value that is part of a larger one
_OPENING = re.compile(rb"[\[{]")
_DECODE = json.JSONDecoder().raw_decode
_TEXT_SPACE = re.compile(r"[ \t\r\n]*")
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


class Stretch:
    """What was read of a damaged value that spans lines: ``buffer`` holds its text from where it starts,
    on line ``number``, and reading it stopped at byte ``stop`` of it (where json found it wrong, the
    first byte that is not UTF-8, or the end of what was read) for ``reason``."""

    def __init__(self, buffer: bytes, number: int, stop: int, reason: str, undecodable: str | None = None) -> None:
        self._buffer, self._number, self._stop, self._reason = buffer, number, stop, reason
        self._undecodable = undecodable  # why the byte at `stop` is not UTF-8, when that is the reason
        self.last_line = number + buffer.count(b"\n", 0, stop)
        self._last_offset = stop - buffer.rfind(b"\n", 0, stop) - 1  # where on its line reading stopped
        self._openers: dict[int, tuple[int, int, int]] | None = None

    def holds(self, line: int) -> bool:
        """Whether line ``line`` starts before reading the damaged value stopped."""
        return line < self.last_line or (line == self.last_line and self._last_offset > 0)

    def verdict(self, line: int) -> str | None:
        """The reason a value that opens line ``line`` (inside) and runs past it cannot be read: the damaged
        value's while it is still open where that one stopped, the nesting limit's when it nests deeper;
        None when it closes inside, to be read as any other."""
        if self._openers is None:
            self._openers = _openers(self._buffer, self._number, self._stop)
        found = self._openers.get(line)
        if found is None:
            return None
        begins, closes, deepest = found
        if deepest > MAX_DEPTH:
            return TOO_DEEP
        if closes >= 0:
            return None
        if self._undecodable is not None:
            return f"not UTF-8 text: {self._undecodable} at byte {self._stop - begins}"
        return self._reason


def _openers(buffer: bytes, number: int, stop: int) -> dict[int, tuple[int, int, int]]:
    """For each line after the first whose first byte (past spaces) opens an array or object that does not
    close on that line, up to ``stop``: (where the line begins, where it closes or -1, its deepest level)."""
    found: dict[int, tuple[int, int, int]] = {}
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
            if opened >= 0 and opened != line:
                found[opened] = (at, token.start(), deepest - len(frames))
    for depth in range(len(frames) - 1, -1, -1):  # still open where reading stopped: deepest first
        opened, at, deepest = frames[depth]
        if depth:
            frames[depth - 1][2] = max(frames[depth - 1][2], deepest)
        if opened >= 0:
            found[opened] = (at, -1, deepest - depth)
    return found
