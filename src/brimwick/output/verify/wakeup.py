"""Waiting for a stream's bytes without sleeping through a signal.

The interpreter runs a signal's handler between bytecodes. A signal that
comes after the last such check and before a blocking ``read(2)`` is taken
by the C-level handler, yet the read does not return until input arrives:
a Ctrl-C while the writer of a pipe pauses then waits for that writer. So
while ``signals_wake_readers`` is in force, each signal also writes a byte
to a pipe (the interpreter's wakeup descriptor), and ``wait_readable`` polls
the stream together with that pipe: a signal that came at any moment ends
the wait, and its handler runs on the way back into Python.
"""

from __future__ import annotations

import os
import select
import signal
from collections.abc import Iterator
from contextlib import contextmanager

_wakeup: int | None = None  # the read end of the pipe signals write to, while in force
_pipe: tuple[int, int] | None = None  # both ends, closed by a forked child (a pool's worker)


@contextmanager
def signals_wake_readers() -> Iterator[None]:
    """While the block runs, a signal ends any ``wait_readable``. Only the main thread can arrange it
    (as only it handles signals); elsewhere, and where ``poll`` is missing, waits are plain reads."""
    global _wakeup, _pipe
    if not hasattr(select, "poll"):
        yield
        return
    read_end, write_end = os.pipe()
    try:
        os.set_blocking(read_end, False)
        os.set_blocking(write_end, False)  # a burst of signals must never block their handler
        before = signal.set_wakeup_fd(write_end, warn_on_full_buffer=False)
    except ValueError:  # not the main thread
        os.close(read_end)
        os.close(write_end)
        yield
        return
    outer = _wakeup, _pipe
    _wakeup, _pipe = read_end, (read_end, write_end)
    try:
        yield
    finally:
        # An earlier owner's choice of warnings cannot be read back; it is asyncio's self-pipe, if
        # anyone's, which asks for none.
        signal.set_wakeup_fd(before, warn_on_full_buffer=False)
        _wakeup, _pipe = outer
        os.close(read_end)
        os.close(write_end)


def signals_wake_readers_now() -> bool:
    """Whether ``signals_wake_readers`` is in force (in this process)."""
    return _wakeup is not None


def _forget_in_child() -> None:
    """A forked child (a pool's worker) handles its own signals: it neither writes to the command's pipe
    nor keeps it open."""
    global _wakeup, _pipe
    if _pipe is None:
        return
    try:
        signal.set_wakeup_fd(-1)
    except ValueError:  # forked from another thread than the main one: not its wakeup to undo
        pass
    for end in _pipe:
        os.close(end)
    _wakeup = _pipe = None


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_in_child)


def wait_readable(fd: int) -> None:
    """Return once ``fd`` has bytes (or its end) to read; a signal's handler may raise meanwhile. A
    handler that holds its signal back (a verdict being written) leaves the wait going on."""
    wakeup = _wakeup
    if wakeup is None:
        return
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    poller.register(wakeup, select.POLLIN)
    while True:
        ready = poller.poll()  # interrupted by a signal: its handler runs here, and the wait goes on
        if any(each == fd for each, _ in ready):
            return
        _drain(wakeup)


def _drain(fd: int) -> None:
    try:
        while os.read(fd, 512):
            pass
    except BlockingIOError:
        pass
