"""Where tasks run: a pool of worker processes here, or a Dask distributed cluster.

Each executor is a ``window.Runner`` (tasks in, a future of each one's
``TaskResult`` out, two per worker running at once) that runs the run's
plan (``planning``) through ``ordered.run_plan``, which keeps the verdicts
in input order whatever runs them; running in this process needs no
executor at all. The workers open
and read their inputs themselves and send back only verdicts. How tasks travel
to a Dask cluster and when to give up on one is ``cluster``'s; connecting to
it is ``brimwick.output.distributed``'s.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from typing import Any

from brimwick.output.verify.ordered import CountOk, OnTaskDone, RawVerdict, Verdict, labelled, raw_verdicts, run_plan
from brimwick.output.verify.planning import OnPlan, Plan, plan_run, source_list
from brimwick.output.verify.bundles import run_work
from brimwick.output.verify.tasks import Options
from brimwick.output.verify.window import TASKS_PER_WORKER_IN_FLIGHT, Runner


class WorkerProcessDied(RuntimeError):
    """A worker process ended abruptly during the run (killed, by the system for want of memory or
    otherwise): the verdicts of the tasks it held are missing, so the run is incomplete."""


def verify_in_processes(sources: Iterable[str] | Plan, options: Options = Options(), *, jobs: int = 2,
                        on_task_done: OnTaskDone | None = None) -> Iterator[Verdict]:
    """``verify_sources`` over a pool of ``jobs`` worker processes that read their own byte ranges."""
    return labelled(raw_verdicts_in_processes(sources, options, jobs=jobs, on_task_done=on_task_done))


def raw_verdicts_in_processes(sources: Iterable[str] | Plan, options: Options = Options(), *, jobs: int = 2,
                              on_task_done: OnTaskDone | None = None, count_ok: CountOk | None = None,
                              on_plan: OnPlan | None = None) -> Iterator[RawVerdict]:
    """``verify_in_processes``, each verdict as a RawVerdict; ``sources`` may be a plan made already."""
    plan = plan_run(sources if isinstance(sources, Plan) else source_list(sources), jobs)
    return _in_processes(plan, options, jobs, on_task_done, count_ok, on_plan)


def _in_processes(plan: Plan, options: Options, jobs: int, on_task_done: OnTaskDone | None,
                  count_ok: CountOk | None, on_plan: OnPlan | None) -> Iterator[RawVerdict]:
    from concurrent.futures import ProcessPoolExecutor
    from concurrent.futures.process import BrokenProcessPool

    # A worker that dies breaks the whole pool: every task unfinished fails, and so does every later
    # submission. Whichever of the two the command meets first, the run ends the same way.
    def submit_many(work: Any) -> list[Any]:
        try:
            return [pool.submit(run_work, item, options) for item in work]
        except BrokenProcessPool:
            raise _died() from None

    def result(work: Any, future: Any) -> Any:
        try:
            return future.result()
        except BrokenProcessPool:
            raise _died() from None

    if on_plan is not None:
        on_plan(plan)
    jobs = plan.workers(jobs)
    if jobs == 0:  # every input is a stream, read here
        yield from run_plan(plan, options, on_task_done=on_task_done)
        return
    pool = ProcessPoolExecutor(max_workers=jobs, initializer=_leave_signals_to_the_command)
    finished = False
    try:
        runner = Runner(submit_many, running=TASKS_PER_WORKER_IN_FLIGHT * jobs, fetch=result, bundles=True)
        yield from run_plan(plan, options, runner, on_task_done=on_task_done, count_ok=count_ok)
        finished = True
    finally:
        if not finished:
            _stop_workers(pool)
        pool.shutdown(wait=True, cancel_futures=True)


def _died() -> WorkerProcessDied:
    return WorkerProcessDied("a worker process died during the run (killed, perhaps by the system for want of memory)")


def _stop_workers(pool: Any) -> None:
    # A run cut short (a signal, a reader gone) does not wait for the tasks
    # running: one can take as long as a whole compressed file, and a second
    # signal would cut the wait short and leave the workers blocked on their
    # queue, with the command waiting for them at exit.
    for process in list((getattr(pool, "_processes", None) or {}).values()):
        process.terminate()


def _leave_signals_to_the_command() -> None:
    # Ctrl-C reaches every process of the terminal's group: the command stops
    # the pool and reports; a worker would only print a traceback. A worker
    # forked from the command must not run the command's own handlers either.
    import signal

    try:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        for other in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(other, signal.SIG_DFL)
    except ValueError:  # not a process's main thread (a pool of threads stands in): nothing to do
        pass


def verify_on_dask(client: Any, sources: Iterable[str] | Plan, options: Options = Options(), *,
                   on_task_done: OnTaskDone | None = None, timeout: float | None = None) -> Iterator[Verdict]:
    """``verify_sources`` on a Dask distributed cluster through ``client``.

    Each worker opens the inputs itself, so paths must be reachable from the
    workers: a shared filesystem (relative paths travel made absolute) or an
    fsspec URL (``s3://...``) for which the workers have the filesystem
    package. Verdicts come back in input order; the cluster holds the results
    of the tasks in flight only. Whatever goes wrong with the cluster (the
    scheduler lost, no worker for ``timeout`` seconds, a task that raises, an
    input the workers cannot open though this process can) raises
    ``ClusterFault``, after the verdicts known until then.
    """
    return labelled(raw_verdicts_on_dask(client, sources, options, on_task_done=on_task_done, timeout=timeout))


def raw_verdicts_on_dask(client: Any, sources: Iterable[str] | Plan, options: Options = Options(), *,
                         on_task_done: OnTaskDone | None = None, timeout: float | None = None,
                         count_ok: CountOk | None = None, on_plan: OnPlan | None = None) -> Iterator[RawVerdict]:
    """``verify_on_dask``, each verdict as a RawVerdict. The plan is made once the cluster's worker
    threads are known (its ranges are sized for them), unless ``sources`` is a plan already."""
    from brimwick.output.verify.cluster import dask_runner

    if not isinstance(sources, Plan):
        sources = list(sources)
    runner = dask_runner(client, options, timeout)
    yield from raw_verdicts(sources, options, runner=runner, on_task_done=on_task_done, count_ok=count_ok,
                            on_plan=on_plan)
