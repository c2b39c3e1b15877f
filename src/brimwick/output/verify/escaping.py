"""Text that stays on one line and never drives a terminal: names and reasons as the command prints them.

Whatever a stored document or a file name holds, a verdict is one line that
reads as it is stored: C0 and C1 control characters, DEL, the Unicode line
and paragraph separators, the bidirectional formatting characters (which
would make a terminal show text in another order than it has, ``\\u202e``)
and lone surrogates are written as escapes (``\\n``, ``\\x1b``, ``\\u2028``).
A name that needs any escape is written as ``sha256sum`` writes it, with a
leading backslash and its own backslashes doubled, so that a reader can tell
an escape from a name that merely holds one; with ``ascii`` (output whose
encoding is not UTF-8) every non-ASCII character of a name counts as one to
escape. A byte of a file name that was not UTF-8 (held as a lone surrogate by
the interpreter) comes back as ``\\xNN``, the byte itself.
"""

from __future__ import annotations

import re

# Characters that break a line, drive a terminal or reorder what it shows (Unicode's Bidi_Control:
# marks, embeddings, overrides and isolates), lone surrogates included.
_BIDI = "\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069"
_UNSAFE = f"\x00-\x1f\x7f-\x9f\u2028\u2029{_BIDI}\ud800-\udfff"
_TEXT = re.compile(f"[{_UNSAFE}]")
_NAME = re.compile(f"[{_UNSAFE}\\\\]")
_ASCII_NAME = re.compile(f"[{_UNSAFE}\\\\\x80-\U0010ffff]")
_SHORT = {"\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(match: re.Match[str]) -> str:
    char = match.group()
    short = _SHORT.get(char)
    if short is not None:
        return short
    code = ord(char)
    if 0xDC80 <= code <= 0xDCFF:  # a byte the file system gave that was not UTF-8
        return f"\\x{code - 0xDC00:02x}"
    if code <= 0xFF:
        return f"\\x{code:02x}"
    return f"\\u{code:04x}" if code <= 0xFFFF else f"\\U{code:08x}"


def escape_name(name: str, ascii: bool = False) -> str:
    """A name (or a label, NAME:LINE) as sha256sum shows it: as it is when it needs no escape, else with a
    leading backslash and every backslash, line break, control character (and, with ``ascii``, every
    non-ASCII character) escaped."""
    pattern = _ASCII_NAME if ascii else _NAME
    if pattern.search(name) is None:
        return name
    return "\\" + pattern.sub(_escape, name)


def escape_text(text: str) -> str:
    """A reason on one line, free of terminal control codes; other text (backslashes too) as it is."""
    if _TEXT.search(text) is None:
        return text
    return _TEXT.sub(_escape, text)
