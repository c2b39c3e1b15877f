"""Units of work: what a task is, how inputs are cut into tasks, and running one task to its verdicts.

A task is one input, or one byte range of a JSON Lines file, that a worker
opens and reads on its own: ``plan`` cuts the inputs, ``run_task`` is what a
worker process or a cluster worker runs, and ``task_verdicts`` gives a task's
verdicts one by one, here. Line numbers stay relative to the task: putting
verdicts back in input order and labelling them is ``ordered``'s job, and
choosing where tasks run is ``executors``'s.
"""

from __future__ import annotations

import gc
import itertools
import os
import stat
from array import array
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, replace
from typing import Any

from brimwick.output.verify.documents import DEFAULT_MAX_DOCUMENT_BYTES, is_json_lines, json_lines_values, stream_values
from brimwick.output.verify.lines import READ_BYTES, ReadAhead, iter_lines
from brimwick.output.verify.sources import STDIN as STDIN  # where callers have always found it
from brimwick.output.verify.sources import is_compressed, is_remote, is_stream, open_input, plain_name
from brimwick.output.verify.verdicts import INVALID, OK, check_document

MIN_RANGE_BYTES = 1 << 20  # the run's first range: about 7 ms of a worker's time, so the first verdicts come soon
MAX_RANGE_BYTES = 64 << 20  # about 0.4 s of a worker's time
RANGES_PER_WORKER = 8  # so that the last ranges, and a slow one, are a small part of a worker's share
BALANCED_RANGE_BYTES = 16 << 20  # ranges grow past this only to keep a run within TASKS
TASKS = 9_000  # a run's tasks, about, beyond which ranges grow (600 GB: about 8,950 ranges of 64 MiB)
_BOM = b"\xef\xbb\xbf"

# Judges one parsed document: (document, strict) -> (status, detail).
Judge = Callable[[Any, bool], tuple[str, str]]


@dataclass(frozen=True)
class Options:
    strict: bool = False
    max_document_bytes: int = DEFAULT_MAX_DOCUMENT_BYTES

    def __post_init__(self) -> None:
        limit = self.max_document_bytes
        if not isinstance(limit, int) or isinstance(limit, bool) or limit < 1:
            raise ValueError(f"max_document_bytes must be a positive number of bytes, not {limit!r}")


@dataclass(frozen=True)
class Task:
    """A piece of one input that a worker reads on its own: the lines that start in [start, stop)."""

    index: int  # of the input, in the order given
    source: str  # a path, an fsspec URL, or "-" for standard input
    start: int = 0
    stop: int | None = None  # None: to the end of the input
    json_lines: bool = False
    size: int = 0  # bytes this task covers, where known (for progress)
    total: int = 0  # bytes of the whole input, where known (a remote reader then need not ask)
    here: bool = False  # read by the command itself, in its turn: standard input or another stream


@dataclass(frozen=True)
class TaskResult:
    """What a worker sends back. Line numbers count within the task, 0 for the
    input as a whole. OK verdicts, nearly all of them, travel as their line
    numbers alone, packed: unpickling a tuple for each cost the command more
    than the rest of its work on a verdict."""

    ok_lines: bytes  # array("Q") of the OK verdicts' line numbers, in order
    others: list[tuple[int, int, str, str]]  # (position among all verdicts, line, status, detail)
    lines: int  # lines the task owned, blank ones too

    @classmethod
    def of(cls, verdicts: Iterable[tuple[int, str, str]], lines: int) -> TaskResult:
        ok, others = array("Q"), []
        for position, (line, status, detail) in enumerate(verdicts):
            if status == OK and not detail and type(line) is int:  # a Position keeps its column
                ok.append(line)
            else:
                others.append((position, line, status, detail))
        return cls(ok.tobytes(), others, lines)

    def ok_count(self) -> int:
        """How many of the verdicts are OK."""
        return len(self.ok_lines) // array("Q").itemsize

    def verdicts(self) -> Iterator[tuple[int, str, str]]:
        """(line, status, detail) of every verdict, in their order."""
        ok = array("Q")
        ok.frombytes(self.ok_lines)
        ok_lines = iter(ok)
        position = 0
        for at, line, status, detail in self.others:
            for _ in range(at - position):
                yield next(ok_lines), OK, ""
            yield line, status, detail
            position = at + 1
        for ok_line in ok_lines:
            yield ok_line, OK, ""


# ---------------------------------------------------------------- cutting inputs into tasks


def plan(sources: Iterable[str], range_bytes: int, sizes: Iterable[int | None] | None = None, *,
         ramp: bool = False) -> list[Task]:
    """Cut the inputs into tasks: plain JSON Lines files into byte ranges, everything else (compressed
    files too) whole. ``sizes``: the inputs' sizes as ``sizes_of`` gives them, where the caller has them
    already. With ``ramp`` the run's first ranges are small and double up to ``range_bytes`` (see
    ``range_sizes``)."""
    sources = list(sources)
    tasks: list[Task] = []
    ranges = range_sizes(range_bytes) if ramp else itertools.repeat(range_bytes)
    for index, (source, size) in enumerate(zip(sources, sizes_of(sources) if sizes is None else sizes, strict=True)):
        json_lines = is_json_lines(plain_name(source))
        if json_lines and size and not is_compressed(source):
            tasks += _byte_ranges(index, source, size, ranges)
        else:
            tasks.append(Task(index, source, json_lines=json_lines, size=size or 0, total=size or 0,
                              here=size is None and read_here(source)))  # a size: a regular file or an object
    return tasks


