"""Writing verdict lines as they come: each one whole and once, however the run ends; when the output is
flushed; and the progress bar kept off them.

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

A verdict is counted when it is gathered, and what is gathered is written
before the run ends (unless the output itself fails), so the summary counts
exactly the lines printed. ``Interrupts`` keeps a signal from cutting into
that: Ctrl-C (and SIGTERM, SIGHUP) is raised at once while the run reads or
verifies, and held back while a verdict is counted, gathered or written.
"""

from __future__ import annotations

import errno
import io
import os
import select
import signal
import sys
import time
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from types import FrameType
from typing import IO

from brimwick.output.verify.ordered import RawVerdict
from brimwick.output.verify.planning import Plan
from brimwick.output.verify.progress import Progress
from brimwick.output.verify.report import Report
from brimwick.output.verify.tasks import Task
from brimwick.output.verify.wakeup import signals_wake_readers

FLUSH_SECONDS = 0.2  # verdicts reach the output at least this often while they come
BATCH_LINES = 8192  # lines gathered before they are written, at most
SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Interrupted(KeyboardInterrupt):
    """The run was stopped by ``signum``. ``forced``: by a second signal while a write was held up (a
    reader that stopped reading), which may have cut that write short."""

    def __init__(self, signum: int, forced: bool = False) -> None:
        super().__init__(signum)
        self.signum, self.forced = signum, forced

    @property
    def exit_status(self) -> int:
        return 128 + self.signum  # as the shell reports a process killed by the signal


class Interrupts:
    """SIGINT, SIGTERM and SIGHUP raised as ``Interrupted``, except while ``depth`` is above 0: a signal
    then waits until it drops back to 0. A second one while the first waits is raised at once."""

    def __init__(self) -> None:
        self.depth = 0
        self.pending: int | None = None

    @contextmanager
    def installed(self) -> Iterator[Interrupts]:
        """Handle the signals while the block runs (in the main thread), as they were handled after it. A
        stream's reader waiting for its writer wakes for them (``wakeup``)."""
        before = {signum: signal.signal(signum, self._handle) for signum in SIGNALS}
        try:
            with signals_wake_readers():
                yield self
        finally:
            for signum, handler in before.items():
                signal.signal(signum, handler)

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.depth and self.pending is None:
            self.pending = signum
            return
        self.pending = None
        raise Interrupted(signum, forced=self.depth > 0)

    def hold(self) -> None:
        self.depth += 1

    def release(self) -> None:
        """End a hold; raise the signal that came during it, if any, once no hold is left."""
        self.depth -= 1
        if self.pending is not None and not self.depth:
            self.raise_pending()

    def raise_pending(self) -> None:
        signum, self.pending = self.pending, None
        if signum is not None:
            raise Interrupted(signum)


class VerdictWriter:
    """Writes the lines ``report`` shows to ``out``; ``live`` flushes every line."""

    def __init__(self, report: Report, out: IO[str], progress: Progress, live: bool,
                 interrupts: Interrupts | None = None) -> None:
        self.report, self.out, self.progress, self.live = report, out, progress, live
        self.interrupts = interrupts or Interrupts()
        self.batch: list[str] = []  # lines gathered and not yet written

    def planned(self, plan: Plan) -> None:
        """Once the run is planned: the bar's length, and every line flushed while a stream is read (someone
        is watching it arrive)."""
        self.progress.start(plan.total_bytes)
        self.live = self.live or plan.reads_streams

    def task_done(self, task: Task) -> None:
        """At the end of each task: what it found goes out, and the bar moves on."""
        if self.batch:
            self.send()
        self.progress.advance(task)

    def send(self) -> None:
        """Write and flush the lines gathered, held from signals. They leave the batch before the write:
        a write that fails, or that a second signal cuts short, is never made again."""
        interrupts, bar = self.interrupts, self.progress
        interrupts.hold()
        try:
            text = "\n".join(self.batch) + "\n"
            self.batch.clear()
            if self.live:
                bar.clear()
            write_whole(self.out, text)
            if self.live and bar.shown:
                bar.redraw()
        finally:
            interrupts.release()

    def write_all(self, verdicts: Iterable[RawVerdict]) -> None:
        done, batch, interrupts = self.report.done, self.batch, self.interrupts
        gather = batch.append
        due = time.monotonic() + FLUSH_SECONDS
        try:
            for name, line, status, detail in verdicts:
                interrupts.depth += 1  # from counting the verdict to its line gathered or written
                shown = done(name, line, status, detail)
                if shown is not None:
                    gather(shown)
                    if self.live or len(batch) >= BATCH_LINES or time.monotonic() >= due:
                        self.send()
                        due = time.monotonic() + FLUSH_SECONDS
                interrupts.depth -= 1
                if interrupts.pending is not None and not interrupts.depth:
                    interrupts.raise_pending()
        except BaseException as stop:
            # An interrupt, or a cluster that failed: what was verified is shown before the partial
            # summary (not when the output itself is what failed, nor after a forced stop).
            interrupts.depth = 0
            if batch and not isinstance(stop, OSError) and not getattr(stop, "forced", False):
                self.send()
            raise
        if batch:
            self.send()


def write_whole(out: IO[str], text: str) -> None:
    """Write ``text`` and flush it, all of it. Under ``PYTHONUNBUFFERED`` the text layer writes straight
    to the descriptor and drops whatever a write cut short by a signal did not take: the bytes are
    written here instead, each write taken up where the last one stopped."""
    buffer = getattr(out, "buffer", None)
    encoding = getattr(out, "encoding", None)
    if buffer is None or encoding is None:  # not a file's text layer (a test's StringIO)
        out.write(text)
        out.flush()
        return
    out.flush()  # what the text layer holds goes first
    data = memoryview(text.encode(encoding, getattr(out, "errors", None) or "strict"))
    while data:
        written = buffer.write(data)
        if written is None:  # a descriptor left non-blocking by whoever started the command
            select.select([], [buffer], [])
            continue
        data = data[written:]
    buffer.flush()


# ---------------------------------------------------------------- the command's standard streams


class _ClosedOutput(io.TextIOBase):
    """Stands in for standard output when the command was started with it closed (``>&-``): every write
    fails as a write to a closed descriptor does, so the run ends as it does on a full disk."""

    encoding = "utf-8"

    def write(self, text: str) -> int:
        raise OSError(errno.EBADF, "standard output is closed")


def forgiving_streams() -> None:
    """Never fail on encoding: what the output's encoding cannot show is written escaped. A closed
    standard output fails each write; a closed standard error takes what is said there away unread."""
    if sys.stdout is None:
        sys.stdout = _ClosedOutput()
    if sys.stderr is None:
        sys.stderr = open(os.devnull, "w")  # noqa: SIM115 - for the rest of the process
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")


def silence_stdout() -> None:
    # Keep the interpreter's final flush of standard output from failing again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def tell(text: str) -> None:
    """One line on standard error where it can be written: a closed or full one loses it, not the run."""
    try:
        sys.stderr.write(f"{text}\n")
        sys.stderr.flush()
    except (OSError, ValueError, AttributeError):
        pass
