"""A stream of JSON values separated by whitespace, read value by value, each byte a bounded number of times.

A line that is one value is read whole (msgspec), as a JSON Lines line is.
Any other value is read from its line's text, decoded once (``LineText``):
values one after another on a long line (compact documents glued together, a
file with CR line ends) are each read from where the one before ended, never
from a copy of the rest of the line. A value that runs past its line takes
the lines after it into one buffer, tried again each time the buffer doubles
and on a line that starts with a closing bracket (where a pretty-printed
document ends), so a value costs time in proportion to its size whatever its
layout; the lines it took past its end are read again from that buffer.

A damaged value is decided as soon as what was read decides it: a JSON
error, a byte inside it that is not UTF-8, or levels past the nesting limit
even before it ends. Reading then resumes as ``resync`` says: at a value glued
to it on its first line, else on the lines after that line, where a value
that starts inside the damaged one and is still open where that one failed
gets its verdict from it (``Stretch``) instead of being read again.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Generator, Iterator
from typing import Any, NamedTuple

from brimwick.output.verify import readings
from brimwick.output.verify.documents import REFUSED, Damaged, fast, strict_whole, too_large, unreadable
from brimwick.output.verify.lines import Piece, Rereading
from brimwick.output.verify.nesting import TOO_DEEP, TooDeep, past_the_limit, too_deep, within_limit
from brimwick.output.verify.positions import LineText, Position, skip_space
from brimwick.output.verify.resync import EARLY_TRIES, VALUE_START, Stop, Stretch, glued_value, stop_at

_SPACE = b" \t\r\n"
_CLOSING = (b"}", b"]")
_CUT_SHORT = "unexpected end of data"  # a character that the end of what was read cut in two
_DECODE = json.JSONDecoder().raw_decode

RawDecode = Callable[[str, int], tuple[Any, int]]
Reading = Generator[tuple[int, Any], None, tuple[bool, bytes]]


def values_of_stream(lines: Iterator[bytes | memoryview | None], limit: int, strict: bool = False,
                     ) -> Iterator[tuple[int, Any]]:
    """(line number from 1 where it starts, value or Damaged) for a whitespace-separated stream of JSON values."""
    return _Stream(lines, limit, strict).values()


class _Read(NamedTuple):
    value: Any
    end: int  # bytes of the block up to the value's end


class _Failed(NamedTuple):
    reason: str
    stop: Stop | None = None  # where reading it stopped, for the values inside it (see resync.Stretch)
    ends_input: bool = False  # what was read of it runs to the end of the input


class _Block:
    """The text of a value that runs past its first line: that line from where the value starts, then
    each line after it, joined by line breaks in one buffer."""

    __slots__ = ("at", "buffer", "first", "tried", "early", "closing")

    def __init__(self, at: int, data: bytes, start: int) -> None:
        self.at = at
        self.buffer = bytearray(memoryview(data)[start:])
        self.first = self.tried = len(self.buffer)
        self.early = EARLY_TRIES
        self.closing = False

    def add(self, line: bytes) -> None:
        self.buffer += b"\n"
        self.buffer += line
        self.closing = line[:1] in _CLOSING

    def decode(self, final: bool, raw_decode: RawDecode) -> _Read | _Failed | None:
        """The value at the start of the block, why it cannot be read, or None when the text ran out
        before the value ended and more lines may end it. A byte that is not UTF-8 past the first line
        ends the text read; the value is damaged by it once the value is seen to run into it."""
        data = self.buffer
        cut = None
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError as exc:
            if exc.start <= self.first:
                return _Failed(_not_utf8(exc))
            text, cut = data[: exc.start].decode("utf-8"), exc
        begin = len(text) - len(text.lstrip(" \t\r\n"))
        try:
            value, end = decode(raw_decode, text, begin)
        except TooDeep:
            return _Failed(_not_utf8(cut)) if final and cut else _Failed(TOO_DEEP, _past_the_limit(data), final)
        except ValueError as exc:
            ran_out = isinstance(exc, json.JSONDecodeError) and exc.pos >= len(text.rstrip(" \t\r\n"))
            if cut is not None and (final or (ran_out and cut.reason != _CUT_SHORT)):
                return self._undecodable(cut, text, exc, ran_out, final)
            if ran_out and not final:  # unfinished, unless nested past the limit already
                return _Failed(TOO_DEEP, _past_the_limit(data), final) if too_deep(data) else None
            reason = unreadable(data, exc, self.at)
            if reason == TOO_DEEP:
                return _Failed(reason, _past_the_limit(data), final)
            return _Failed(reason, stop_at(text, exc, int(self.at), cut), final)
        if cut is not None and final:
            return _Failed(_not_utf8(cut))
        return _Read(value, end if len(text) == len(data) else len(text[:end].encode("utf-8")))

    def _undecodable(self, cut: UnicodeDecodeError, text: str, exc: ValueError, ran_out: bool, final: bool,
                     ) -> _Failed:
        """The value runs into a byte that is not UTF-8 (``ran_out``), or the input ended with one after
        the value went wrong (``exc``): either way that byte is the reason, as it always was."""
        reason, where = _not_utf8(cut), (cut.start, cut.reason)
        found = stop_at(text, exc, int(self.at), cut)
        if ran_out:  # the last line held may end inside a string: what reads it up to there says so
            return _Failed(reason, found if found is not None and found.undecodable else Stop(cut.start, where), final)
        if found is None or found.unterminated is not None or found.undecodable or found.otherwise:
            return _Failed(reason)  # what a value inside it would be told depends on its own tries
        return _Failed(reason, Stop(found.offset, where, if_tried=unreadable(self.buffer, exc, self.at)), final)


def _past_the_limit(data: bytearray) -> Stop:
    """A value nested too deep stops where it passes the limit: the values inside it still open there are
    nested too deep as well (though some may be no more than the limit from their own start)."""
    passed = past_the_limit(data)
    return Stop(passed if passed >= 0 else len(data))


def _not_utf8(exc: UnicodeDecodeError) -> str:
    return f"not UTF-8 text: {exc.reason} at byte {exc.start}"


def decode(raw_decode: RawDecode, text: str, begin: int) -> tuple[Any, int]:
    """The value at ``begin`` in ``text`` and where it ends, by the reader's nesting limit (TooDeep past it)."""
    ends: list[int] = []

    def parse() -> Any:
        value, end = raw_decode(text, begin)
        ends.append(end)
        return value

    value = within_limit(parse, lambda: text[begin:ends[-1]].encode("utf-8"))
    return value, ends[-1]


