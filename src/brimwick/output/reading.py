"""Read stored scan documents from files and streams, in bounded memory.

The names callers have always imported from here, kept where they were: the
reader itself lives in ``brimwick.output.verify.lines`` (an input cut into
lines, byte ranges, reading ahead) and ``brimwick.output.verify.documents``
(lines parsed into values, exactly as ``json.loads`` gives them). Nothing is
defined here.
"""

from __future__ import annotations

from brimwick.output.verify.documents import (
    DEFAULT_MAX_DOCUMENT_BYTES,
    JSON_LINES_SUFFIXES,
    TOO_DEEP,
    Damaged,
    Unreadable,
    is_json_lines,
    json_lines_values,
    parse_json,
    stream_values,
    too_large,
)
from brimwick.output.verify.lines import READ_BYTES, ReadAhead, iter_lines

__all__ = [
    "DEFAULT_MAX_DOCUMENT_BYTES", "JSON_LINES_SUFFIXES", "READ_BYTES", "TOO_DEEP", "Damaged", "ReadAhead", "Unreadable",
    "is_json_lines", "iter_lines", "json_lines_values", "parse_json", "stream_values", "too_large",
]
