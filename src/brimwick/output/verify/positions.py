"""Where a document starts in its input, for the documents that share a line, and json's positions made the file's.

Almost every document starts a line of its own, and its line number (an int)
says where it is. A document that starts on the line where another one ended
(compact documents one after another, a value glued to a damaged one) gets a
``Position``: its line with the column it starts at, so that no two
documents share a label. json counts the lines and columns of an error from
the start of the text it was given; ``file_position`` counts them from the
start of the file.

A line that holds more than one value is read through a ``LineText``: its
text decoded once, with the way from a byte offset to a character and back
kept as a cursor, so that reading value after value along a long line (a
file of compact documents on one line, or with CR line ends) never decodes
or copies the rest of the line again.
"""

from __future__ import annotations

import codecs
import json
import re

_SPACE_RUN = re.compile(rb"[ \t\r\n]*")


class Position(int):
    """The line a document starts on, and the column (from 1, in characters) where it starts: for a
    document that shares its line with one before it. Everywhere else a line is a plain int."""

    column: int

    def __new__(cls, line: int, column: int) -> Position:
        self = super().__new__(cls, line)
        self.column = column
        return self

    def __reduce__(self) -> tuple[type, tuple[int, int]]:
        return Position, (int(self), self.column)

    def __add__(self, other: int) -> Position:  # moving a task-relative line keeps the column
        return Position(int(self) + other, self.column)

    __radd__ = __add__


def file_position(exc: json.JSONDecodeError, at: int) -> str:
    """json's reason with the position in the file: its line and column count from the value's start."""
    column = exc.colno + (at.column - 1 if type(at) is Position and exc.lineno == 1 else 0)
    return f"invalid JSON: {exc.msg}: line {at + exc.lineno - 1:d} column {column}"


def skip_space(data: bytes, offset: int) -> int:
    """The offset of the first byte at or after ``offset`` that is not JSON whitespace (or the end)."""
    return _SPACE_RUN.match(data, offset).end()  # type: ignore[union-attr]  # matches the empty run too


class _OneLine(str):
    """A line's text, for json to read values from anywhere in it. A json error says on which line and
    column it is by counting the line breaks before it, all the way from the start of the text: at every
    error in a long line that is the whole line again. A line holds no line break, so this text answers
    that count at once; the line is 1 and the column the offset plus 1, as counting would give."""

    __slots__ = ()

    def count(self, *_: object) -> int:  # json asks only for the "\n" before an error
        return 0

    def rfind(self, *_: object) -> int:
        return -1


class LineText:
    """One line's bytes and its text (undecodable bytes as U+FFFD, as positions count them).

    Offsets given to it are where a character starts and each comes after an
    ASCII byte or at one (a value's end, a bracket), so that counting the
    characters of a stretch never depends on where the count began.
    """

    __slots__ = ("data", "text", "end", "_ascii", "_byte", "_char", "_from", "_bad")

    def __init__(self, data: bytes) -> None:
        self.data = data
        self._ascii = data.isascii()
        text = data.decode("ascii") if self._ascii else data.decode("utf-8", "replace")
        self.end = len(text.rstrip(" \t\r\n"))  # where the text's trailing space begins
        self.text: str = _OneLine(text)
        self._byte = self._char = 0  # a byte offset and its character, to count on from
        self._from = len(data) + 1  # undecodable bytes were looked for from here (not yet) ...
        self._bad: tuple[int, str] | None = None  # ... and this is the first one found (offset, reason)

    def char(self, offset: int) -> int:
        """The character at byte ``offset``."""
        if self._ascii:
            return offset
        if offset < self._byte:
            self._byte = self._char = 0
        self._char += len(self.data[self._byte:offset].decode("utf-8", "replace"))
        self._byte = offset
        return self._char

    def byte(self, char: int, start: int) -> int:
        """The byte offset of character ``char``, counting on from byte ``start`` (with no undecodable
        byte between them)."""
        if self._ascii:
            return char
        return start + len(self.text[self.char(start):char].encode("utf-8"))

    def column(self, offset: int) -> int:
        return self.char(offset) + 1

    def undecodable(self, start: int) -> tuple[int, str] | None:
        """The first byte from ``start`` on that is not UTF-8 (its offset, and why), or None."""
        if self._ascii:
            return None
        bad = self._bad
        if not (self._from <= start and (bad is None or start <= bad[0])):
            self._from, bad = start, None
            try:
                codecs.utf_8_decode(memoryview(self.data)[start:], "strict", True)
            except UnicodeDecodeError as exc:
                bad = (start + exc.start, exc.reason)
            self._bad = bad
        return bad
