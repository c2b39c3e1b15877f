"""The progress bar of a long run: one line on standard error, by bytes read, drawn only on a terminal.

The bar shares the terminal with the verdict lines: the command clears it
before it writes a verdict there and draws it again after, so that a verdict
never lands in the middle of the bar. Nothing is drawn when standard error
is not a terminal, nor for inputs too small to take long.
"""

from __future__ import annotations

from typing import IO

from brimwick.output.verify.tasks import Task

PROGRESS_MIN_BYTES = 8 << 20  # smaller inputs finish before a bar would help
WIDTH = 30


class Progress:
    """A one-line bar on ``stream``, drawn only for a terminal and an input of ``min_bytes`` or more."""

    def __init__(self, total: int, stream: IO[str], min_bytes: int = PROGRESS_MIN_BYTES) -> None:
        self.done, self.stream, self.min_bytes = 0, stream, min_bytes
        self.drawn = 0  # characters of the bar now on the terminal
        self.start(total)

    def start(self, total: int) -> None:
        """The bytes the run will read, once they are known (the run's plan sizes the inputs)."""
        self.total = total
        self.shown = total >= self.min_bytes and is_terminal(self.stream)

    def advance(self, task: Task) -> None:
        self.done += task.size
        if self.shown:
            self.redraw()

    def redraw(self) -> None:
        filled = min(WIDTH, WIDTH * self.done // self.total)
        bar = f"[{'#' * filled}{'.' * (WIDTH - filled)}] {self.done >> 20}/{self.total >> 20} MiB"
        self.stream.write("\r" + bar)
        self.stream.flush()
        self.drawn = len(bar)

    def clear(self) -> None:
        """Take the bar off the terminal's line (before a verdict is written there)."""
        if self.drawn:
            self.stream.write("\r" + " " * self.drawn + "\r")
            self.stream.flush()
            self.drawn = 0

    close = clear


def is_terminal(stream: IO[str]) -> bool:
    """A terminal; False for anything else, a closed or replaced stream included."""
    try:
        return stream.isatty()
    except (AttributeError, ValueError, OSError):
        return False
