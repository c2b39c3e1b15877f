"""Small whole inputs run together: one executor job for several of them.

Handing a task to another process or to a cluster costs a message each way
and a wake-up (about 0.5 ms of the command's CPU with a process pool, 1 ms
of the command's and the scheduler's on a cluster), more than reading an
input of a few kilobytes does: a store of small files ran slower on two
processes than on one. Executors that pay that price run such inputs in
bundles of consecutive tasks, each bundle about the work of the run's
smallest byte range, so the first verdicts still come soon and a slow input
holds back no more than a range would. Each task keeps its own result, and
one that raises does so in its own turn, after the verdicts of the tasks
before it.
"""

from __future__ import annotations

import traceback
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import ClassVar, cast

from brimwick.output.verify.sources import compression_by_name, is_remote
from brimwick.output.verify.tasks import MIN_RANGE_BYTES, Options, Task, TaskResult, run_task

BUNDLE_BYTES = MIN_RANGE_BYTES  # a bundle's inputs, at most, in bytes: about 7 ms of a worker's time
BUNDLE_TASKS = 32  # and in number
SMALL_INPUT_BYTES = BUNDLE_BYTES // 4  # larger inputs run on their own

# What a bundle's job gives back: a result for each task in order, up to the
# first one that raised, which is there as what it raised.
BundleResult = list["TaskResult | Exception"]


@dataclass(frozen=True)
class Bundle:
    """Consecutive tasks, each a whole small input, that one worker runs one after another."""

    tasks: tuple[Task, ...]
    here: ClassVar[bool] = False  # never read by the command itself

    def paired(self, results: BundleResult) -> Iterator[tuple[Task, TaskResult]]:
        """(task, result) in order; what a task raised is raised in its turn. Each result is let go of
        here as it is handed back (``results`` is used up)."""
        results.reverse()
        for task in self.tasks:
            if not results:  # never dropped silently: a run that lost verdicts would look clean
                raise RuntimeError(f"a bundle's job gave no result for {task.source}")
            if isinstance(results[-1], Exception):
                raise cast(Exception, results.pop())
            yield task, results.pop()  # type: ignore[misc]


Work = Task | Bundle


def is_small(task: Task) -> bool:
    """A whole input, read by a worker, small enough to share a job with others. Not an object in storage,
    whose request takes far longer than handing over a job, nor a compressed file, whose work its size
    does not tell: each of those keeps a job of its own, so that the workers share them out."""
    return (not task.here and task.start == 0 and task.stop is None and task.size <= SMALL_INPUT_BYTES
            and not is_remote(task.source) and compression_by_name(task.source) is None)


def bundled(tasks: Sequence[Task]) -> list[Work]:
    """The tasks in order, runs of consecutive small ones gathered into bundles (a lone one stays a task)."""
    work: list[Work] = []
    group: list[Task] = []
    size = 0

    def close() -> None:
        work.append(Bundle(tuple(group)) if len(group) > 1 else group[0])
        group.clear()

    for task in tasks:
        if group and (not is_small(task) or len(group) == BUNDLE_TASKS or size + task.size > BUNDLE_BYTES):
            close()
        if is_small(task):
            size = task.size if not group else size + task.size
            group.append(task)
        else:
            work.append(task)
    if group:
        close()
    return work


def run_bundle(bundle: Bundle, options: Options) -> BundleResult:
    """``run_task`` on each of the bundle's tasks, stopping at the first that raises."""
    results: BundleResult = []
    for task in bundle.tasks:
        try:
            results.append(run_task(task, options))
        except Exception as exc:
            # The worker's traceback travels with it, as the process pool sends one for a job that raises.
            exc.add_note("".join(traceback.format_exception(exc)).rstrip())
            results.append(exc)
            break
    return results


def run_work(work: Work, options: Options) -> TaskResult | BundleResult:
    """What a worker process runs: one task, or a bundle of them."""
    return run_bundle(work, options) if isinstance(work, Bundle) else run_task(work, options)
