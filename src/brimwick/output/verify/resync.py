"""Where reading resumes after a damaged value in a stream: never past a value glued to it.

After a value that cannot be read, the lines that belong to it (they begin
with anything that cannot begin a JSON value, ``VALUE_START``: whitespace, a
closing bracket, text that is not JSON, UTF-16's zero bytes) are skipped. But a
new value may begin on one of those lines, glued to the damaged one (a write
cut short and the next one appended to it, or damage that took the line
break away): ``glued_value`` finds it, so that it gets a verdict of its own.
"""

from __future__ import annotations

import json

from brimwick.output.verify.nesting import TooDeep, within_limit

VALUE_START = frozenset(b'{["-0123456789tfnNI')  # first bytes of a line that can begin a new value
_SPACE = b" \t\r\n"
_OPENING = tuple(b"{[")
_INSIDE = tuple(b":,[")  # what comes before a value that is part of a larger one
_DECODE = json.JSONDecoder().raw_decode


def glued_value(line: bytes, start: int, before: bytes) -> int | None:
    """Where in ``line``, from ``start`` on, a new value begins that was glued to a damaged one, or None.

    A bracket opens a new value when what comes before it (on this line, or
    ``before`` from the lines above) cannot come before a value inside a
    larger one, and when the text from it reads as a value followed by
    nothing or by another value, or runs out before the value ends.
    """
    for i in range(start, len(line)):
        if line[i] not in _OPENING:
            continue
        prior = line[:i].rstrip(_SPACE)[-1:] or before
        if prior and prior[0] in _INSIDE:
            continue
        text = line[i:].decode("utf-8", "replace").rstrip(" \t\r\n")
        try:
            # By the reader's own nesting limit, not the stack left here, so
            # that every process resumes at the same place.
            _, end = within_limit(lambda text=text: _DECODE(text), lambda text=text: text.encode("utf-8", "surrogatepass"))
        except TooDeep:
            return i
        except json.JSONDecodeError as exc:
            if exc.pos >= len(text):
                return i
            continue
        except ValueError:
            continue
        rest = text[end:].lstrip(" \t\r\n")
        if not rest or rest[0] in "{[":
            return i
    return None
