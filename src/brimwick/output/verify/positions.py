"""Where a document starts in its input, for the documents that share a line, and json's positions made the file's.

Almost every document starts a line of its own, and its line number (an int)
says where it is. A document that starts on the line where another one ended
(compact documents one after another, a value glued to a damaged one) gets a
``Position``: its line with the column it starts at, so that no two
documents share a label. json counts the lines and columns of an error from
the start of the text it was given; ``file_position`` counts them from the
start of the file.
"""

from __future__ import annotations

import json


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


def next_on_line(at: int, line: bytes, rest: bytes) -> Position:
    """Where a value starts that follows another on the same line: ``rest`` is what follows, at the
    end of ``line``, which starts at ``at`` (a column of its own when it too followed a value)."""
    start = at.column if type(at) is Position else 1
    return Position(at, start + len(line[: len(line) - len(rest)].decode("utf-8", "replace")))


def file_position(exc: json.JSONDecodeError, at: int) -> str:
    """json's reason with the position in the file: its line and column count from the value's start."""
    column = exc.colno + (at.column - 1 if type(at) is Position and exc.lineno == 1 else 0)
    return f"invalid JSON: {exc.msg}: line {at + exc.lineno - 1:d} column {column}"
