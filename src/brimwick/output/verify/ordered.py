"""Verdicts in input order, from any executor, and their labels.

``raw_verdicts`` plans the run (``planning``), hands the plan's tasks to an
executor's ``submit`` (or runs them here, one after another, without one)
with a bounded number in flight, and gives every verdict in input order as
soon as it is known. The
labeller turns the task-relative line numbers into ``NAME:LINE`` labels, or
``NAME`` for an input that holds one document. What a verdict says is
``verdicts``'s; which executor runs the tasks is the caller's choice
(``executors`` has the process pool and Dask); printing is ``report``'s.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass

from brimwick.output.verify.planning import OnPlan, Plan, plan_run, source_list
from brimwick.output.verify.tasks import STDIN, Judge, Options, Task, TaskResult, cycle_collector_paused, task_verdicts
from brimwick.output.verify.positions import Position
from brimwick.output.verify.sources import is_stream
from brimwick.output.verify.verdicts import INVALID, check_document
from brimwick.output.verify.window import Future, Runner

STDIN_LABEL = "<stdin>"
NO_DOCUMENT = "no document in the input"
TOO_LARGE_MARK = "(--max-document-bytes)"


@dataclass(frozen=True)
class Verdict:
    label: str  # the input's name, with ":LINE" where the input holds several documents
    status: str
    detail: str = ""


# A verdict before it is labelled: (input's name, line or 0 for the input as
# a whole, status, detail). A caller that shows only some verdicts (the
# command with --quiet) labels only those.
RawVerdict = tuple[str, int, str, str]
# Task-relative verdicts: (line within the task or 0, status, detail).
TaskVerdicts = Iterator[tuple[int, str, str]]
OnTaskDone = Callable[[Task], None]
CountOk = Callable[[int], None]


Submit = Callable[[Task], Future]


def position(line: int) -> str:
    """``LINE``, or ``LINE:COLUMN`` for a document that shares its line."""
    return f"{line:d}:{line.column}" if type(line) is Position else str(line)


def label(name: str, line: int) -> str:
    return f"{name}:{position(line)}" if line else name


def label_of(source: str) -> str:
    return STDIN_LABEL if source == STDIN else source


def labelled(raw: Iterable[RawVerdict]) -> Iterator[Verdict]:
    """Each raw verdict with its label."""
    for name, line, status, detail in raw:
        yield Verdict(label(name, line), status, detail)


def verify_sources(sources: Iterable[str] | Plan, options: Options = Options(), *, submit: Submit | None = None,
                   window: int = 4, range_bytes: int | None = None, on_task_done: OnTaskDone | None = None,
                   judge: Judge = check_document, runner: Runner | None = None) -> Iterator[Verdict]:
    """Verdicts on every document of the inputs, in input order, each as soon as it is known.

    Without ``submit`` the work runs here, one document after another. With
    it, tasks go to ``submit`` (``ProcessPoolExecutor.submit`` bound to
    ``run_task`` and the options, a Dask client's ``submit``, ...) with at most
    ``window`` of them unfinished; results that finish ahead of their turn wait
    here, within a budget of bytes, while more tasks start. Standard input is
    always read here.
    ``raw_verdicts`` takes the same arguments and gives the verdicts unlabelled.
    """
    return labelled(raw_verdicts(sources, options, submit=submit, window=window, range_bytes=range_bytes,
                                 on_task_done=on_task_done, judge=judge, runner=runner))


def raw_verdicts(sources: Iterable[str] | Plan, options: Options = Options(), *, submit: Submit | None = None,
                 window: int = 4, range_bytes: int | None = None, on_task_done: OnTaskDone | None = None,
                 judge: Judge = check_document, runner: Runner | None = None,
                 count_ok: CountOk | None = None, on_plan: OnPlan | None = None) -> Iterator[RawVerdict]:
    """``verify_sources``, each verdict as a RawVerdict; ``runner`` stands for ``submit`` and ``window``
    where an executor needs more say (see ``window.Runner``). With ``count_ok``, OK verdicts that
    come back from workers may be given to it as their number instead of one by one (for a caller
    that shows none of them: a worker's OK verdicts cost the command nothing each). ``sources`` may be
    a ``Plan`` made already; ``on_plan`` is shown the plan before the first task runs."""
    if not isinstance(sources, Plan):
        sources = source_list(sources)
    if runner is None and submit is not None:
        # No bundles here: ``submit`` takes tasks only.
        runner = Runner(lambda batch: [submit(task) for task in batch], running=window)  # type: ignore[arg-type]
    return _planned_run(sources, options, runner, range_bytes, on_plan, on_task_done, judge, count_ok)


def _planned_run(sources: list[str] | Plan, options: Options, runner: Runner | None, range_bytes: int | None,
                 on_plan: OnPlan | None, on_task_done: OnTaskDone | None, judge: Judge,
                 count_ok: CountOk | None) -> Iterator[RawVerdict]:
    plan = plan_run(sources, runner.workers if runner else 1, range_bytes)
    if on_plan is not None:
        on_plan(plan)
    yield from run_plan(plan, options, runner, on_task_done=on_task_done, judge=judge, count_ok=count_ok)


def run_plan(plan: Plan, options: Options, runner: Runner | None = None, *, on_task_done: OnTaskDone | None = None,
             judge: Judge = check_document, count_ok: CountOk | None = None) -> Iterator[RawVerdict]:
    """Every verdict of the plan's tasks, in input order: on ``runner``'s executor, or here without one."""
    labeller = _Labeller(plan.sources)
    if runner is None:
        yield from _run_here(plan.tasks, options, labeller, on_task_done, judge)
    else:
        yield from _run_submitted(plan.tasks, options, labeller, on_task_done, runner, judge, count_ok)
    yield from labeller.finish()


def _run_here(tasks: Sequence[Task], options: Options, labeller: _Labeller, on_task_done: OnTaskDone | None,
              judge: Judge) -> Iterator[RawVerdict]:
    with cycle_collector_paused():
        for task in tasks:
            counter = [0]
            yield from labeller.task(task, task_verdicts(task, options, counter, judge), counter)
            if on_task_done:
                on_task_done(task)


def _run_submitted(tasks: Sequence[Task], options: Options, labeller: _Labeller, on_task_done: OnTaskDone | None,
                   runner: Runner, judge: Judge, count_ok: CountOk | None) -> Iterator[RawVerdict]:
    """Tasks in flight on the runner, collected in their order; standard input is read here in its turn."""
    for task, result in runner.in_order(tasks):
        if result is None:
            counter = [0]
            yield from labeller.task(task, task_verdicts(task, options, counter, judge), counter)
        elif count_ok is not None and task.json_lines:
            yield from labeller.counted(task, result, count_ok)
        else:
            yield from labeller.task(task, result.verdicts(), [result.lines])
        if on_task_done:
            on_task_done(task)


class _Labeller:
    """Turns task-relative line numbers into labels: ``NAME:LINE``, or ``NAME`` for an
    input that is one document (or could not be read at all)."""

    def __init__(self, sources: Sequence[str]) -> None:
        self.sources = sources
        self.index = -1
        self.base = 0
        self.count = 0
        self.held: tuple[int, str, str] | None = None
        self.closed = False  # the input at ``index`` has had its last verdicts

    def task(self, task: Task, verdicts: TaskVerdicts, counter: list[int]) -> Iterator[RawVerdict]:
        yield from self._enter(task)
        name = label_of(task.source)
        if task.json_lines:
            yield from self._json_lines(name, verdicts)
        else:
            # A stream's documents always carry their line: whether another will
            # come is not known when one is shown.
            yield from self._stream(name, verdicts, not is_stream(task.source))
        self.base += counter[0]
        yield from self._leave(task)

    def counted(self, task: Task, result: TaskResult, count_ok: CountOk) -> Iterator[RawVerdict]:
        """A worker's JSON Lines verdicts with the OK ones counted, not shown: the others keep their labels."""
        yield from self._enter(task)
        name, base = label_of(task.source), self.base
        for _, line, status, detail in result.others:
            yield name, base + line if line else 0, status, detail
        ok = result.ok_count()
        count_ok(ok)
        self.count += ok + len(result.others)
        self.base += result.lines
        yield from self._leave(task)

    def _enter(self, task: Task) -> Iterator[RawVerdict]:
        while self.index < task.index:
            yield from self._close_input()
            self.index += 1
            self.base = self.count = 0
            self.closed = False

    def _leave(self, task: Task) -> Iterator[RawVerdict]:
        """A task that runs to its input's end closes the input at once: a verdict held back until the
        next document or the end is known then, and is not lost if the run fails before the next input."""
        if task.stop is None:
            yield from self._close_input()
            self.closed = True

    def finish(self) -> Iterator[RawVerdict]:
        while self.index < len(self.sources):
            yield from self._close_input()
            self.index += 1
            self.closed = False

    def _json_lines(self, name: str, verdicts: TaskVerdicts) -> Iterator[RawVerdict]:
        # Every document has its line in the label; nothing is held back.
        base, count = self.base, 0
        for line, status, detail in verdicts:
            count += 1
            yield name, base + line if line else 0, status, detail
        self.count += count

    def _stream(self, name: str, verdicts: TaskVerdicts, holds: bool) -> Iterator[RawVerdict]:
        for line, status, detail in verdicts:
            self.count += 1
            if line == 0:
                yield name, 0, status, detail
                continue
            if self.count == 1 and holds:
                # One document, or the first of several? Known at the next one or
                # at the end of the file.
                self.held = (self.base + line, status, detail)
                continue
            if self.held is not None:
                yield name, *self.held
                self.held = None
            yield name, self.base + line, status, detail

    def _close_input(self) -> Iterator[RawVerdict]:
        if self.index < 0 or self.closed:
            return
        name = label_of(self.sources[self.index])
        if self.held is not None:
            _, status, detail = self.held
            yield name, 0, status, detail
        elif self.count == 0:
            yield name, 0, INVALID, NO_DOCUMENT
        self.held = None
