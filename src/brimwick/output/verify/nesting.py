"""The reader's nesting limit: a fixed number of levels, counted in the bytes, the same in every process.

The parsers (msgspec, and ``json`` behind it) recurse once per level and stop
where the interpreter's recursion limit is reached, so the depth they accept
depends on how deep the stack already is: a worker process, the command
itself and a Dask thread would each accept a different depth. The reader
instead decides by the document's own nesting, counted here: a document
nested up to ``MAX_DEPTH`` levels is read everywhere, one nested deeper is
refused everywhere.

- While the recursion limit is at most ``MAX_DEPTH`` (the interpreter's
  default), a parser that succeeds cannot have gone past ``MAX_DEPTH``
  levels, so the fast path costs nothing more; only a raised limit makes
  ``may_pass_limit`` true and the levels of each document are then counted.
- When the stack runs out first, the parser is given the headroom the limit
  needs (``ensure_headroom`` raises the recursion limit, never lowers it)
  and tries again; text that still cannot be read is counted, so that text
  nested past the limit is refused for that, whatever else is wrong with it.
"""

from __future__ import annotations

import re
import sys
from collections.abc import Callable, Iterator
from itertools import accumulate, takewhile
from types import FrameType
from typing import TypeVar

T = TypeVar("T")

MAX_DEPTH = 1000
TOO_DEEP = f"nested deeper than the reader's limit ({MAX_DEPTH:,} levels)"
# Levels that any caller's stack leaves room for without raising the limit.
SHALLOW = 200
# Frames a reader and a verdict use besides the document's own levels.
_MARGIN = 200

# A string is taken out of the text; a quote that no later one closes leaves
# the rest of the text bare (no quote after it can close a string either), so
# the rest is kept, once, rather than tried again from every quote in it.
_STRING = re.compile(rb'"(?:[^"\\]|\\.)*+"|"((?:[^"\\]|\\.)*+)\Z', re.S)
_NOT_BRACKETS = bytes(b for b in range(256) if b not in b"[]{}")
_TOKEN = re.compile(_STRING.pattern + rb"|[\[\]{}]", re.S)
_BRACKET = re.compile(rb"[\[\]{}]")
_STEP = [0] * 256
for _byte in b"[{":
    _STEP[_byte] = 1
for _byte in b"]}":
    _STEP[_byte] = -1


class TooDeep(Exception):
    """A value nested deeper than ``MAX_DEPTH``."""


def within_limit(parse: Callable[[], T], text: Callable[[], bytes]) -> T:
    """``parse()``, or TooDeep when what it reads (``text()``) nests deeper than ``MAX_DEPTH``, whatever the stack."""
    try:
        value = parse()
    except RecursionError:  # the stack ran out first: make room for the limit and try again
        ensure_headroom(MAX_DEPTH)
        try:
            value = parse()
        except RecursionError:
            raise TooDeep from None
    if may_pass_limit() and too_deep(text()):
        raise TooDeep
    return value


def brackets(data: bytes | bytearray) -> int:
    """The opening brackets in ``data``, strings included: at least its nesting depth."""
    return data.count(b"[") + data.count(b"{")


def depth(data: bytes | bytearray) -> int:
    """How deeply the arrays and objects of the first value in JSON text nest (brackets inside strings left
    out); for text whose brackets never close, how deeply all of it nests."""
    bare = _STRING.sub(rb"\1", data).translate(None, _NOT_BRACKETS)
    return max(takewhile(bool, accumulate(map(_STEP.__getitem__, bare))), default=0)


def past_the_limit(data: bytes | bytearray) -> int:
    """Where the first value in ``data`` opens its level past ``MAX_DEPTH``, counted as ``depth`` counts;
    -1 when it never does."""
    level = 0
    for at in _brackets(data):
        level += _STEP[data[at]]
        if level > MAX_DEPTH:
            return at
        if not level:
            return -1
    return -1


def _brackets(data: bytes | bytearray) -> Iterator[int]:
    """Where the brackets outside strings are, as ``depth`` leaves strings out."""
    for token in _TOKEN.finditer(data):
        if token.group(1) is not None:  # a string never closed: the rest is bare
            yield from (bracket.start() for bracket in _BRACKET.finditer(data, token.start(1)))
            return
        if data[token.start()] != 0x22:
            yield token.start()


def too_deep(data: bytes | bytearray) -> bool:
    """True when the first value in ``data`` nests deeper than ``MAX_DEPTH``."""
    return brackets(data) > MAX_DEPTH and depth(data) > MAX_DEPTH


def may_pass_limit() -> bool:
    """Whether a parser that succeeded may have read more than ``MAX_DEPTH`` levels (the recursion limit was raised)."""
    return sys.getrecursionlimit() > MAX_DEPTH


def ensure_headroom(levels: int) -> None:
    """Raise the recursion limit so that ``levels`` more levels fit above the current stack; never lower it."""
    frame: FrameType | None = sys._getframe()
    stack = 0
    while frame is not None:
        frame, stack = frame.f_back, stack + 1
    needed = stack + levels + _MARGIN
    if sys.getrecursionlimit() < needed:
        sys.setrecursionlimit(needed)
