"""Writing verdict lines as they come: when the output is flushed, and the progress bar kept off them.

A reader watching (a terminal, or any output while a stream is read) sees
each verdict the moment it is known. Otherwise (a file, a pipe, /dev/null)
lines are gathered and written together at least every ``FLUSH_SECONDS``,
at the end of every task and every ``BATCH_LINES`` lines, so that printing
costs about what counting does, yet a reader at the other end of a pipe never
waits longer than one task for a verdict. (Written line by line, each write
that reached the system handed the interpreter's lock to the thread reading
ahead, and waited for it back: printing cost 10 µs and more a verdict.) On a
terminal the progress bar is cleared before a verdict is written there and
drawn again after it.
"""

from __future__ import annotations

import time
from collections.abc import Iterable
from typing import IO

from brimwick.output.verify.ordered import RawVerdict
from brimwick.output.verify.progress import Progress
from brimwick.output.verify.report import Report
from brimwick.output.verify.tasks import Task

FLUSH_SECONDS = 0.2  # verdicts reach the output at least this often while they come
BATCH_LINES = 8192  # lines gathered before they are written, at most


class VerdictWriter:
    """Writes the lines ``report`` shows to ``out``; ``live`` flushes every line."""

    def __init__(self, report: Report, out: IO[str], progress: Progress, live: bool) -> None:
        self.report, self.out, self.progress, self.live = report, out, progress, live
        self.batch: list[str] = []  # lines gathered and not yet written

    def task_done(self, task: Task) -> None:
        """At the end of each task: what it found goes out, and the bar moves on."""
        if self.batch:
            self.send()
        self.progress.advance(task)

    def send(self) -> None:
        """Write and flush the lines gathered."""
        self.out.write("\n".join(self.batch) + "\n")
        self.batch.clear()
        self.out.flush()

    def write_all(self, verdicts: Iterable[RawVerdict]) -> None:
        done, write, flush = self.report.done, self.out.write, self.out.flush
        if self.live:
            bar = self.progress
            for name, line, status, detail in verdicts:
                shown = done(name, line, status, detail)
                if shown is not None:
                    bar.clear()
                    write(shown + "\n")
                    flush()
                    if bar.shown:
                        bar.redraw()
            return
        gather, batch = self.batch.append, self.batch
        due = time.monotonic() + FLUSH_SECONDS
        try:
            for name, line, status, detail in verdicts:
                shown = done(name, line, status, detail)
                if shown is not None:
                    gather(shown)
                    if len(batch) >= BATCH_LINES or time.monotonic() >= due:
                        self.send()
                        due = time.monotonic() + FLUSH_SECONDS
        except BaseException as stop:
            # An interrupt, or a cluster that failed: what was verified is shown before the partial
            # summary (not when the output itself is what failed).
            if batch and not isinstance(stop, OSError):
                self.send()
            raise
        if batch:
            self.send()
