"""The window of tasks in flight: results in task order, more tasks started while a slow one holds the
output back, within the budget of held verdict bytes, and nothing left pending when the caller stops."""

from __future__ import annotations

import threading
import time
import weakref
from collections.abc import Callable, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

import pytest

from brimwick.output.verify.bundles import Bundle
from brimwick.output.verify.tasks import Task, TaskResult
from brimwick.output.verify.window import Runner, held_bytes


def result(n: int) -> TaskResult:
    return TaskResult.of([(line, "OK", "") for line in range(1, n + 1)], n)


class Pool:
    """Threads standing in for workers; task ``i`` sleeps ``seconds[i]``. Records what is unfinished.
    With ``first_waits_for``, task 0 ends only once that many others have (or after a minute), and a
    moment after, so that tasks that should not run have had their chance; ``ended_before_first``
    counts those that did."""

    def __init__(self, workers: int, seconds: dict[int, float], lines: int = 10, first_waits_for: int | None = None) -> None:
        self.executor = ThreadPoolExecutor(workers)
        self.seconds, self.lines, self.first_waits_for = seconds, lines, first_waits_for
        self.lock = threading.Lock()
        self.submitted: list[Future[TaskResult]] = []
        self.most_unfinished = 0
        self.ended = 0
        self.ended_before_first: int | None = None
        self.batches: list[int] = []  # tasks in each submission

    def run(self, task: Task | Bundle) -> TaskResult | list[TaskResult]:
        if isinstance(task, Bundle):  # one job: task ``i``'s time if it comes first
            time.sleep(self.seconds.get(task.tasks[0].index, 0.01))
            return [result(self.lines) for _ in task.tasks]
        if task.index == 0 and self.first_waits_for is not None:
            deadline = time.monotonic() + 60  # reached only when the others never run
            while self.ended < self.first_waits_for and time.monotonic() < deadline:
                time.sleep(0.005)
            time.sleep(0.1)
            self.ended_before_first = self.ended
        else:
            time.sleep(self.seconds.get(task.index, 0.01))
        with self.lock:
            self.ended += 1
        return result(self.lines)

    def submit_many(self, tasks: Sequence[Task]) -> list[Future[TaskResult]]:
        futures = [self.executor.submit(self.run, task) for task in tasks]
        self.batches.append(len(tasks))
        with self.lock:
            self.submitted += futures
            self.most_unfinished = max(self.most_unfinished, sum(not f.done() for f in self.submitted))
        return futures


def tasks(count: int) -> list[Task]:
    return [Task(index, f"in-{index}.jsonl") for index in range(count)]


@pytest.mark.parametrize("workers, budget, ended_before_first, batch", [
    (2, 1 << 20, 79, 1),  # the other worker keeps going behind the slow task, to the last
    (2, 1 << 20, 79, 2),  # tasks submitted two at once (one message to a scheduler) do too
    (2, 0, 0, 1),  # no budget: waiting results stop new tasks, and none may wait, so one task runs at a time
])
def test_a_slow_task_holds_back_the_output_not_the_workers(workers: int, budget: int, ended_before_first: int,
                                                           batch: int) -> None:
    pool = Pool(workers, {}, first_waits_for=ended_before_first)
    runner = Runner(pool.submit_many, running=2 * workers, budget=budget, batch=batch)
    order = [task.index for task, _ in runner.in_order(tasks(80))]
    assert order == list(range(80))
    assert pool.most_unfinished <= 2 * workers and pool.ended_before_first == ended_before_first
    assert min(pool.batches[:-1]) >= batch and sum(pool.batches) == 80  # each task once, in whole batches


@pytest.mark.parametrize("bundles", [False, True])
def test_waiting_results_stay_within_the_budget(bundles: bool) -> None:
    per_job = 32 if bundles else 1  # tasks of small inputs, bundled 32 to a job
    pool = Pool(2, {0: 0.5}, lines=1000)
    budget = 5 * per_job * held_bytes(result(1000))
    runner = Runner(pool.submit_many, running=4, budget=budget, bundles=bundles)
    for task, _ in runner.in_order(tasks(40 * per_job)):
        if task.index == 0:  # everything started meanwhile has finished or is about to
            assert len(pool.submitted) <= 5 + 4


