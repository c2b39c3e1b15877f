"""Tasks in flight on an executor, their results handed back in task order.

A bounded number of tasks are unfinished at once (``running``: two per
worker, so no worker waits between tasks). A result is fetched once its task
ends, in whatever order they end, and the executor's future is dropped then,
so the executor holds nothing for tasks whose results were fetched. Results
that finished ahead of their turn wait here until every task before them has
been handed back, and while they wait more tasks start, up to a budget of
held verdict bytes: one slow range holds back the output, never the other
workers. Where each fetch is a round trip (a cluster), results are fetched
several at once: those of the tasks that ended meanwhile, and more as they
end, but never more than would keep the next batch of tasks from going, and
never past a moment (``LINGER_SECONDS``) after the task whose turn it is ended.
What is pending is cancelled when the caller stops early or fails. Where a
task costs the executor more than a small input takes to read, small whole
inputs go in bundles (``bundles``), one future for several tasks.
"""

from __future__ import annotations

import queue
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Protocol

from brimwick.output.verify.bundles import Bundle, BundleResult, Work, bundled
from brimwick.output.verify.tasks import Task, TaskResult

TASKS_PER_WORKER_IN_FLIGHT = 2  # one running, one waiting, so no worker idles between tasks
HELD_BYTES = 64 << 20  # verdicts waiting for their turn, at most (about 8 million OK verdicts)
TASK_BYTES = 512  # what one waiting result costs beyond its verdicts
VERDICT_BYTES = 96  # what one verdict other than a bare OK costs beyond its detail
POLL_SECONDS = 0.5  # how often ``watch`` looks at the executor while nothing finishes
LINGER_SECONDS = 0.05  # how long a fetch of several waits for more to end after the one in its turn ended


class Future(Protocol):
    def result(self) -> Any: ...
    def add_done_callback(self, fn: Callable[[Any], object]) -> Any: ...
    def cancel(self) -> Any: ...


# A future for each task or bundle (a bundle's future gives a BundleResult).
SubmitMany = Callable[[Sequence[Work]], Sequence[Future]]
Fetch = Callable[[Work, Future], "TaskResult | BundleResult"]
# Results of several finished futures at once (one round trip), each a result or what its fetch raised.
FetchMany = Callable[[Sequence[Work], Sequence[Future]], Sequence["TaskResult | BundleResult | Exception"]]


def held_bytes(result: TaskResult | BundleResult) -> int:
    """About what a fetched result (a bundle's: each of its tasks') costs while it waits its turn."""
    if isinstance(result, list):
        return sum(held_bytes(each) for each in result if isinstance(each, TaskResult))
    return TASK_BYTES + len(result.ok_lines) + sum(VERDICT_BYTES + len(detail) for *_, detail in result.others)


