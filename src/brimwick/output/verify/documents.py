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
  single document. A value that does not parse is reported with the line it
  starts on; reading resumes at a value glued to it on the same line (see
  ``glued_value``), else at the next line that starts with what can begin a
  JSON value (a line that begins with whitespace, a closing bracket or
  anything else belongs to the stretch that failed), so one damaged record
  never hides the others and an unreadable stretch is one verdict.

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
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

import msgspec

from brimwick.output.verify import readings
from brimwick.output.verify.nesting import TOO_DEEP, TooDeep, may_pass_limit, too_deep, within_limit
from brimwick.output.verify.positions import file_position, next_on_line
from brimwick.output.verify.resync import VALUE_START, glued_value

DEFAULT_MAX_DOCUMENT_BYTES = 256 * 1024 * 1024
JSON_LINES_SUFFIXES = (".jsonl", ".ndjson")

_JSON_SPACE = b" \t\r\n"
_DECODER = json.JSONDecoder()
_FAST_DECODE = msgspec.json.Decoder().decode
# ValidationError (a number out of range) is a DecodeError too; nesting past
# the recursion limit raises RecursionError, which json then reports its way.
_FAST_REFUSED = (msgspec.DecodeError, RecursionError)
# What a parse of a whole line may raise besides its value: the strict
# reader's json says ValueError where msgspec says DecodeError.
_REFUSED = (*_FAST_REFUSED, ValueError, TooDeep)


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
            return _fast(data)
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
        raise Unreadable(_unreadable(bytes(data), exc)) from None


def _unreadable(data: bytes, exc: ValueError, at: int = 0) -> str:
    """Why text is not a value: nested past the limit, decided by the text whatever else is wrong with it.
    Given the line ``at`` which the text starts on, json's position is given as the file's."""
    if too_deep(data):
        return TOO_DEEP
    if at and isinstance(exc, json.JSONDecodeError):
        return file_position(exc, at)
    return f"invalid JSON: {exc}"


def _fast(data: bytes | memoryview) -> Any:
    """msgspec's value for a whole line; RecursionError, as for any value too deep for it, past the reader's limit."""
    value = _FAST_DECODE(data)
    if may_pass_limit() and too_deep(bytes(data)):
        raise RecursionError
    return value


def _strict_whole(data: bytes | memoryview) -> Any:
    """The strict reader's value for a whole line, raising as a parse of it may (_REFUSED)."""
    data = bytes(data)
    return within_limit(lambda: readings.loads(data.decode("utf-8")), lambda: data)


def is_json_lines(name: str) -> bool:
    return name.lower().endswith(JSON_LINES_SUFFIXES)


def json_lines_values(lines: Iterator[bytes | memoryview | None], limit: int, strict: bool = False,
                      ) -> Iterator[tuple[int, Any]]:
    """(line number from 1, value or Damaged) for every non-blank line."""
    whole = _strict_whole if strict else _fast
    number = 0
    for line in lines:
        number += 1
        if line is None:
            yield number, Damaged(too_large(limit))
            continue
        try:
            value = whole(line)
        except _REFUSED:
            data = bytes(line)
            if not data.strip(_JSON_SPACE):
                continue
            try:
                value = parse_json(data, strict)
            except Unreadable as exc:
                # The label names the line: json's "line 1 column 15 (char 14)" is the column alone.
                value = Damaged(_FIRST_LINE.sub(r": column \1", str(exc)))
        yield number, value


_CLOSING = (b"}", b"]")
_EARLY_TRIES = 4
_FIRST_LINE = re.compile(r": line 1 column (\d+) \(char \d+\)$")