def test_a_bundle_s_job_that_gives_too_few_results_is_an_error_not_a_clean_run() -> None:
    class Short(Pool):
        def run(self, task: Task | Bundle) -> TaskResult | list[TaskResult]:
            full = super().run(task)
            return full[:1] if isinstance(full, list) else full

    runner = Runner(Short(1, {}).submit_many, running=2, bundles=True)
    handed = []
    with pytest.raises(RuntimeError, match="a bundle's job gave no result for in-1.jsonl"):
        for task, _ in runner.in_order(tasks(3)):
            handed.append(task.index)
    assert handed == [0]


def test_pending_tasks_are_cancelled_when_the_caller_stops() -> None:
    cancelled: list[Any] = []
    pool = Pool(1, {})
    runner = Runner(pool.submit_many, running=4, cancel_many=cancelled.extend)
    for task, _ in runner.in_order(tasks(20)):
        if task.index == 2:
            break
    assert len(cancelled) >= 1 and all(f in pool.submitted for f in cancelled)


class Finished:
    """An executor whose futures are done when handed over; it keeps a weak reference to each result, nothing more."""

    def __init__(self) -> None:
        self.results: list[weakref.ref[TaskResult]] = []

    def submit_many(self, batch: Sequence[Task]) -> list[Future[TaskResult]]:
        futures = []
        for _ in batch:
            value, future = result(1000), Future[TaskResult]()
            self.results.append(weakref.ref(value))
            future.set_result(value)
            futures.append(future)
        return futures


class Broke(Exception):
    pass


@pytest.mark.parametrize("error, handed_first", [(Broke, [0, 1, 2, 3]), (KeyboardInterrupt, [])],
                         ids=["broken executor", "a stop: raised at once"])
def test_an_executor_that_breaks_fails_in_the_turn_of_the_first_task_it_did_not_take(
        error: type[BaseException], handed_first: list[int]) -> None:
    refused: list[int] = []

    class Breaking(Finished):  # a pool whose worker died: the jobs it had taken ended before
        def submit_many(self, batch: Sequence[Task]) -> list[Future[TaskResult]]:
            if any(task.index >= 4 for task in batch):
                refused.append(batch[0].index)
                raise error("the pool broke")
            return super().submit_many(batch)

    handed = []
    with pytest.raises(error, match="the pool broke"):
        for task, _ in Runner(Breaking().submit_many, running=4).in_order(tasks(10)):
            handed.append(task.index)
    assert handed == handed_first and refused == [4]  # nothing more is offered once it broke


def test_a_result_taken_in_its_turn_is_released() -> None:
    executor = Finished()
    # Room for two waiting results: a result still counted once taken would soon leave one task at a time.
    runner = Runner(executor.submit_many, running=4, budget=2 * held_bytes(result(1000)))
    alive, ahead = [], []
    for task, taken in runner.in_order(tasks(40)):
        del taken
        alive.append(sum(ref() is not None for ref in executor.results[:task.index + 1]))
        ahead.append(len(executor.results) - task.index - 1)
    assert alive == [0] * 40  # nothing keeps a result that was handed back, nor its future
    assert ahead == [min(4, 39 - index) for index in range(40)]  # and its room in the budget is free again


class Noticed(Future):  # type: ignore[type-arg]
    """A future whose end may be told more than once, as a task run again after its worker died tells it."""

    def __init__(self, notices: int) -> None:
        super().__init__()
        self.notices, self.callbacks = notices, list[Callable[[Any], object]]()

    def add_done_callback(self, fn: Callable[[Any], object]) -> None:
        self.callbacks.append(fn)
        for _ in range(self.notices):
            super().add_done_callback(fn)


class Scripted:
    """Futures that end when ``script`` says: the tasks listed under "submit" end as they are submitted, and
    each fetch and each look of ``watch`` (nothing ended meanwhile) ends the next list under its name.
    ``notices``: how often each end is told; ``again``: the fetched ones tell theirs again after a fetch."""

    def __init__(self, notices: int = 1, again: bool = False, **script: list[list[int]]) -> None:
        self.script, self.futures = script, dict[int, Noticed]()
        self.notices, self.again = notices, again
        self.fetched: list[list[int]] = []
        self.watched = 0

    def end(self, event: str) -> None:
        for index in self.script[event].pop(0) if self.script.get(event) else []:
            self.futures[index].set_result(result(index))

    def submit_many(self, batch: Sequence[Task]) -> list[Future[TaskResult]]:
        self.futures.update((task.index, Noticed(self.notices)) for task in batch)
        self.end("submit")
        return [self.futures[task.index] for task in batch]

    def fetch_many(self, batch: Sequence[Task], futures: Sequence[Future[TaskResult]]) -> list[TaskResult]:
        self.fetched.append([task.index for task in batch])
        self.end("fetch")
        for future in futures if self.again else ():
            for told in future.callbacks:
                told(future)
        return [future.result() for future in futures]

    def watch(self) -> None:
        self.watched += 1
        self.end("watch")