class _Stream:
    def __init__(self, lines: Iterator[bytes | memoryview | None], limit: int, strict: bool) -> None:
        self._source = Rereading(lines)
        self._limit = limit
        self._strict = strict
        self._raw_decode: RawDecode = readings.raw_decode if strict else _DECODE
        self._line: LineText | None = None  # the line values were last read from
        self._stretch: Stretch | None = None  # the last damaged value that spanned lines

    def values(self) -> Iterator[tuple[int, Any]]:
        pull, whole = self._source.pull, strict_whole if self._strict else fast
        resync, before = False, b""  # skipping a damaged stretch; the last byte of it that is not space
        while (piece := pull()) is not None:
            at, data, start = piece
            if data is None:
                if not resync:  # lines over the limit after a damaged value are more of it
                    yield at, Damaged(too_large(self._limit))
                resync, before = True, b""
                continue
            if not start:
                body = data.strip(_SPACE)
                if not body:
                    continue
                if resync and data[0] not in VALUE_START:
                    line = self._text(data)
                    glued = glued_value(line, 0, before)
                    if glued is None:
                        before = body[-1:]
                        continue
                    at, start = Position(at, line.column(glued)), glued
                else:
                    resync = False
                    try:
                        yield at, whole(body)
                        continue
                    except REFUSED:
                        pass
                del body  # a copy of the line: not held while the values on it are read
            resync, before = yield from self._value(at, data, start, before)

    def _text(self, data: bytes) -> LineText:
        line = self._line
        if line is None or line.data is not data:
            line = self._line = LineText(data)
        return line

    def _value(self, at: int, data: bytes, start: int, before: bytes) -> Reading:
        """Read the value at byte ``start`` of line ``data`` and give back what follows it; returns
        (whether a damaged stretch is being skipped, its last byte that is not space)."""
        line = self._text(data)
        first = skip_space(data, start)
        undecodable = line.undecodable(start)
        if undecodable is not None:
            bad, why = undecodable
            return (yield from self._damaged(at, line, first, f"not UTF-8 text: {why} at byte {bad - start}"))
        begin = line.char(first)
        try:
            value, end = decode(self._raw_decode, line.text, begin)
        except TooDeep:
            return (yield from self._damaged(at, line, first, TOO_DEEP))
        except ValueError as exc:
            if isinstance(exc, json.JSONDecodeError) and exc.pos >= line.end:
                return (yield from self._past_the_line(at, line, start, first))
            return (yield from self._damaged(at, line, first, exc))
        stop = line.byte(end, first)
        after = skip_space(data, stop)
        if after < len(data):
            self._source.give_back((Position(at, line.column(after)), data, after))
        elif start and self._strict:  # the rest of the line is this value: read as the strict reader reads a line
            value = strict_whole(data[first:stop])
        yield at, value
        return False, before

    def _damaged(self, at: int, line: LineText, first: int, cause: str | ValueError, held: bytes = b"") -> Reading:
        """Yield a damaged value that starts at byte ``first`` of ``line`` (``held``: its lines after the
        first) and give back where reading resumes: a value glued to it on that line, else its lines after
        the first, skipped but for what can begin a value."""
        glued = glued_value(line, first + 1, b"")
        if not isinstance(cause, str):  # its levels are counted up to the value glued to it
            cause = unreadable(line.data[first:glued], cause, int(at))
        yield at, Damaged(cause)
        second = held.find(b"\n") + 1
        if second:
            self._source.give_back_lines(held, second, int(at) + 1)
        if glued is None:
            return True, line.data.rstrip(_SPACE)[-1:]
        self._source.give_back((Position(at, line.column(glued)), line.data, glued))
        return False, b""

    def _past_the_line(self, at: int, line: LineText, start: int, first: int) -> Reading:
        stretch = self._stretch
        if not start and stretch is not None and stretch.holds(at):
            reason = stretch.verdict(at)
            if reason is not None:
                return (yield from self._damaged(at, line, first, reason))
        block = _Block(at, line.data, start)
        outcome = self._fill(block)
        held = bytes(block.buffer)
        if isinstance(outcome, _Failed):
            if outcome.stop is not None:
                ends = (lambda: True) if outcome.ends_input else (lambda: self._source.nothing_after(held))
                found = Stretch(held, int(at), outcome.reason, outcome.stop, ends)
                if stretch is None or not stretch.holds(at) or found.last_line >= stretch.last_line:
                    self._stretch = found  # else the one it starts in reaches further, its text holding this one's
            return (yield from self._damaged(at, line, first, outcome.reason, held))
        self._give_back_after(at, line, start, held, outcome.end)
        yield at, outcome.value
        return False, b""

    def _fill(self, block: _Block) -> _Read | _Failed:
        """Take lines into ``block`` until the value at its start is read or known to be damaged."""
        pull, raw_decode = self._source.pull, self._raw_decode
        final = False
        while True:
            piece = pull()
            if piece is None:
                final = True
            elif piece[1] is None:  # a line over the limit: the value ends before it, or is too large
                self._source.give_back(piece)
                return block.decode(False, raw_decode) or self._too_large(block)
            else:
                block.add(piece[1])
            closes = block.early > 0 and block.closing
            if len(block.buffer) >= 2 * block.tried or final or closes:
                block.early -= closes
                block.tried = len(block.buffer)
                outcome = block.decode(final, raw_decode)
                if outcome is not None:
                    return outcome
            if len(block.buffer) > self._limit:  # the value may still end inside what is held
                return block.decode(False, raw_decode) or self._too_large(block)

    def _too_large(self, block: _Block) -> _Failed:
        return _Failed(too_large(self._limit))  # a value inside it may end past what was held

    def _give_back_after(self, at: int, line: LineText, start: int, held: bytes, end: int) -> None:
        """Give back what follows a value that ended at byte ``end`` of ``held`` (its block): the rest of
        the line it ended on, then the block's lines after that line."""
        ends = held.find(b"\n", end)
        number = int(at) + held.count(b"\n", 0, end)
        if ends >= 0:
            self._source.give_back_lines(held, ends + 1, number + 1)
        begins = held.rfind(b"\n", 0, end) + 1
        if begins:
            data, offset = held[begins: ends if ends >= 0 else len(held)], end - begins
            line = self._text(data)
        else:  # it ended on its first line
            data, offset = line.data, start + end
        after = skip_space(data, offset)
        if after < len(data):
            piece: Piece = (Position(number, line.column(after)), data, after)
            self._source.give_back(piece)
