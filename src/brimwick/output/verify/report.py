"""How verdicts are shown: the verdict line (escaping included), the counts, the summary and the exit status.

A ``Report`` counts the verdicts of one run and renders each one the command
prints, as text (``LABEL: STATUS: DETAIL``) or, with ``format="json"``, as
one JSON object a line (JSON Lines); its summary and ``return_code`` follow
from the counts. A JSON reader may turn a lone surrogate into U+FFFD, so a
file name that is not UTF-8 is given with U+FFFD in ``source`` and its
bytes, base64, in ``source_bytes``. The command and library callers share
it, so a verdict reads the same wherever it is printed. Writing, flushing and where the
verdicts come from are the caller's; what is escaped and how is
``escaping``'s.
"""

from __future__ import annotations

import base64
import json
from collections.abc import Iterator
from dataclasses import dataclass, field

from brimwick.output.verify.escaping import escape_name, escape_text
from brimwick.output.verify.positions import Position
from brimwick.output.verify.ordered import Verdict, label, position
from brimwick.output.verify.verdicts import CORRUPT, INCONSISTENT, INVALID, OK, STATUSES

EXIT_OK, EXIT_FAILED = 0, 1
TEXT, JSON = "text", "json"
FORMATS = (TEXT, JSON)


@dataclass
class Report:
    """The verdicts of one run, counted by status. With ``quiet`` only those that fail are shown, and no
    summary; with ``strict`` the summary also counts the INCONSISTENT ones. ``ascii`` escapes every
    non-ASCII character of a name (for output whose encoding is not UTF-8)."""

    strict: bool = False
    quiet: bool = False
    format: str = TEXT
    ascii: bool = False
    counts: dict[str, int] = field(default_factory=lambda: dict.fromkeys(STATUSES, 0))
    _names: dict[str, str] = field(default_factory=dict, repr=False)  # each input's name as shown, made once

    def __post_init__(self) -> None:
        if self.format not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {self.format!r}")

    def count_ok(self, count: int) -> None:
        """Count ``count`` OK verdicts that are not shown one by one (only in a quiet run)."""
        self.counts[OK] += count

    def done(self, name: str, line: int, status: str, detail: str) -> str | None:
        """Count one verdict; its line as shown (without a line break), or None where it is not shown."""
        self.counts[status] += 1
        if status == OK and self.quiet:
            return None
        shown = self._names.get(name)
        if shown is None:
            shown = self._names[name] = self._show_name(name)
        if self.format == JSON:
            return _json_verdict(shown, line, status, detail)
        if line:
            shown = f"{shown}:{line}" if type(line) is int else f"{shown}:{position(line)}"
        if detail:
            return f"{shown}: {status}: {escape_text(detail)}"
        return f"{shown}: {status}"

    def _show_name(self, name: str) -> str:
        if self.format == JSON:
            return _json_source(name)
        return escape_name(name, self.ascii)

    def count(self, status: str) -> None:
        self.counts[status] += 1

    @property
    def total(self) -> int:
        return sum(self.counts.values())

    @property
    def return_code(self) -> int:
        """EXIT_OK (0) when every verdict is OK, EXIT_FAILED (1) when any is CORRUPT, INVALID or INCONSISTENT."""
        return EXIT_OK if self.counts[OK] == self.total else EXIT_FAILED

    def summary(self) -> str | None:
        """The closing line, or None when quiet."""
        return None if self.quiet else self.closing()

    def closing(self, interrupted: bool = False, incomplete: bool = False) -> str:
        """The summary in the report's format; after an interrupt, or a run that stopped early (a cluster
        that failed), it counts what was verified so far and says so."""
        if self.format == JSON:
            counts = {"documents": self.total, **{status.lower(): n for status, n in self.counts.items()}}
            return json.dumps({**counts, "interrupted": True} if interrupted else
                              {**counts, "incomplete": True} if incomplete else counts)
        return f"interrupted after {self}" if interrupted else \
            f"incomplete, the run stopped after {self}" if incomplete else str(self)

    def __str__(self) -> str:
        counts, total = self.counts, self.total
        noun = "document" if total == 1 else "documents"
        text = f"{total} {noun}: {counts[OK]} ok, {counts[CORRUPT]} corrupt, {counts[INVALID]} invalid"
        return text + (f", {counts[INCONSISTENT]} inconsistent" if self.strict else "")


def _json_source(name: str) -> str:
    """The value of ``source`` (and, for a name that is not UTF-8, the ``source_bytes`` that follow it)."""
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:  # lone surrogates: a file name's bytes that were not UTF-8, or a caller's own
        pass
    else:
        return json.dumps(name)
    try:
        raw = name.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        raw = name.encode("utf-8", "surrogatepass")
    shown = raw.decode("utf-8", "replace")
    return f'{json.dumps(shown)}, "source_bytes": "{base64.b64encode(raw).decode("ascii")}"'


def _json_verdict(source: str, line: int, status: str, detail: str) -> str:
    column = line.column if type(line) is Position else 0
    where = f'"line": {line:d}, "column": {column}' if column else f'"line": {line:d}' if line else '"line": null'
    return f'{{"source": {source}, {where}, "status": "{status}", "detail": {json.dumps(detail)}}}'


def verdict_line(verdict: Verdict, ascii: bool = False) -> str:
    """``LABEL: STATUS`` or ``LABEL: STATUS: DETAIL``, always one line."""
    line = f"{escape_name(verdict.label, ascii)}: {verdict.status}"
    return line + (f": {escape_text(verdict.detail)}" if verdict.detail else "")


def raw_verdict_line(name: str, line: int, status: str, detail: str, ascii: bool = False) -> str:
    return verdict_line(Verdict(label(name, line), status, detail), ascii)


def checksum_lines(verdict: Verdict, ascii: bool = False) -> Iterator[str]:
    """What the checksum command shows for one document: each line of the detail, under its label. A
    verdict on an input as a whole (it cannot be read, it holds no document) has only its reason, which
    gets its status in front, as an INVALID document's last line has."""
    shown = escape_name(verdict.label, ascii)
    parts = verdict.detail.split("\n")
    if verdict.status == INVALID and not parts[-1].startswith(INVALID):
        parts[-1] = f"{INVALID}: {parts[-1]}"
    for part in parts:
        yield f"{shown}: {escape_text(part)}"