@pytest.mark.parametrize("script, batch, fetched, watched", [
    # The one in its turn ends alone: fetched alone, not held back for others to end.
    ({"submit": [[0]], "fetch": [[1, 2, 3, 4], [5, 6, 7]]}, 8, [[0], [1, 2, 3, 4], [5, 6, 7]], 0),
    # It runs on while three others end: they wait for a fourth (or for it) to be fetched together.
    ({"submit": [[1, 2, 3]], "watch": [[4, 0]], "fetch": [[5, 6, 7]]}, 8, [[1, 2, 3, 4, 0], [5, 6, 7]], 1),
    # Fewer than four have ended when it does: they go with it.
    ({"submit": [[1, 2]], "watch": [[], [0]], "fetch": [[3, 4, 5, 6, 7]]}, 8, [[1, 2, 0], [3, 4, 5, 6, 7]], 2),
    # Three are enough where a fourth would keep the next batch (tasks 8 to 11) from going while it runs on.
    ({"submit": [[0]], "fetch": [[2, 3, 4], [1], [5, 6, 7, 8, 9, 10, 11]], "watch": [[1]]}, 4,
     [[0], [2, 3, 4], [1], [5, 6, 7, 8, 9, 10, 11]], 0),
    # Four are enough even when the one in its turn is not among them, and no fifth is waited for.
    ({"submit": [[1, 2, 3, 4]], "watch": [[0]], "fetch": [[5, 6, 7]]}, 8, [[1, 2, 3, 4], [5, 6, 7, 0]], 1),
    # An end told twice (a task run again) counts once, and so does one told again after its fetch.
    ({"notices": 2, "submit": [[1, 2, 3]], "watch": [[0]], "fetch": [[4, 5, 6, 7]]}, 8, [[1, 2, 3, 0], [4, 5, 6, 7]], 1),
    ({"again": True, "submit": [[1, 2, 3, 4]], "fetch": [[5]], "watch": [[0, 6, 7]]}, 8, [[1, 2, 3, 4], [5, 0, 6, 7]], 1),
    ({"again": True, "submit": [[1, 2, 3, 4]], "watch": [[5], [6], [7], [0]]}, 8, [[1, 2, 3, 4], [5, 6, 7, 0]], 4),
    # The one in its turn ends at a look of the watch: fetched with what ended before it.
    ({"submit": [[1]], "watch": [[0]], "fetch": [[2, 3, 4, 5, 6, 7]]}, 8, [[1, 0], [2, 3, 4, 5, 6, 7]], 1),
    # Room for the next batch, however small the batch: two go as soon as they leave room for two more.
    ({"submit": [[1, 2, 3], [8, 9]], "watch": [[0]], "fetch": [[4, 5, 6, 7]]}, 2, [[1, 2, 3], [4, 5, 6, 7, 8, 9], [0]], 1),
    ({"submit": [[1], []], "watch": [[2], [0], [8, 9]], "fetch": [[3, 4, 5, 6, 7]]}, 2,
     [[1, 2], [3, 4, 5, 6, 7], [0], [8, 9]], 3),
    # A batch of one: no task left behind, so the last ones wait for the one in its turn.
    ({"submit": [[1, 2, 3]], "watch": [[4, 0]], "fetch": [[5, 6, 7]]}, 1, [[1, 2, 3, 4, 0], [5, 6, 7]], 1),
])
def test_results_are_fetched_together_without_holding_back_the_one_in_its_turn(
        monkeypatch: pytest.MonkeyPatch, script: dict[str, Any], batch: int, fetched: list[list[int]],
        watched: int) -> None:
    from brimwick.output.verify import window
    monkeypatch.setattr(window, "POLL_SECONDS", 0.01)
    executor = Scripted(**script)
    runner = Runner(executor.submit_many, running=8, batch=batch, fetch_many=executor.fetch_many, fetch_together=4,
                    watch=executor.watch)
    count = len(sum(fetched, []))
    taken = [(task.index, taken.lines) for task, taken in runner.in_order(tasks(count)) if taken is not None]
    assert taken == [(index, index) for index in range(count)]
    assert executor.fetched == fetched and executor.watched == watched