def range_sizes(range_bytes: int) -> Iterator[int]:
    """The sizes of a run's byte ranges, in order: from MIN_RANGE_BYTES, doubling, up to ``range_bytes``.
    The first verdicts wait for the first range only, and the ramp costs a handful of tasks a run."""
    size = min(MIN_RANGE_BYTES, range_bytes)
    while size < range_bytes:
        yield size
        size *= 2
    yield from itertools.repeat(range_bytes)


def read_here(source: str) -> bool:
    """Standard input, and any other stream (a pipe, a FIFO, a device), is read by the command itself:
    only it can take the bytes as they arrive and show each verdict then, and stop when interrupted."""
    return source == STDIN or is_stream(source)


def _byte_ranges(index: int, source: str, size: int, ranges: Iterator[int]) -> Iterator[Task]:
    start = 0
    while start < size:
        stop = start + next(ranges)
        yield Task(index, source, start, None if stop >= size else stop, True, min(stop, size) - start, size)
        start = stop


def sizes_of(sources: Iterable[str]) -> list[int | None]:
    """Each input's size, looked up once: None for standard input, a pipe, or what cannot be reached."""
    return [None if source == STDIN else remote_size(source) if is_remote(source) else local_size(source)
            for source in sources]


def range_bytes_for(total: int, workers: int) -> int:
    """The size of the byte ranges for ``total`` bytes on ``workers`` workers: RANGES_PER_WORKER each, so
    every worker stays busy to the end and a slow range holds back a small share, up to 16 MiB; larger
    only where a store would otherwise make more than about TASKS of them, each costing the command and
    the scheduler about 2 ms of CPU on a cluster (against 0.4 s of a worker's time for 64 MiB)."""
    balanced = min(BALANCED_RANGE_BYTES, total // max(1, workers * RANGES_PER_WORKER))
    return max(MIN_RANGE_BYTES, min(MAX_RANGE_BYTES, max(balanced, -(-total // TASKS))))


def local_size(source: str) -> int | None:
    """The size of a regular file here; None for anything else (a pipe, a device, a missing file)."""
    try:
        info = os.stat(source)
    except (OSError, ValueError):
        return None
    return info.st_size if stat.S_ISREG(info.st_mode) else None


def remote_size(source: str) -> int | None:
    """The size of an fsspec URL's object, or None where it cannot be reached from here."""
    try:
        import fsspec.core

        fs, path = fsspec.core.url_to_fs(source)
        return int(fs.size(path))
    except Exception:  # unreachable from here; the worker that reads it will say why
        return None


# ---------------------------------------------------------------- running one task


def run_task(task: Task, options: Options) -> TaskResult:
    """Verify one task to the end; what a worker process or a cluster worker runs. Each verdict is packed
    as it comes (an OK one into 8 bytes), never held as a tuple until the end."""
    counter = [0]
    with cycle_collector_paused():
        result = TaskResult.of(task_verdicts(task, options, counter), 0)
    return replace(result, lines=counter[0])


def task_verdicts(task: Task, options: Options, counter: list[int], judge: Judge = check_document,
                  ) -> Iterator[tuple[int, str, str]]:
    """Verdicts of one task as they are reached; ``counter[0]`` ends as the number of lines it owned."""
    try:
        source = open_input(task.source, task.start, size=task.total or None, end=task.stop)
    except (OSError, ImportError, ValueError) as exc:
        yield 0, INVALID, _reason(exc) if isinstance(exc, OSError) else f"cannot read: {exc}"
        return
    ahead = None
    try:
        read = source.read
        if task.size > 2 * READ_BYTES and not source.streaming and not is_remote(task.source):
            ahead = ReadAhead(source)
            read = ahead.read
        try:
            for line, document in _documents(task, read, options, counter):
                status, detail = judge(document, options.strict)
                yield line, status, detail
        except OSError as exc:
            yield counter[0] + 1, INVALID, _reason(exc)
    finally:
        if ahead is not None:
            ahead.close()
        source.close()


def _documents(task: Task, read: Callable[[int], bytes], options: Options, counter: list[int]) -> Iterator[tuple[int, Any]]:
    """(line within the task, parsed value or Damaged) of every document the task owns."""
    limit = options.max_document_bytes
    stop = None if task.stop is None else task.stop - task.start
    lines = iter_lines(read, skip_first=task.start > 0, end=stop, limit=limit, counter=counter)
    if task.start == 0:
        lines = _without_bom(lines)
    return (json_lines_values if task.json_lines else stream_values)(lines, limit, options.strict)


def _without_bom(lines: Iterator[bytes | memoryview | None]) -> Iterator[bytes | memoryview | None]:
    # Only the first line is looked at; the rest pass through chain() with
    # no generator step of their own.
    def first() -> Iterator[bytes | memoryview | None]:
        for line in lines:
            yield line[3:] if line is not None and line[:3] == _BOM else line
            return

    return itertools.chain(first(), lines)


def _reason(exc: OSError) -> str:
    return f"cannot read: {exc.strerror or exc}"


@contextmanager
def cycle_collector_paused() -> Iterator[None]:
    """Documents are trees without cycles, freed by reference counting: the
    cycle collector would only walk them over and over while a task runs."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()
