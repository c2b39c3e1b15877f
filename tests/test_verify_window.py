"""The window of tasks in flight: results in task order, more tasks started while a slow one holds the
output back, within the budget of held verdict bytes, and nothing left pending when the caller stops."""

from __future__ import annotations

import threading
import time
from collections.abc import Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any

import pytest

from brimwick.output.verify.tasks import Task, TaskResult
from brimwick.output.verify.window import Runner, held_bytes


def result(n: int) -> TaskResult:
    return TaskResult.of([(line, "OK", "") for line in range(1, n + 1)], n)


class Pool:
    """Threads standing in for workers; task ``i`` sleeps ``seconds[i]``. Records what is unfinished."""

    def __init__(self, workers: int, seconds: dict[int, float], lines: int = 10) -> None:
        self.executor = ThreadPoolExecutor(workers)
        self.seconds, self.lines = seconds, lines
        self.lock = threading.Lock()
        self.submitted: list[Future[TaskResult]] = []
        self.most_unfinished = 0

    def run(self, task: Task) -> TaskResult:
        time.sleep(self.seconds.get(task.index, 0.01))
        return result(self.lines)

    def submit_many(self, tasks: Sequence[Task]) -> list[Future[TaskResult]]:
        futures = [self.executor.submit(self.run, task) for task in tasks]
        with self.lock:
            self.submitted += futures
            self.most_unfinished = max(self.most_unfinished, sum(not f.done() for f in self.submitted))
        return futures


def tasks(count: int) -> list[Task]:
    return [Task(index, f"in-{index}.jsonl") for index in range(count)]


@pytest.mark.parametrize("workers, slow, budget, tolerance", [
    (2, 1.5, 1 << 20, 0.5),  # the other worker keeps going behind the slow task
    (2, 0.5, 0, None),  # no budget: waiting results stop new tasks, as a window of fixed size would
])
def test_a_slow_task_holds_back_the_output_not_the_workers(workers: int, slow: float, budget: int,
                                                          tolerance: float | None) -> None:
    pool = Pool(workers, {0: slow})
    runner = Runner(pool.submit_many, running=2 * workers, budget=budget)
    start = time.monotonic()
    order = [task.index for task, _ in runner.in_order(tasks(80))]
    elapsed = time.monotonic() - start
    assert order == list(range(80))
    assert pool.most_unfinished <= 2 * workers
    if tolerance is not None:
        assert elapsed < slow + tolerance  # the 79 quick tasks took 0.8 s on the other worker meanwhile
    else:
        assert elapsed > slow + 0.3  # 77 quick tasks after the slow one, on two workers


def test_waiting_results_stay_within_the_budget() -> None:
    pool = Pool(2, {0: 0.5}, lines=1000)
    budget = 5 * held_bytes(result(1000))
    runner = Runner(pool.submit_many, running=4, budget=budget)
    for task, _ in runner.in_order(tasks(40)):
        if task.index == 0:  # everything started meanwhile has finished or is about to
            assert len(pool.submitted) <= 5 + 4


def test_pending_tasks_are_cancelled_when_the_caller_stops() -> None:
    cancelled: list[Any] = []
    pool = Pool(1, {})
    runner = Runner(pool.submit_many, running=4, cancel_many=cancelled.extend)
    for task, _ in runner.in_order(tasks(20)):
        if task.index == 2:
            break
    assert len(cancelled) >= 1 and all(f in pool.submitted for f in cancelled)
