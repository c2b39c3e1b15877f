"""How verdicts are shown: the verdict line (escaping included), the counts, the summary and the exit status.

A ``Report`` counts the verdicts of one run and renders each one the command
prints; its summary and ``return_code`` follow from the counts. The command
and library callers share it, so a verdict reads the same wherever it is
printed. Writing, flushing and where the verdicts come from are the caller's.
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from dataclasses import dataclass, field

from brimwick.output.verify.ordered import Verdict, label
from brimwick.output.verify.verdicts import CORRUPT, INCONSISTENT, INVALID, OK, STATUSES

EXIT_OK, EXIT_FAILED = 0, 1

_CONTROL = re.compile(r"[\x00-\x1f\x7f]")


@dataclass
class Report:
    """The verdicts of one run, counted by status. With ``quiet`` only those that fail are shown, and no
    summary; with ``strict`` the summary also counts the INCONSISTENT ones."""

    strict: bool = False
    quiet: bool = False
    counts: dict[str, int] = field(default_factory=lambda: dict.fromkeys(STATUSES, 0))

    def done(self, name: str, line: int, status: str, detail: str) -> str | None:
        """Count one verdict; its line as shown (without a line break), or None where it is not shown."""
        self.count(status)
        if status != OK or not self.quiet:
            return raw_verdict_line(name, line, status, detail)
        return None

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
        return None if self.quiet else str(self)

    def __str__(self) -> str:
        counts, total = self.counts, self.total
        noun = "document" if total == 1 else "documents"
        text = f"{total} {noun}: {counts[OK]} ok, {counts[CORRUPT]} corrupt, {counts[INVALID]} invalid"
        return text + (f", {counts[INCONSISTENT]} inconsistent" if self.strict else "")


def verdict_line(verdict: Verdict) -> str:
    """``LABEL: STATUS`` or ``LABEL: STATUS: DETAIL``, always one line."""
    line = f"{escape_name(verdict.label)}: {verdict.status}"
    return line + (f": {escape_text(verdict.detail)}" if verdict.detail else "")


def raw_verdict_line(name: str, line: int, status: str, detail: str) -> str:
    return verdict_line(Verdict(label(name, line), status, detail))


def checksum_lines(verdict: Verdict) -> Iterator[str]:
    """What the checksum command shows for one document: each line of the detail, under its label."""
    for part in verdict.detail.split("\n"):
        yield f"{escape_name(verdict.label)}: {escape_text(part)}"


def escape_name(name: str) -> str:
    """A name (or a label, NAME:LINE) as sha256sum shows it: with a leading backslash when it holds a
    line break or backslash."""
    if not any(c in name for c in "\\\n\r"):
        return name
    return "\\" + name.replace("\\", "\\\\").replace("\n", "\\n").replace("\r", "\\r")


def escape_text(text: str) -> str:
    """Keep a reason on one line and free of terminal control codes."""
    return _CONTROL.sub(lambda m: m.group().encode("unicode_escape").decode("ascii"), text)