def stream_values(lines: Iterator[bytes | memoryview | None], limit: int, strict: bool = False,
                  ) -> Iterator[tuple[int, Any]]:
    """(line number from 1 where it starts, value or Damaged) for a whitespace-separated stream of JSON values."""
    whole, raw_decode = (_strict_whole, readings.raw_decode) if strict else (_fast, _DECODER.raw_decode)
    back: list[tuple[int, bytes | None]] = []  # lines to read again, last first
    number = 0
    resync = False
    before = b""  # while resyncing, the last byte that was not space on the lines skipped

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
            if not resync:  # lines over the limit after a damaged value are more of it
                yield at, Damaged(too_large(limit))
            resync, before = True, b""
            continue
        body = line.strip(_JSON_SPACE)
        if not body:
            continue
        if resync and line[0] not in VALUE_START:
            glued = glued_value(line, 0, before)
            if glued is None:
                before = body[-1:]
                continue
            line, body, at = line[glued:], line[glued:].strip(_JSON_SPACE), next_on_line(at, line, line[glued:])
        resync = False
        try:
            yield at, whole(body)
            continue
        except _REFUSED:
            pass
        # A value that is not one whole line: let the decoder find where it
        # ends, taking more lines while it runs out of text.
        block: list[tuple[int, bytes]] = [(at, line)]
        size, tried, exhausted, early = len(line), 0, False, _EARLY_TRIES
        while True:
            # A line that starts with a closing bracket may end the value (as jq
            # writes it): trying it then lets a stream's document be judged when
            # it arrives, not when more text follows; a few such tries per value.
            closes = early > 0 and block[-1][1][:1] in _CLOSING
            if size >= 2 * tried or exhausted or closes:
                early -= closes
                tried = size
                outcome = _decode_block(block, exhausted, raw_decode)
                if outcome is not None:
                    break
            if size > limit:  # the value may still end inside what is held
                outcome = _decode_block(block, False, raw_decode) or (Damaged(too_large(limit)), None)
                break
            more = pull()
            if more is None:
                exhausted = True
            elif more[1] is None:  # a line over the limit: the value ends before it, or is too large
                back.append(more)
                outcome = _decode_block(block, False, raw_decode) or (Damaged(too_large(limit)), None)
                break
            else:
                block.append((more[0], more[1]))
                size += len(more[1]) + 1
        value, used = outcome
        yield at, value
        if isinstance(value, Damaged):
            back.extend(reversed(block[1:]))
            # A value glued to the damaged one on its first line is read on
            # its own; without one, the lines inside the damaged value are skipped.
            glued = glued_value(line, len(line) - len(line.lstrip(_JSON_SPACE)) + 1, b"")
            if glued is None:
                resync, before = True, line.rstrip(_JSON_SPACE)[-1:]
            else:
                back.append((next_on_line(at, line, line[glued:]), line[glued:]))
        else:
            # The value ended inside line `used` of the block: what follows
            # it on that line is read again, then the rest of the block.
            rest_lines = block[used[0] + 1 :]
            back.extend(reversed(rest_lines))
            if used[1]:
                ended_at, ended_in = block[used[0]]
                back.append((next_on_line(ended_at, ended_in, used[1]), used[1]))


_END = object()


def _decode_block(block: list[tuple[int, bytes]], final: bool, raw_decode: Callable[[str, int], tuple[Any, int]],
                  ) -> tuple[Any, Any] | None:
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
    ends: list[int] = []

    def decode() -> Any:
        value, end = raw_decode(text, begin)
        ends.append(end)
        return value

    try:
        value = within_limit(decode, lambda: text[begin:ends[-1]].encode("utf-8"))
    except TooDeep:
        return Damaged(TOO_DEEP), None
    except ValueError as exc:  # not JSON, or an integer past the interpreter's digit limit
        if isinstance(exc, json.JSONDecodeError) and not final and exc.pos >= len(text.rstrip(" \t\r\n")):
            return None
        return Damaged(_unreadable(data, exc, block[0][0])), None
    end = ends[-1]
    consumed = len(text[:end].encode("utf-8"))
    for index, (_, line) in enumerate(block):
        if consumed <= len(line):
            rest = line[consumed:].lstrip(_JSON_SPACE)
            return value, (index, rest)
        consumed -= len(line) + 1
    return value, (len(block) - 1, b"")  # pragma: no cover - the value ends inside the block
