"""Where tasks run: a pool of worker processes here, or a Dask distributed cluster.

Each executor is a ``submit`` (one task in, a future of its ``TaskResult``
out) and a window of tasks in flight, handed to ``ordered.raw_verdicts``,
which keeps the verdicts in input order whatever runs them; running in this
process needs no executor at all. The workers open and read their inputs
themselves and send back only verdicts. Connecting to a cluster is
``brimwick.output.distributed``'s job.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import Any

from brimwick.output.verify.ordered import OnTaskDone, RawVerdict, Verdict, labelled, raw_verdicts, source_list
from brimwick.output.verify.tasks import Options, Task, input_bytes, range_bytes_for, run_task, task_count

TASKS_PER_WORKER_IN_FLIGHT = 2  # one running, one waiting, so no worker idles between tasks


def verify_in_processes(sources: Iterable[str], options: Options = Options(), *, jobs: int = 2,
                        on_task_done: OnTaskDone | None = None) -> Iterator[Verdict]:
    """``verify_sources`` over a pool of ``jobs`` worker processes that read their own byte ranges."""
    return labelled(raw_verdicts_in_processes(sources, options, jobs=jobs, on_task_done=on_task_done))


def raw_verdicts_in_processes(sources: Iterable[str], options: Options = Options(), *, jobs: int = 2,
                              on_task_done: OnTaskDone | None = None) -> Iterator[RawVerdict]:
    """``verify_in_processes``, each verdict as a RawVerdict."""
    from concurrent.futures import ProcessPoolExecutor

    sources = source_list(sources)
    jobs = min(jobs, task_count(sources, jobs))  # a worker with no task to run would only cost its start
    pool = ProcessPoolExecutor(max_workers=jobs, initializer=_leave_interrupts_to_the_command)
    try:
        yield from raw_verdicts(sources, options, submit=lambda task: pool.submit(run_task, task, options),
                                window=TASKS_PER_WORKER_IN_FLIGHT * jobs, on_task_done=on_task_done)
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


def _leave_interrupts_to_the_command() -> None:
    # Ctrl-C reaches every process of the terminal's group: the command stops
    # the pool and reports; a worker would only print a traceback.
    import signal

    try:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    except ValueError:  # not a process's main thread (a pool of threads stands in): nothing to do
        pass


def verify_on_dask(client: Any, sources: Iterable[str], options: Options = Options(), *,
                   on_task_done: OnTaskDone | None = None) -> Iterator[Verdict]:
    """``verify_sources`` on a Dask distributed cluster through ``client``.

    Each worker opens the inputs itself, so paths must be reachable from the
    workers: a shared filesystem or an fsspec URL (``s3://...``) for which the
    workers have the filesystem package. Verdicts come back in input order.
    """
    return labelled(raw_verdicts_on_dask(client, sources, options, on_task_done=on_task_done))


def raw_verdicts_on_dask(client: Any, sources: Iterable[str], options: Options = Options(), *,
                         on_task_done: OnTaskDone | None = None) -> Iterator[RawVerdict]:
    """``verify_on_dask``, each verdict as a RawVerdict."""
    threads = max(1, sum(client.nthreads().values()))
    sources = list(sources)
    futures: list[Any] = []

    def submit(task: Task) -> Any:
        future = client.submit(run_task, task, options, pure=False)
        futures.append(future)
        return future

    try:
        yield from raw_verdicts(sources, options, submit=submit, window=TASKS_PER_WORKER_IN_FLIGHT * threads,
                                range_bytes=range_bytes_for(input_bytes(sources, remote=True), threads),
                                on_task_done=on_task_done)
    finally:
        client.cancel([f for f in futures if not f.done()])
