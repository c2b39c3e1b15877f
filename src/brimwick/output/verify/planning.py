"""The plan of a run, made once before anything runs: every input sized once, its tasks cut once.

A run goes plan -> run -> report. ``plan_run`` looks at each input once (a
``stat`` here, one HEAD request for an object in storage) and cuts the tasks
for the number of workers that will run them; the executors take that plan
(``ordered.run_plan`` runs it here or on any ``window.Runner``), and the
verdicts, in input order, go to the report. Nothing after the plan asks an
input its size again: a task carries its input's size to the worker that
reads it.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from dataclasses import dataclass

from brimwick.output.verify.bundles import bundled
from brimwick.output.verify.tasks import Task, plan, range_bytes_for, sizes_of


@dataclass(frozen=True)
class Plan:
    """The inputs of one run, in the order given, and the tasks they were cut into."""

    sources: tuple[str, ...]
    tasks: tuple[Task, ...]

    @property
    def total_bytes(self) -> int:
        """The bytes of the inputs whose size is known (for the progress bar)."""
        return sum(task.size for task in self.tasks)

    @property
    def reads_streams(self) -> bool:
        """Whether the command reads an input itself, as its bytes arrive (standard input, a pipe)."""
        return any(task.here for task in self.tasks)

    def workers(self, wanted: int) -> int:
        """The workers worth starting of ``wanted``: no more than there are jobs for them (tasks, small
        inputs bundled; a worker with nothing to do would only cost its start), 0 when every input is one
        the command reads itself."""
        return min(wanted, sum(not work.here for work in bundled(self.tasks)))


OnPlan = Callable[[Plan], None]


def source_list(sources: Iterable[str]) -> list[str]:
    """The inputs as a list; a bare string is refused, since it would be read as one input per character."""
    if isinstance(sources, (str, bytes)):
        raise TypeError(f"sources must be a list of inputs, not one {type(sources).__name__}: [{sources!r}]?")
    return list(sources)


def plan_run(sources: Iterable[str] | Plan, workers: int = 1, range_bytes: int | None = None) -> Plan:
    """The plan for ``workers`` workers (a plan given is kept as it is). ``range_bytes``: the size of
    the byte ranges, where the caller chooses it; by default it follows the inputs' size and the workers."""
    if isinstance(sources, Plan):
        return sources
    sources = source_list(sources)
    sizes = sizes_of(sources)
    ramp = range_bytes is None  # a size the caller chose is kept for every range
    if range_bytes is None:
        range_bytes = range_bytes_for(sum(size or 0 for size in sizes), workers)
    return Plan(tuple(sources), tuple(plan(sources, range_bytes, sizes, ramp=ramp)))
