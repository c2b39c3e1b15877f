"""Documents out of lines: every value of a byte stream, exactly as ``json.loads`` gives it.

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
  single document (``streams``). A value that does not parse is reported
  with the line it starts on; reading resumes at a value glued to it on the
  same line (see ``glued_value``), else at the next line that starts with
  what can begin a JSON value (a line that begins with whitespace, a closing
  bracket or anything else belongs to the stretch that failed), so one
  damaged record never hides the others and an unreadable stretch is one
  verdict.

Nesting is limited by the reader itself (``nesting``), so a document gets the
same verdict whichever process reads it. The strict reader (``strict``) reads
through ``json`` alone and notes keys given twice (``readings``).

A value that cannot be read comes out as a ``Damaged`` stand-in with the
reason, never as an exception. Cutting a stream into lines (and byte ranges)
is ``lines``'s job; what a value means as a scan document is ``verdicts``'s.
"""

from __future__ import annotations

import json
import re
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import msgspec

from brimwick.output.verify import readings
from brimwick.output.verify.nesting import TOO_DEEP, TooDeep, may_pass_limit, too_deep, within_limit
from brimwick.output.verify.positions import file_position

DEFAULT_MAX_DOCUMENT_BYTES = 256 * 1024 * 1024
JSON_LINES_SUFFIXES = (".jsonl", ".ndjson")

_JSON_SPACE = b" \t\r\n"
_FAST_DECODE = msgspec.json.Decoder().decode
# ValidationError (a number out of range) is a DecodeError too; nesting past
# the recursion limit raises RecursionError, which json then reports its way.
_FAST_REFUSED = (msgspec.DecodeError, RecursionError)
# What a parse of a whole line may raise besides its value: the strict
# reader's json says ValueError where msgspec says DecodeError.
REFUSED = (*_FAST_REFUSED, ValueError, TooDeep)


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
    return f"{count:,} byte{'' if count == 1 else 's'}"


def parse_json(data: bytes, strict: bool = False) -> Any:
    """The value ``json.loads(data.decode("utf-8"))`` gives; raises Unreadable, with the reason in plain
    words, for text that is not one JSON value.

    The strict reader reads through ``json`` alone and gives a document with
    a key given twice as ``readings.Noted``."""
    if not strict:
        try:
            return fast(data)
        except _FAST_REFUSED:
            pass
    try:
        text = bytes(data).decode("utf-8")
    except UnicodeDecodeError as exc:
        raise Unreadable(f"not UTF-8 text: {exc.reason} at byte {exc.start}") from None
    try:
        return within_limit(lambda: (readings.loads if strict else json.loads)(text), lambda: bytes(data))
    except TooDeep:
        raise Unreadable(TOO_DEEP) from None
    except ValueError as exc:
        raise Unreadable(unreadable(bytes(data), exc)) from None


def unreadable(data: bytes | bytearray, exc: ValueError, at: int = 0) -> str:
    """Why text is not a value: nested past the limit, decided by the text whatever else is wrong with it.
    Given the line ``at`` which the text starts on, json's position is given as the file's."""
    if too_deep(data):
        return TOO_DEEP
    if at and isinstance(exc, json.JSONDecodeError):
        return file_position(exc, at)
    return f"invalid JSON: {exc}"


def fast(data: bytes | memoryview) -> Any:
    """msgspec's value for a whole line; RecursionError, as for any value too deep for it, past the reader's limit."""
    value = _FAST_DECODE(data)
    if may_pass_limit() and too_deep(bytes(data)):
        raise RecursionError
    return value


def strict_whole(data: bytes | memoryview) -> Any:
    """The strict reader's value for a whole line, raising as a parse of it may (REFUSED)."""
    data = bytes(data)
    return within_limit(lambda: readings.loads(data.decode("utf-8")), lambda: data)


def is_json_lines(name: str) -> bool:
    return name.lower().endswith(JSON_LINES_SUFFIXES)


def json_lines_values(lines: Iterator[bytes | memoryview | None], limit: int, strict: bool = False,
                      ) -> Iterator[tuple[int, Any]]:
    """(line number from 1, value or Damaged) for every non-blank line."""
    whole = strict_whole if strict else fast
    number = 0
    for line in lines:
        number += 1
        if line is None:
            yield number, Damaged(too_large(limit))
            continue
        try:
            value = whole(line)
        except REFUSED:
            data = bytes(line)
            if not data.strip(_JSON_SPACE):
                continue
            try:
                value = parse_json(data, strict)
            except Unreadable as exc:
                # The label names the line: json's "line 1 column 15 (char 14)" is the column alone.
                value = Damaged(_FIRST_LINE.sub(r": column \1", str(exc)))
        yield number, value


_FIRST_LINE = re.compile(r": line 1 column (\d+) \(char \d+\)$")


def stream_values(lines: Iterator[bytes | memoryview | None], limit: int, strict: bool = False,
                  ) -> Iterator[tuple[int, Any]]:
    """(line number from 1 where it starts, value or Damaged) for a whitespace-separated stream of JSON
    values (``streams`` reads it)."""
    from brimwick.output.verify.streams import values_of_stream  # it reads each value with this module's parsers

    return values_of_stream(lines, limit, strict)