@dataclass(frozen=True)
class Runner:
    """An executor as the window sees it. ``submit_many`` starts tasks (a future each);
    ``fetch`` turns a finished future into its result, raising what the caller wants raised;
    ``watch`` is called while nothing finishes and may raise to give up; ``cancel_many``
    cancels what is still pending when the caller stops. What ``fetch`` raises is raised in the
    task's turn, after the results of the tasks before it. ``batch``: tasks are submitted only this
    many at once (where each submission is a message to a scheduler), and ``fetch_many`` fetches the
    results of the tasks that ended meanwhile together, waiting for up to ``fetch_together`` of them to
    end, never past ``LINGER_SECONDS`` after the task in its turn did; both save an executor's cost per
    message."""

    submit_many: SubmitMany
    running: int  # tasks unfinished at once, at most (a bundle counts as one)
    budget: int = HELD_BYTES
    fetch: Fetch = lambda task, future: future.result()  # noqa: E731
    watch: Callable[[], None] | None = None
    cancel_many: Callable[[Sequence[Future]], None] = lambda futures: _cancel_each(futures)  # noqa: E731
    batch: int = 1
    fetch_many: FetchMany | None = None
    per_worker: int = TASKS_PER_WORKER_IN_FLIGHT  # of ``running``
    fetch_together: int = 1  # with ``fetch_many``: results fetched at once, at most (see ``_Flight._wanted``)
    bundles: bool = False  # small whole inputs submitted in bundles (``bundles.bundled``)

    @property
    def workers(self) -> int:
        """The workers this runner keeps busy, as the plan's ranges are sized for them."""
        return max(1, self.running // self.per_worker)

    def in_order(self, tasks: Sequence[Task]) -> Iterator[tuple[Task, TaskResult | None]]:
        """(task, result) for every task, in task order; the result is None for a task the caller
        reads itself in its turn (``Task.here``: standard input, another stream)."""
        work = bundled(tasks) if self.bundles else tasks
        flight = _Flight(self)
        try:
            for position, item in enumerate(work):
                flight.start(work, position)
                while not item.here and position not in flight.results:
                    flight.wait(work, position)
                    flight.start(work, position)
                if isinstance(item, Bundle):
                    yield from item.paired(flight.take(position))  # type: ignore[arg-type]
                else:  # nothing here holds the result once the caller lets it go
                    yield item, flight.take(position)  # type: ignore[misc]
        finally:
            flight.cancel()


def _cancel_each(futures: Sequence[Future]) -> None:
    for future in futures:
        future.cancel()


class _Flight:
    def __init__(self, runner: Runner) -> None:
        self.runner = runner
        self.futures: dict[int, Future] = {}  # submitted and not yet fetched
        self.results: dict[int, TaskResult | BundleResult | Exception] = {}  # fetched, waiting for their turn
        self.held = 0
        self.submitted = 0  # tasks before this one have been submitted (or are read here)
        self.ended: queue.SimpleQueue[int] = queue.SimpleQueue()

    def start(self, tasks: Sequence[Work], position: int) -> None:
        """Submit the next tasks while fewer than ``running`` are unfinished and the waiting
        results hold less than the budget; the task at ``position`` always goes."""
        runner, batch = self.runner, list[int]()
        if self.submitted > position and runner.running - len(self.futures) < runner.batch:
            return  # until a whole batch can go
        while self.submitted < len(tasks) and len(self.futures) + len(batch) < runner.running and \
                (self.held < runner.budget or self.submitted == position):
            if not tasks[self.submitted].here:
                batch.append(self.submitted)
            self.submitted += 1
        if not batch:
            return
        try:
            futures = self.runner.submit_many([tasks[at] for at in batch])
        except Exception as exc:  # the executor broke: said in the turn of the first task it did not take,
            self.results[batch[0]] = exc  # after the results of those it did, which may have ended already
            self.submitted = len(tasks)  # and nothing more goes
            return
        for at, future in zip(batch, futures, strict=True):
            self.futures[at] = future
            future.add_done_callback(self._notice(at))

    def _notice(self, at: int) -> Callable[[Any], None]:
        return lambda _: self.ended.put(at)

    def wait(self, tasks: Sequence[Work], position: int) -> None:
        """Fetch the result of the next task to end; with ``fetch_many``, those of others too (``_more_ended``)."""
        watch = self.runner.watch
        try:
            first = self.ended.get(timeout=POLL_SECONDS if watch else None)
        except queue.Empty:
            assert watch is not None
            watch()
            return
        if self.runner.fetch_many is not None:
            fetched = self._more_ended(first, tasks, position)
        else:
            fetched = [first] if first in self.futures else []  # not a rerun's second notice
        if not fetched:
            return
        futures = [self.futures.pop(at) for at in fetched]
        results = self._fetch([tasks[at] for at in fetched], futures)
        del futures  # the executor may free them now
        for at, result in zip(fetched, results, strict=True):
            self.results[at] = result  # an exception is raised in its turn, after the verdicts before it
            self.held += 0 if isinstance(result, Exception) else held_bytes(result)

    def _more_ended(self, first: int, tasks: Sequence[Work], position: int) -> list[int]:
        """The unfetched tasks that ended, in that order: ``first``, those that ended meanwhile, then those
        that end until ``_wanted`` have, or until ``LINGER_SECONDS`` after the task at ``position`` ended.
        An end told twice (a rerun's second notice) or of a task fetched already counts for nothing."""
        watch, wanted = self.runner.watch, self._wanted(tasks)
        fresh = dict.fromkeys([first] if first in self.futures else [])  # ended, not yet fetched, in order
        deadline = time.monotonic() + LINGER_SECONDS if position in fresh else None
        while True:
            try:
                if len(fresh) >= wanted or not self.ended.empty():
                    at = self.ended.get_nowait()
                elif deadline is not None:
                    at = self.ended.get(timeout=max(0.0, deadline - time.monotonic()))
                else:
                    at = self.ended.get(timeout=POLL_SECONDS if watch else None)
            except queue.Empty:
                if len(fresh) >= wanted or deadline is not None:
                    return list(fresh)
                assert watch is not None
                watch()
                continue
            if at in self.futures and at not in fresh:
                fresh[at] = None
                if at == position:
                    deadline = time.monotonic() + LINGER_SECONDS

    def _wanted(self, tasks: Sequence[Work]) -> int:
        """How many results a fetch waits for: ``fetch_together``, but no more than leaves room for the
        next batch to go once they are fetched (were more to wait, the workers would wait with them)."""
        runner = self.runner
        room = runner.running - runner.batch if self.submitted < len(tasks) else 0
        return max(1, min(runner.fetch_together, len(self.futures) - room))

    def _fetch(self, tasks: Sequence[Work], futures: Sequence[Future]) -> Sequence[TaskResult | BundleResult | Exception]:
        if self.runner.fetch_many is not None:
            return self.runner.fetch_many(tasks, futures)
        results: list[TaskResult | BundleResult | Exception] = []
        for task, future in zip(tasks, futures, strict=True):
            try:
                results.append(self.runner.fetch(task, future))
            except Exception as exc:
                results.append(exc)
        return results

    def take(self, position: int) -> TaskResult | BundleResult | None:
        result = self.results.pop(position, None)
        if isinstance(result, Exception):
            raise result
        if result is not None:
            self.held -= held_bytes(result)
        return result

    def cancel(self) -> None:
        pending, self.futures = list(self.futures.values()), {}
        if pending:
            self.runner.cancel_many(pending)
